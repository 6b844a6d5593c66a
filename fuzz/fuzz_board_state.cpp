// Any bytes as the board's state file (board.state): every use of the board
// takes the file exactly when its image passes the check (an empty file
// starts a fresh board), names the file when it refuses it, never crashes on
// a file of the wrong size, and reads pins and channels only within range;
// a reader of events hands on only events the board writes.
#include "board/board.h"
#include "board/events.h"
#include "board_dir.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <vector>
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
        if (image == board::StateImage::Ok || image == board::StateImage::Earlier || size == 0)
            fail("a state that passes the check was refused");
        if (e.message.find(file) == std::string::npos)
            fail("the refusal does not name the file");
        return 0;
    }
    if (image == board::StateImage::Earlier) {
        // Replaced by a fresh board: nothing of the old file is used.
        bool fresh = st.requests == 0 && !st.fault_armed && st.plugged && st.powered;
        for (const board::Pin &p : st.pins)
            fresh = fresh && !p.touched && p.level() == 1;
        if (!fresh)
            fail("a state of an earlier layout was used instead of a fresh one");
    } else if (image != board::StateImage::Ok && size != 0) {
        fail("a state the check refuses was used");
    }
    for (const board::Pin &p : st.pins)
        if (p.level() < 0 || p.level() > 1)
            fail("a pin reads a level other than 0 or 1");
    for (const board::Pwm &p : st.pwm)
        if (p.running > 1 || p.cr > board::kMaxCr || p.dcr > board::kMaxRate ||
            p.pcr > board::kMaxRate)
            fail("a channel holds what no request sets");
    // The events in the file, read by a reader that followed the boards
    // before it (a board of another id is read from its first event).
    static board::EventReader *reader = new board::EventReader;
    std::vector<board::Event> events;
    try {
        reader->poll(events);
    } catch (const board::Error &) {
        fail("the events of a state that passes the check were refused");
    }
    for (const std::string &d : reader->damage())
        if (d.find(file) == std::string::npos)
            fail("damage to the events is told without naming the file");
    for (const board::Event &e : events) {
        bool pin = e.kind == board::EventKind::Pin || e.kind == board::EventKind::Read ||
                   e.kind == board::EventKind::Write;
        bool channel = e.kind == board::EventKind::Pwm;
        if ((pin && (e.which < 0 || e.which >= board::kPins)) ||
            (channel && (e.which < 0 || e.which >= board::kChannels)) ||
            (!pin && !channel && e.which != -1) || e.level < 0 || e.level > 1 ||
            e.pwm.cr > board::kMaxCr || e.pwm.dcr > board::kMaxRate || e.pwm.pcr > board::kMaxRate)
            fail("an event holds what no writer writes");
    }
    // A request reads the same state through the driver.
    int32_t in[2] = {static_cast<int32_t>(size % board::kPins), 0}, out[2] = {0, 0};
    board::Result r = board::request(board::kGetPin, in, sizeof in, out, sizeof out);
    if (!r.fault && (!r.ok || out[0] != in[0] || out[1] < 0 || out[1] > 1))
        fail("reading a pin failed or gave a level other than 0 or 1");
    return 0;
}
