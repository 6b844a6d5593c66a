// Small file helpers of the board folder: a lock held on a side file, whole
// files read and replaced without ever leaving half a file behind.
#pragma once

#include <string>

namespace board {
namespace file_util {

// Creates the folder and its missing parents; false (errno set) on failure.
bool mkdirs(const std::string &dir);

// Reads the whole file; a missing file reads empty with *exists false.
// False (errno set) when it exists but cannot be read; only a regular file
// is read (a pipe or a device put in its place would block or never end):
// anything else fails with EINVAL.
bool read_file(const std::string &path, std::string *text, bool *exists);

// Writes text to path + ".new", flushes it to disk and renames it over path,
// then flushes the folder: path holds either the old or the new text, also
// after a crash at any point.  Throws board::Error.
void replace_file(const std::string &path, const std::string &text);

// An flock on a lock file for as long as the object lives: shared for
// readers, exclusive for writers.  Throws board::Error.
class Lock {
public:
    Lock(const std::string &path, bool exclusive);
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

private:
    int fd_;
};

}  // namespace file_util
}  // namespace board
