// Test support: a fresh board folder and debug log per test, and an applet
// (or any product library) loaded with dlopen from the build's bin folder.
#pragma once

#include "platform/host/include/ce_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

class BoardFolder {
public:
    BoardFolder()
    {
        char templ[] = "/tmp/applet-test-XXXXXX";
        const char *made = mkdtemp(templ);
        EXPECT_NE(made, nullptr);
        dir_ = made ? made : "/tmp";
        log_ = dir_ + "/debug.log";
        setenv("BOARD_DIR", dir_.c_str(), 1);
        setenv("BOARD_DEBUG_LOG", log_.c_str(), 1);
    }
    ~BoardFolder()
    {
        unsetenv("BOARD_DEBUG_LOG");
        unsetenv("BOARD_DIR");
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << dir_;
    }
    // Everything written to the debug output so far.
    std::string debug_log() const
    {
        std::ifstream in(log_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string dir_;
    std::string log_;
};

// A library from the build's bin folder, loaded for the life of the object.
class Library {
public:
    explicit Library(const std::string &file)
    {
        handle_ = dlopen((std::string(APPLET_DIR) + "/" + file).c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(handle_, nullptr) << dlerror();
    }
    ~Library() { unload(); }
    void unload()
    {
        if (handle_)
            EXPECT_EQ(dlclose(handle_), 0);
        handle_ = nullptr;
    }
    void *symbol(const char *name) const { return handle_ ? dlsym(handle_, name) : nullptr; }
    bool loaded() const { return handle_ != nullptr; }

private:
    void *handle_ = nullptr;
};

// An applet library and its CPlApplet.
class Applet : public Library {
public:
    explicit Applet(const std::string &file)
        : Library(file), entry_(reinterpret_cast<APPLET_PROC>(symbol("CPlApplet")))
    {
        EXPECT_NE(entry_, nullptr);
    }
    LONG send(UINT message, LPARAM one = 0, LPARAM two = 0) const
    {
        return entry_ ? entry_(nullptr, message, one, two) : -12345;
    }

private:
    APPLET_PROC entry_;
};
