// The files of 'board record': a capture (or its save file) written into a
// file of its own created afresh beside FILE, and renamed to FILE once
// complete, so FILE is never written through a link and never left half
// written; and the captures recorders killed before their end left behind.
#pragma once

#include <string>

namespace capture_file {

// The capture while it is written: a file created afresh beside FILE,
// removed unless kept.
struct Capture {
    int dir = -1;
    int fd = -1;
    std::string name;   // in dir
    std::string shown;  // for messages
    bool keep = false;
    int write_errno = 0;
    Capture() = default;
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;
    ~Capture();
    // Writes text whole; the first error is kept in write_errno, and
    // nothing more is written after it.
    void write_all(const std::string &text);
};


// What stands at name in dir: "" when it may be replaced by a capture
// (missing, or a regular file), else why not, naming it as shown.
std::string refusal(int dir, const std::string &name, const std::string &shown);

// The closing note every finished capture ends with (vcd::Writer::finish).
extern const char kFinished[];

// Removes the captures recorders killed before their end left in dir.
void remove_left_overs(int dir);

// Creates the file afresh in cap.dir, under a recorder's name
// (.STEM.rec-PID-N) numbered from first, held locked while it is written;
// false (errno set) when it cannot.  prefix goes before the name in
// cap.shown.
bool create_beside(Capture &cap, const std::string &stem, int first, const std::string &prefix);

// The complete file of cap renamed to name in its folder, where name still
// may be replaced (a file it replaces keeps its permissions): "" when done,
// else why not (cap is then kept where it was written).
std::string put_in_place(Capture &cap, const std::string &name, const std::string &shown);

}  // namespace capture_file
