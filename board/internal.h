// What the rooms of the board call of one another, by the room that does
// it: the mapping of the state file and its validation, the handle table,
// the event writer.  The layout itself is state.h's.
#pragma once

#ifndef CEBOARD_INTERNAL
#error "a private header of the board: use its public headers (board/include/board)"
#endif

#include "state.h"

#include "board/file_util.h"

#include <mutex>
#include <string>
#include <sys/types.h>

namespace board {
namespace internal {

// --- validation (check.cpp) ---

// What a state is, from its words: a board state of this version whole to
// its last word, a file retired by 'board reset' (magic 0), another kind of
// file, or one cut short or changed by hand.
enum class Check { Ok, Retired, Foreign, Damaged };
// From the words an open reads: magic, version, the last word, plugged.
Check check_mapping(const State &s);
// The same, and every field holds a value the board writes.
Check check(const State &s);
// Whether a state file's first two words are those of one an earlier build
// of the board wrote; the same of an open state file.
bool earlier_head(const uint32_t head[2]);
bool earlier_layout(int fd);
// The error that refuses the state file of board folder d.
Error refusal(Check c, const std::string &d);
Error wrong_size(const std::string &p, off_t size);

// --- the mapping (mapping.cpp) ---

// The state mapped now (null before the first use); set once, read by
// requests without a lock.
State *region();
// The board in use, validated: the state of the folder dir() names, mapped
// (the first use, another folder or a file retired by a reset map it
// afresh, and every field is checked then), of this version and whole;
// with whole set every field is checked again.  Without a change of board
// this costs no system call.  Throws Error.
State *validated(bool whole);
// The same, looking also whether board.state still names the file mapped
// (whole always does; the others at most every tenth of a second).
State *validated(bool whole, bool look);
// The board a handle's open validated (or, retired since, the one now in
// its place), without the cost of a validation: what a request uses.
State *current();
// Guards the mapping, and the events kept of the board last mapped over.
std::mutex &map_lock();
// The lanes of the board (of that id) last mapped over, as they were then;
// null when the board last mapped over was another.  Under map_lock().
const Lane *retired_lanes(uint64_t id);
// Makes the next use map the state file afresh (after a reset).
void forget_mapping();
std::string state_path(const std::string &dir);
// Removes what processes killed half-way left in the board folder.
void tidy(const file_util::Folder &folder);
// Puts a fresh state file in place of the one in folder (p names it),
// written aside and renamed in, and marks the one it replaced retired.
// Earlier: only when the file there is still of an earlier layout;
// Missing: only when there is none, or an empty one (two processes that
// both found one replace it once).  Returns why the file replaced could
// not be marked retired ("" when it was, or was not there).
enum class Replace { Always, Earlier, Missing };
std::string replace_state(const file_util::Folder &folder, const std::string &p, Replace when);
// For tests: while not 0, marking a replaced file retired fails with this
// errno, as a file system that cannot write it would make it.  (A call,
// not a variable: the board keeps no global of its own outside.)
void fail_retiring_with(int error);

// --- the handle table (handles.cpp) ---

// This process's id, without a system call once asked.
int32_t my_pid();
// The process this thread's requests and handles count for: its own, or
// the one a RequestsFor names.
int32_t request_pid();
// Counts a handle opened on board s.
void count_opened(State *s);

// --- events (events.cpp) ---

// How long a reader's wish for the requests that change nothing lasts
// unless renewed.
constexpr uint64_t kWishLasts = 2000 * 1000000ull;
// How often a reader checks the whole state it follows.
constexpr uint64_t kCheckEvery = 100 * 1000000ull;
// Writes an event in this thread's lane, stamped now (or at stamp, for
// tests).
void write_event(State *s, EventKind kind, Cause cause, int which, uint32_t now, uint32_t before,
                 uint64_t stamp = 0);
// Wakes the readers asleep on the board state file open as fd (size bytes
// long), which a reset has just retired: they move to the fresh board at
// once rather than on their next look at its name.
void wake_retired_readers(int fd, off_t size);

}  // namespace internal
}  // namespace board
