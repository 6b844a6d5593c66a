// The served board's file in the board folder (gpi1.served): the one line a
// desktop program needs to reach 'board serve', owner-only, there while a
// server holds the folder's serving lock.
#pragma once

#include "board/file_util.h"

#include <string>
#include <sys/types.h>

namespace served {

// The claim of one server on the board folder: its lock (taken at once or
// not at all), and the file it publishes while it serves.
class Claim {
public:
    explicit Claim(const board::file_util::Folder &folder);
    ~Claim() { withdraw(); }
    Claim(const Claim &) = delete;
    Claim &operator=(const Claim &) = delete;
    bool held() const { return lock_.held(); }
    // The process id of the server that holds it when this one does not
    // (as its file says; 0 when not told).
    pid_t other_pid() const;
    // Writes the file afresh (one left by a server that was killed is
    // replaced): created exclusive, never through a link, mode 0600.
    // Throws board::Error naming it.
    void publish(const std::string &line);
    // Removes the file, when it is still the one published.
    void withdraw();

private:
    const board::file_util::Folder &folder_;
    board::file_util::Lock lock_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

// A secret of SERVED_SECRET_BYTES random bytes.
void make_secret(unsigned char *secret);
// BOARD_GPI1=127.0.0.1:PORT:SECRET.
std::string env_line(int port, const unsigned char *secret);
// Whether some server holds the folder now.
bool serving(const board::file_util::Folder &folder);
// The published line of the server serving the folder; "" when there is
// none.  Throws board::Error when the file is a link, not the user's own,
// readable by others, or holds no such line.
std::string read_line(const board::file_util::Folder &folder, pid_t *pid = nullptr);

}  // namespace served
