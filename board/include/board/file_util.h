// Small file helpers of the board folder: a lock held on a side file, whole
// files read and replaced without ever leaving half a file behind.
//
// The board reaches no file through a link.  A file is opened relative to
// its folder's descriptor, by its own name and with O_NOFOLLOW, and what was
// opened is checked with fstat: a symbolic link where a file is expected is
// refused with a board::Error naming it, as is anything that is not a
// regular file (a pipe, a device) and a file the board writes in place that
// has other names (hard links).  The folder a path names is itself opened as
// named: that is the user's choice (BOARD_DIR may well be a link).
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include <string>
#include <sys/types.h>
#include <vector>

namespace board {
namespace file_util {

// Creates the folder and its missing parents; false (errno set) on failure.
bool mkdirs(const std::string &dir);

// A folder held open by its descriptor; the files in it are opened
// relative to that descriptor.  path is what messages show.
class Folder {
public:
    // Opens the folder path names (following a link there).  Throws
    // board::Error when it cannot be opened or is no folder.
    explicit Folder(const std::string &path);
    // Opens the folder name in parent, never through a link; -1 with errno
    // ENOENT when missing.  Throws board::Error when it is a link or no
    // folder.
    static int open_in(const Folder &parent, const std::string &name);
    // Takes over an open folder descriptor.
    Folder(int fd, const std::string &path) : fd_(fd), path_(path) {}
    ~Folder();
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    int fd() const { return fd_; }
    const std::string &path() const { return path_; }
    // The path of name in this folder, as messages show it.
    std::string shown(const std::string &name) const { return path_ + "/" + name; }

private:
    int fd_;
    std::string path_;
};

// What may stand at a name that open_at opens.
enum class Kind {
    Read,     // a regular file
    Written,  // a regular file with no other name (hard link)
    Append,   // a regular file with no other name, or a character device
};

// Opens name in the folder, never through a link: O_NOFOLLOW, O_NOCTTY,
// O_NONBLOCK and O_CLOEXEC are added to flags.  -1 with errno set when it
// cannot be opened (ENOENT: missing); throws board::Error naming the file
// when it is a link or not of the kind asked for.
int open_at(const Folder &dir, const std::string &name, int flags, Kind kind);

// open_at for the file path names, in the folder path names (opened as
// named: only the file itself is never reached through a link).
int open_file(const std::string &path, int flags, Kind kind);

// The one-line error for a link found where the board expects a file.
std::string link_refused(const std::string &path);
// The one-line error for a call on path that failed (errno says why):
// "cannot WHAT PATH: " and the reason.
std::string failure(const std::string &what, const std::string &path);

// Reads the whole file; a missing file reads empty with *exists false.
// False (errno set) when it exists but cannot be read; only a regular file
// is read (a pipe or a device put in its place would block or never end):
// anything else fails with EINVAL.  A link is never followed: throws
// board::Error naming it.
bool read_file(const std::string &path, std::string *text, bool *exists);
// The same for name in a folder, reading at most limit bytes: a longer file
// fails with EFBIG.
bool read_at(const Folder &dir, const std::string &name, std::string *text, bool *exists,
             size_t limit);

// Writes text to path + ".new", flushes it to disk and renames it over path,
// then flushes the folder: path holds either the old or the new text, also
// after a crash at any point.  A regular file left at path + ".new" by a
// writer that died is replaced; a link at either name is refused.  The
// caller keeps other writers of the same file out.  Throws board::Error.
void replace_file(const std::string &path, const std::string &text);
void replace_at(const Folder &dir, const std::string &name, const std::string &text);

// Creates name in the folder afresh (a regular file of that name is removed
// first, a link refused) with text in it, flushed to disk.  Throws
// board::Error.
void write_new_at(const Folder &dir, const std::string &name, const std::string &text);

// Removes name from the folder and, when it is a folder, everything below
// it, never following a link (a link is removed as it is) and going no
// deeper than 256 folders.  False (errno set) when something stays.
bool remove_tree_at(int dir_fd, const std::string &name);

// Opens a log file for appending: the file path names, created when
// missing, never through a link, and a regular file or a character device
// (a terminal, /dev/null).  Throws board::Error naming it.
int open_append(const std::string &path);

// Appends text in one write, so that the lines of several writers never
// mix, and whole or not at all: what a write cut short (a full disk) left
// is taken back.  False, errno set (ENOSPC for a write cut short), when
// nothing of text was kept.
bool append_whole(int fd, const std::string &text);

// Whether a process of that id runs (on this machine, as far as we may see).
bool process_alive(pid_t pid);

// An flock on a lock file for as long as the object lives: shared for
// readers, exclusive for writers.  Throws board::Error.
class Lock {
public:
    Lock(const std::string &path, bool exclusive);
    // Locks name in the folder, or the folder itself when name is empty.
    // With wait false the lock is taken only when free at once: held()
    // tells.
    Lock(const Folder &dir, const std::string &name, bool exclusive, bool wait);
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    bool held() const { return fd_ >= 0; }

private:
    void take(const std::string &shown, bool exclusive, bool wait);
    int fd_;
};

// Removes the regular files names (in the folder) that writers who died
// left half written: only while the exclusive lock on lock_name (the folder
// itself when empty), which every writer of them holds, is free at once.
// Links and other things are left alone.  Quiet: a left-over that stays is
// tried again on the next use.
void remove_left_overs(const Folder &dir, const std::string &lock_name,
                       const std::vector<std::string> &names);

}  // namespace file_util
}  // namespace board
