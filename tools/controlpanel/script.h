// The script language of the Control Panel: one command a line, '#' starts
// a comment.
//
//   open NAME            double-click the applet NAME
//   click ID             click a control of the open dialog
//   key enter|escape|tab press a key in the open dialog
//   scroll ID CODE       CODE: lineleft lineright pageleft pageright left right endscroll
//   drag ID POS          drag the thumb of scroll bar ID to POS and let go
//   ok | close           the caption's OK button | its close box
//   pin N 0|1|release    apply an external level to pin N, or take it away
//   wait MS              let MS milliseconds pass
//   show                 print the open dialog
//   quit                 close the open dialog through its close box and stop
//
// Portable C++: the host's Control Panel and the Windows driver of the
// same scripts (tests/win32/dlgdrive.cpp) both read scripts with it, so
// that a line means the same on both sides of their comparison.
#pragma once

#include <cstddef>
#include <functional>
#include <istream>
#include <string>
#include "common/text.h"

namespace script {

// The longest line a script may have, in bytes (without its line end).
constexpr size_t kMaxLine = 4096;
// How many characters of a script's text a message quotes at most, and of
// a path or an applet's name or text (a file name has at most 255 bytes).
constexpr size_t kExcerpt = 40;
constexpr size_t kLongExcerpt = 1024;

enum class Op { Open, Click, Key, Scroll, Drag, Ok, Close, Pin, Board, Wait, Show, Quit };
enum class Key { Enter, Escape, Tab };

// The scroll codes as the platform's scroll bars send them (SB_LINELEFT
// ... SB_ENDSCROLL); each side checks them against its own headers.
enum ScrollCode : int {
    kLineLeft = 0,
    kLineRight = 1,
    kPageLeft = 2,
    kPageRight = 3,
    kLeft = 6,
    kRight = 7,
    kEndScroll = 8,
};

// What a 'board' line may do: the device unplugged or plugged in, a fault
// armed, requests held or let go, the open driver handles printed.
constexpr const char *kBoardActions[] = {"unplug", "plug", "fault", "hold on", "hold off", "handles"};

struct Command {
    Op op = Op::Show;
    std::string name;  // open: the applet's name; board: what to do (kBoardActions)
    int id = 0;        // click, scroll, drag: the control; pin: the pin number
    int value = 0;     // key: a Key; scroll: the scroll code; drag: the position;
                       // pin: 0, 1 or -1 (release); wait: milliseconds
};

// A line that is not a command; message says why.
struct Error {
    std::string message;
};

// A command that cannot be carried out: the exit status (1 failed, 2 bad)
// and why.
struct Stop {
    int status;
    std::string message;
};

// Parses one line.  False for a line with nothing but blanks or a comment;
// throws Error for a line that is not a command.
bool parse(const std::string &line, Command *out);

// What read_line found.
enum class Read { Line, TooLong, End, Failed };

// Reads the next line of in into *line, without its '\n', holding at most
// kMaxLine bytes whatever the input: a longer line gives TooLong with its
// first kMaxLine bytes (the rest is left unread).  End at the end of the
// input, Failed when it cannot be read.
Read read_line(std::istream &in, std::string *line);

// text as a message may quote it (board/utf8.h).
using text::excerpt;

// The scroll code a word names (lineleft ... endscroll), or -1.
int scroll_code(const std::string &word);

// Runs the script in, a line after another: each command goes to run with
// its line number, until the end of the input, a quit, a bad line (Error,
// status 2) or a command that cannot be carried out (a Stop from run, its
// status).  What stopped it is said on standard error as
// "PROGRAM: WHERE:N: why".  Returns the status: 0 done, 1 when in could
// not be read to its end.
int run_lines(std::istream &in, const char *program, const std::string &where,
              const std::function<void(const Command &, int line)> &run);

}  // namespace script
