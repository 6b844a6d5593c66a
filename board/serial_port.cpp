// The serial debug port's word in the state file (serial_port.h): read
// from the file itself, written through the mapping.
#include "board/serial_port.h"

#include "internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace board {

using namespace internal;

bool serial_port_on()
{
    // Read from the file rather than the mapping, so that the debug output
    // never waits for this process's mapping of the board, nor makes a
    // board that is not used yet.  The word is written whole and so read
    // whole.
    std::string p = state_path(dir());
    for (int attempt = 0;; ++attempt) {
        int fd = file_util::open_file(p, O_RDONLY, file_util::Kind::Read);
        if (fd < 0) {
            if (errno == ENOENT)
                return true;  // a board not used yet: as its image starts
            throw Error{"cannot open " + p + ": " + std::strerror(errno)};
        }
        Fields st;
        ssize_t n = pread(fd, &st, sizeof st, 0);
        close(fd);
        if (n == 0)
            return true;  // being made by its first user
        // A file 'board reset' retired just now reads 0: read the new one.
        if (n == (ssize_t)sizeof st && st.magic == 0 && attempt == 0)
            continue;
        if (n != (ssize_t)sizeof st || st.magic != kMagic || st.version != kVersion ||
            st.serial_port > kSerialOff)
            throw Error{"board state file " + p +
                        " is damaged or of another version; run 'board reset'"};
        return st.serial_port != kSerialOff;
    }
}

void set_serial_port(bool on) { store(validated(true)->serial_port, on ? kSerialOn : kSerialOff); }

}  // namespace board
