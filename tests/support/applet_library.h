// Test support: an applet (or any product library) loaded with dlopen from
// the build's bin folder, APPLET_DIR.
#pragma once

#include "board_folder.h"

#include "platform/host/include/ce_host.h"
#include "platform/host/include/host_resources.h"

#include <dlfcn.h>
#include <string>

namespace test_support {

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
        if (handle_) {
            EXPECT_EQ(host_unload_module(handle_), 0);
        }
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

}  // namespace test_support
