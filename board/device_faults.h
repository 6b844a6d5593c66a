// For tests: a failing disk under the device's files.  The device files
// look up each host path they read (a folder's entries, an entry's status,
// a file's contents) here first, and fail as the host call would.
#pragma once

#include <string>

namespace board {
namespace files {
namespace faults {

// From now on every read of host_path (as messages show it) fails with
// error, an errno such as EIO; error 0 ends that.
void fail_reads_of(const std::string &host_path, int error);

// The error a read of host_path fails with; 0 for none (almost always).
int read_fault(const std::string &host_path);

}  // namespace faults
}  // namespace files
}  // namespace board
