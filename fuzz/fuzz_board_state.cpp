// Any bytes as the board's state file (board.state): every use of the board
// takes the file exactly when its image passes the check (an empty file
// starts a fresh board), names the file when it refuses it, never crashes on
// a file of the wrong size, and reads pins and channels only within range.
#include "board.h"
#include "board_dir.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

void fail(const char *what)
{
    std::fprintf(stderr, "board state: %s\n", what);
    std::abort();
}

void write_state(const std::string &file, const uint8_t *data, size_t size)
{
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
        fail("cannot write the state file");
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string file = fuzz_board_dir() + "/board.state";
    board::StateImage image = board::check_state_image(data, size);
    write_state(file, data, size);
    board::Status st;
    try {
        st = board::status();
    } catch (const board::Error &e) {
        if (image == board::StateImage::Ok || size == 0)
            fail("a state that passes the check was refused");
        if (e.message.find(file) == std::string::npos)
            fail("the refusal does not name the file");
        return 0;
    }
    if (image != board::StateImage::Ok && size != 0)
        fail("a state the check refuses was used");
    for (const board::Pin &p : st.pins)
        if (p.level() < 0 || p.level() > 1)
            fail("a pin reads a level other than 0 or 1");
    for (const board::Pwm &p : st.pwm)
        if (p.running > 1 || p.cr > board::kMaxCr || p.dcr > board::kMaxRate ||
            p.pcr > board::kMaxRate)
            fail("a channel holds what no request sets");
    // A request reads the same state through the driver.
    int32_t in[2] = {static_cast<int32_t>(size % board::kPins), 0}, out[2] = {0, 0};
    board::Result r = board::request(board::kGetPin, in, sizeof in, out, sizeof out);
    if (!r.fault && (!r.ok || out[0] != in[0] || out[1] < 0 || out[1] > 1))
        fail("reading a pin failed or gave a level other than 0 or 1");
    return 0;
}
