#include "board_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace test_support {

BoardFolder::BoardFolder()
{
    std::string templ = (std::filesystem::temp_directory_path() / "board-test-XXXXXX").string();
    if (!mkdtemp(&templ[0]))
        throw std::runtime_error("cannot create a temporary board folder");
    dir_ = templ;
    const std::pair<const char *, std::string> vars[] = {
        {"BOARD_DIR", dir_}, {"BOARD_TRACE", trace_path()}, {"BOARD_DEBUG_LOG", debug_log_path()}};
    for (const auto &v : vars) {
        const char *old = std::getenv(v.first);
        saved_.push_back(Saved{v.first, old != nullptr, old ? old : ""});
        setenv(v.first, v.second.c_str(), 1);
    }
}

BoardFolder::~BoardFolder()
{
    for (const Saved &s : saved_) {
        if (s.set)
            setenv(s.name, s.value.c_str(), 1);
        else
            unsetenv(s.name);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> BoardFolder::trace_lines() const { return split_lines(read_file(trace_path())); }

void BoardFolder::clear_trace() const { std::filesystem::remove(trace_path()); }

std::string BoardFolder::debug_log() const { return read_file(debug_log_path()); }

void BoardFolder::clear_debug_log() const { std::filesystem::remove(debug_log_path()); }

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace test_support
