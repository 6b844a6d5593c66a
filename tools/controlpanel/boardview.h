// The live view of the board beside the applets: pins 1 to 9, both PWM
// channels, power and the device, a fault armed for the next request, the registry values the applets and the
// start-up program write, what the board makes of them (the serial debug
// port for this start and the next, whether the desktop connection would
// come up), the last events on the board (pin reads and writes
// included, in the order they happened), and the tail of the debug
// output.  Also the
// user's hands on the board: external pin levels, unplugging the device
// and booting the board.  The model is boardview.cpp, its lines
// boardview_lines.cpp.
#pragma once

#include "board/board.h"
#include "board/events.h"
#include "cells.h"
#include "board/serial.h"
#include "ce_host.h"
#include "sync_client.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class BoardView {
public:
    enum Style { Plain, Heading, Dim, High, Low, External, Warn };
    struct Span {
        int column;
        std::string text;
        Style style;
    };
    struct Line {
        std::vector<Span> spans;
    };

    // debug_log: the file the debug output goes to (empty: none to show).
    BoardView(const std::string &dir, const std::string &debug_log);
    ~BoardView();

    // Reads the board, its events since the last call, the debug output
    // and (twice a second) the registry.  While the view is refreshed the
    // board writes pin reads and writes that change nothing as events too.
    void refresh();
    // Takes events as refresh() does (missed: how many were lost before
    // them); only the last kKeptEvents are kept.
    void add_events(const std::vector<board::Event> &events, uint64_t missed);
    static constexpr size_t kKeptEvents = 256;
    // What refresh() saw, laid out in at most height lines of width cells.
    std::vector<Line> lines(int width, int height, bool utf8) const;
    // The narrowest view that shows every figure whole: the power line, the
    // pins, the PWM channels' rates at their highest, the registry's
    // "(not set)".
    static constexpr int kMinWidth = 41;
    // The lines of the view without the tail of the debug output, counting
    // the boot line whether it shows yet or not.
    int fixed_lines() const;
    // Of those, the ones that must show: the desktop connection's verdict
    // gives way (after the debug output) when the terminal is short.
    int needed_lines() const;

    // The user's actions; each returns a line saying what happened.
    std::string cycle_pin(int pin);  // no external level -> low -> high -> none
    std::string toggle_plug();
    // Boots the board in the background (board::boot::run), the programs
    // from the folder programs names, by default the device's own.
    std::string boot(const std::string &programs = std::string());

private:
    // All but the debug output's tail; with_sync: the connection's verdict
    // too.  *events_at: the line the events go before (after the pins).
    std::vector<Line> head(int width, bool utf8, bool with_sync = true, size_t *events_at = nullptr) const;

    std::string dir_, log_;
    board::Status status_{};
    std::string error_;  // why the board could not be read
    std::string dbg_serial_, cnct_;
    bool serial_on_ = true;
    board::serial::Choice serial_next_{true, ""};
    SyncVerdict sync_{false, ""};
    std::chrono::steady_clock::time_point registry_read_{};
    std::vector<std::string> tail_;
    std::unique_ptr<board::EventReader> reader_;
    std::vector<board::Event> events_, polled_;  // the last kept; the last poll's
    uint64_t missed_ = 0;                        // lost to this view so far
    mutable std::mutex boot_mutex_;
    std::string boot_result_;
    bool booting_ = false;
    std::thread boot_thread_;
};

// A drawn period train of a PWM channel: width cells, high for the duty
// cycle dcr/pcr of each period, flat low when the channel is stopped.
std::string waveform(const board::Pwm &pwm, int width, bool utf8);

// The last n lines of a text file (without their line ends).
std::vector<std::string> tail_lines(const std::string &path, size_t n);

// A registry value as the view shows it: a number, a quoted string,
// "(not set)" or "(error N)".
std::string registry_text(HKEY root, const char16_t *key, const char16_t *name);

// An event as the view lists it, its time relative to the newest one's
// (set in to time_width cells): "-0.050s pin 3 write 1 pid=4242",
// " 0.000s power off outside pid=77".
std::string event_text(const board::Event &e, uint64_t newest, int time_width = 0);
// The events as the view lists them, the newest last: each one a line,
// but reads (or writes) of neighbouring pins by one process, each within
// half a millisecond of the last, one line for the run, the levels in pin
// order: "-0.050s pins 1-9 read 100000000 pid=4242" is one pass of a poll.
std::vector<std::string> event_texts(const std::vector<board::Event> &events, int time_width = 0);

// The outcome of a boot ("done: boot: \Windows\Velmorra.exe exited with
// code 0") in at most width cells, its first word and its end (the exit
// code) kept: device folders dropped, then "exit code N", then an ellipsis
// in the middle.
std::string fit_boot_result(const std::string &result, int width, bool utf8);
