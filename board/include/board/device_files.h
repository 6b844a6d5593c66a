// The device's file system: the board folder's "fs" folder is the device's
// root "\".  Device paths use backslashes and match names without regard to
// case, as the device does; nothing a path says can lead outside the root.
#pragma once

#ifdef CE_PRODUCT_CODE
#error "product code reaches the board only through the platform (platform/platform.h)"
#endif

#include <cstdint>
#include <string>
#include <vector>

namespace board {
namespace file_util {
class Folder;
}
namespace files {

// The host folder that is the device's root (BOARD_DIR/fs).  A board that
// has none yet gets the default image first.  Throws board::Error, also
// when a link or a file stands in the root's place.
std::string root();

// Replaces the device's files with the default image: the folders
// \Windows\Startup, \My Documents and \Temp, and the start-up shortcut
// \Windows\Startup\Velmorra.lnk that runs \Windows\Velmorra.exe once.
void reset();

// Removes what a reset killed half-way left in the board folder (the
// folders fs.new.PID and fs.old.PID of a process PID no longer running).
void tidy(const file_util::Folder &board);

// Whether name may be one element of a device path: not empty, not "." or
// "..", no control character and none of < > : " | ? * / (nor a backslash,
// which separates elements).  Its length is not checked.
bool valid_name(const std::string &name);

// The entry of host folder dir whose name matches name without regard to
// case, as the device matches names (an exact match first); empty when
// there is none.
std::string match(const std::string &dir, const std::string &name);

// A device path mapped into the root.
struct Found {
    uint32_t error;    // 0, or the platform error number
    std::string host;  // the host path (when error is 0 or ERROR_FILE_NOT_FOUND)
    bool is_dir;
    std::string why;   // ERROR_GEN_FAILURE: what the host could not do, naming the file
};

// Maps a device path (UTF-8, "\Windows\Startup\Velmorra.lnk") to the host
// file that holds it.  Errors: ERROR_FILE_NOT_FOUND when only the last
// element is missing, ERROR_PATH_NOT_FOUND when a folder on the way is,
// ERROR_INVALID_NAME for a path that is no device path or would leave the
// root ("..", a drive, a slash, characters no name may hold),
// ERROR_FILENAME_EXCED_RANGE for one too long, ERROR_ACCESS_DENIED for a
// host link on the way, which is never followed, ERROR_GEN_FAILURE when the
// host cannot read a folder on the way (an I/O error).  Throws board::Error.
Found resolve(const std::string &device_path);

// Every device path is walked from the root's descriptor, one folder
// descriptor at a time, never through a link: a link swapped in meanwhile
// cannot lead out of the root.

// Deletes a device file: 0, or the platform error number (those of
// resolve; ERROR_ACCESS_DENIED for a folder).  Throws board::Error.
uint32_t remove(const std::string &device_path);

// What reading a device file came to.
enum class Read {
    Done,
    Missing,   // it, or a folder on its way, is not there
    NotAFile,  // a link, a folder, anything but a regular file, longer than limit,
               // or a path that is no device path
    Failed,    // the host could not read it or a folder on its way (*error: the errno)
};
// Reads a device file of at most limit bytes.  Throws board::Error.
Read read(const std::string &device_path, std::string *text, size_t limit, int *error);

// The read-only attribute of the device file at host path (from resolve):
// the host file's owner-write bit, cleared for read-only.  Looked at and
// changed on the opened file, never through a link.  Return 0, or
// ERROR_FILE_NOT_FOUND when it is gone, ERROR_ACCESS_DENIED for a link or
// anything but a regular file or folder (set_read_only: a regular file).
uint32_t read_only(const std::string &host, bool *on);
uint32_t set_read_only(const std::string &host, bool on);

// The names in a device folder, in the order of their folded names.
// Empty when the folder is missing (or no folder).  Throws board::Error,
// naming the host folder, when it or one on its way cannot be read.
std::vector<std::string> list(const std::string &device_dir);

// The platform's shortcut: the target's length in characters, '#', the target.
std::string shortcut_text(const std::string &target);
// The target of a shortcut's text ("21#\Windows\Velmorra.exe", quotes and
// arguments after the target allowed); false when it is not a shortcut.
bool shortcut_target(const std::string &text, std::string *target);

}  // namespace files
}  // namespace board
