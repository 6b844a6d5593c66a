// Captures of 'board record' opened in the viewers people use, on a private
// X server (Xvfb): GTKWave with the save file --gtkw writes beside the
// capture, and PulseView on the default --logic-only capture.
#include "board/board.h"
#include "board_child.h"
#include "board_folder.h"
#include "process.h"
#include "vcd_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using test_support::ProgramResult;
using test_support::read_file;
using test_support::Recorder;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// An X server of the test's own: Xvfb says its display's number on the
// descriptor -displayfd names, once it takes clients.
class XServer {
public:
    XServer()
    {
        child::Launch launch;
        launch.argv = {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"};
        launch.err = child::Stream::null_output();
        pid_ = test_support::start_piped(launch, 1, &fd_);
        std::string said;
        auto deadline = Clock::now() + std::chrono::seconds(60);
        while (pid_ > 0 && said.find('\n') == std::string::npos && Clock::now() < deadline) {
            struct pollfd p = {fd_, POLLIN, 0};
            char buf[64];
            ssize_t n = poll(&p, 1, 100) > 0 ? read(fd_, buf, sizeof buf) : 0;
            if (n < 0 || (n == 0 && p.revents))
                break;
            said.append(buf, static_cast<size_t>(n > 0 ? n : 0));
        }
        if (said.find('\n') != std::string::npos)
            display_ = ":" + said.substr(0, said.find('\n'));
    }
    ~XServer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            child::wait(pid_);
        }
        if (fd_ >= 0)
            close(fd_);
    }
    // ":N", or "" when the server did not start.
    const std::string &display() const { return display_; }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string display_;
};

// Runs a program on display, its output captured, for at most 120 s.
ProgramResult run_on(const std::string &display, std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/env", "DISPLAY=" + display, "/usr/bin/timeout", "120"});
    std::string program = argv.front();
    argv.erase(argv.begin());
    return test_support::run_program(program, argv);
}

using Viewers = test_support::BoardToolTest;

// A save file as GTKWave reads it: its [key] lines, and the traces, each
// with the flags the '@' line before it set.
struct SaveFile {
    std::map<std::string, std::string> keys;
    std::vector<std::pair<std::string, std::string>> traces;  // (name, flags)
    std::string error;
};

SaveFile parse_save(const std::string &text)
{
    SaveFile s;
    std::string flags;
    static const std::regex key("^\\[([a-z_]+)\\] (.*)$"), trace("^board\\.[A-Za-z0-9_]+(\\[[0-9]+:0\\])?$");
    for (const std::string &l : test_support::split_lines(text)) {
        std::smatch m;
        if (l.rfind("[*]", 0) == 0)
            continue;
        if (std::regex_match(l, m, key))
            s.keys[m[1].str()] = m[2].str();
        else if (l.size() > 1 && l[0] == '@' && l.find_first_not_of("0123456789abcdef", 1) == std::string::npos)
            flags = l.substr(1);
        else if (std::regex_match(l, trace) && !flags.empty())
            s.traces.push_back({l, flags});
        else if (s.error.empty())
            s.error = "not a save file's line: '" + l + "'";
    }
    return s;
}

// The trace a wire of the capture is: "board.pin3", "board.pwm0_cr[5:0]".
std::string trace_of(const test_support::VcdFile &f, const std::string &wire)
{
    auto w = f.width.find(wire);
    if (w == f.width.end())
        return "(no wire " + wire + " in the capture)";
    return "board." + wire + (w->second > 1 ? "[" + std::to_string(w->second - 1) + ":0]" : "");
}

// The save file of a full capture and of a --logic-only one: PWM first
// (the registers in decimal, with vectors only), then the pins in use by
// their wires' names, power and presence; every trace a wire of the
// capture.  GTKWave opens the full one on exactly those traces.
TEST_F(Viewers, AGtkwaveSaveFileOpensTheCaptureOnItsPwmThenThePinsInUse)
{
    board({"reset"});
    board({"name", "7", "led"});
    Recorder full({file("s.vcd"), "--gtkw"}), logic({file("l"), "--gtkw", "--logic-only"});
    ASSERT_TRUE(full.started()) << full.err();
    ASSERT_TRUE(logic.started()) << logic.err();
    run(PINCTL, {"set", "3", "0"});
    board({"input", "7", "0"});
    ASSERT_EQ(full.stop(SIGINT), 0) << full.err();
    ASSERT_EQ(logic.stop(SIGINT), 0) << logic.err();

    for (bool vectors : {true, false}) {
        std::string capture = vectors ? "s.vcd" : "l", save = vectors ? "s.gtkw" : "l.gtkw";
        SCOPED_TRACE(save);
        test_support::VcdFile f = test_support::parse_vcd(read_file(file(capture)), true);
        ASSERT_EQ(f.error, "");
        SaveFile s = parse_save(read_file(file(save)));
        ASSERT_EQ(s.error, "");
        EXPECT_EQ(s.keys["dumpfile"], "\"" + capture + "\"");  // beside it, wherever both go
        EXPECT_EQ(s.keys["savefile"], "\"" + save + "\"");
        Lines wires;
        for (int c = 0; c < board::kChannels; ++c) {
            std::string ch = "pwm" + std::to_string(c);
            wires.push_back(ch + "_running");
            if (vectors)
                wires.insert(wires.end(), {ch + "_cr", ch + "_dcr", ch + "_pcr"});
            wires.insert(wires.end(), {ch + "_out", ch + "_too_fast"});
        }
        wires.insert(wires.end(), {"pin3", "led", "power", "present"});
        std::vector<std::pair<std::string, std::string>> want;
        for (const std::string &w : wires) {
            std::string t = trace_of(f, w);
            want.push_back({t, t.find('[') != std::string::npos ? "24" : "28"});  // decimal, binary
        }
        EXPECT_EQ(s.traces, want);
    }

    XServer x;
    ASSERT_NE(x.display(), "") << "Xvfb did not start";
    test_support::write_file(file("rc"), "splash_disable 1\n");
    test_support::write_file(file("list.tcl"),
                             "set f [open {" + file("shown.txt") + "} w]\n"
                             "puts $f [gtkwave::getDumpFileName]\n"
                             "for {set i 0} {$i < [gtkwave::getTotalNumTraces]} {incr i} {\n"
                             "  puts $f \"[gtkwave::getTraceNameFromIndex $i] [gtkwave::getTraceFlagsFromIndex $i]\"\n"
                             "}\n"
                             "close $f\n"
                             "gtkwave::/File/Quit\n");
    // The save file alone: GTKWave finds the capture beside it.
    ProgramResult g = run_on(x.display(), {"/usr/bin/gtkwave", "--rcfile", file("rc"), "-S", file("list.tcl"),
                                           file("s.gtkw")});
    EXPECT_EQ(g.exit_code, 0) << g.err;
    Lines shown = test_support::split_lines(read_file(file("shown.txt")));
    ASSERT_FALSE(shown.empty()) << g.out << g.err;
    EXPECT_EQ(shown[0], file("s.vcd"));
    Lines want;
    for (const auto &t : parse_save(read_file(file("s.gtkw"))).traces)  // its flags in decimal
        want.push_back(t.first.substr(6) + " " + std::to_string(std::stoi(t.second, nullptr, 16)));
    EXPECT_EQ(Lines(shown.begin() + 1, shown.end()), want);
}

// A save file is refused as the capture is: never written through a link,
// and a name GTKWave could not read back refused before anything starts.
TEST_F(Viewers, ASaveFileIsNeverWrittenThroughALink)
{
    board({"reset"});
    test_support::write_file(file("kept"), "mine\n");
    ASSERT_EQ(symlink(file("kept").c_str(), file("c.gtkw").c_str()), 0);
    ProgramResult r = test_support::run_program(BOARD_TOOL, {"record", file("c.vcd"), "--gtkw", "--duration", "1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("c.gtkw is a symbolic link"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(file("kept")), "mine\n");
    EXPECT_EQ(read_file(file("c.vcd")), "");  // nothing captured

    r = test_support::run_program(BOARD_TOOL, {"record", file("a\"b.vcd"), "--gtkw", "--duration", "1"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("GTKWave save file cannot name"), std::string::npos) << r.err;
}

// What sigrok-cli's pwm decoder measured on a wire: per period (its first
// and last sample), the period in samples and the duty cycle as it printed
// it, in percent.
struct Measured {
    uint64_t samples;
    double duty;
};
std::vector<Measured> pwm_decoded(const std::string &capture, const std::string &wire)
{
    auto annotations = [&](const std::string &row) {
        ProgramResult r = test_support::run_program(
            "/usr/bin/sigrok-cli", {"-i", capture, "-I", "vcd", "-P", "pwm:data=" + wire, "-A", "pwm=" + row,
                                    "--protocol-decoder-samplenum"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return test_support::split_lines(r.out);
    };
    static const std::regex duty("^([0-9]+)-([0-9]+) pwm-1: ([0-9.]+)%$");
    std::vector<Measured> out;
    for (const std::string &l : annotations("duty-cycle")) {
        std::smatch m;
        if (std::regex_match(l, m, duty))
            out.push_back({std::stoull(m[2].str()) - std::stoull(m[1].str()), std::stod(m[3].str())});
    }
    return out;
}

// How many periods the decoder measured as the board's rule gives for
// registers cr, dcr, pcr: a tick of (cr+1) us, a period of pcr+1 ticks,
// high for min(dcr, pcr+1) of them (one sample a microsecond).
int periods_as_the_rule_gives(const std::vector<Measured> &got, unsigned cr, unsigned dcr, unsigned pcr)
{
    uint64_t period = uint64_t(cr + 1) * (pcr + 1);
    double duty = 100.0 * std::min(dcr, pcr + 1) / (pcr + 1);
    int n = 0;
    for (const Measured &m : got)
        n += m.samples == period && std::abs(m.duty - duty) < 1e-5;
    return n;
}

// Hemlark driven by a Control Panel script through three settings of
// channel 0, each held 60 ms, channel 1 as it starts: sigrok-cli's pwm
// decoder, on a --logic-only capture at 1 us, measures the period and duty
// cycle the documented rule gives for each.
TEST_F(Viewers, SigrokPwmDecoderMeasuresHemlarksSettingsAsTheRuleGives)
{
    board({"reset"});
    Recorder logic({file("h.vcd"), "--logic-only", "--timescale", "1us"});
    ASSERT_TRUE(logic.started()) << logic.err();
    test_support::write_file(file("h.script"), "open Hemlark\n"
                                               "scroll 1001 lineright\nwait 60\n"   // cr 17, dcr 256, pcr 512
                                               "drag 1005 100\nwait 60\n"           // dcr 100
                                               "drag 1001 3\ndrag 1006 399\nwait 60\n"  // cr 3, pcr 399
                                               "click 1\n");
    run(CONTROLPANEL, {"--script", file("h.script")});
    ASSERT_EQ(logic.stop(SIGINT), 0) << logic.err();

    std::vector<Measured> pwm0 = pwm_decoded(file("h.vcd"), "pwm0_out");
    ASSERT_FALSE(pwm0.empty());
    // 9.234 ms at 49.9%, 9.234 ms at 19.5%, 1.6 ms at 25%: each for
    // three periods at least (60 ms or more).
    EXPECT_GE(periods_as_the_rule_gives(pwm0, 17, 256, 512), 3);
    EXPECT_GE(periods_as_the_rule_gives(pwm0, 17, 100, 512), 3);
    EXPECT_GE(periods_as_the_rule_gives(pwm0, 3, 100, 399), 3);
    // Channel 1 as the bars start: 8.721 ms at 49.9% all along.
    std::vector<Measured> pwm1 = pwm_decoded(file("h.vcd"), "pwm1_out");
    ASSERT_FALSE(pwm1.empty());
    EXPECT_GE(periods_as_the_rule_gives(pwm1, 16, 256, 512), 15);
    EXPECT_EQ(periods_as_the_rule_gives(pwm1, 16, 256, 512), static_cast<int>(pwm1.size()));
}

// PulseView (0.4) aborts on a capture of more than 64 one-bit wires; the
// default --logic-only capture (the pins in use) stays within what it
// draws.  Opened while PWM ran and pins changed, it loads the capture (the
// window is named after the file, and it says how long the load took), and
// is still running then; asked to end, it ends by that signal, not by an
// abort of its own.
TEST_F(Viewers, PulseViewOpensTheDefaultLogicOnlyCapture)
{
    board({"reset"});
    Recorder logic({file("cap.vcd"), "--logic-only", "--timescale", "1us"});
    ASSERT_TRUE(logic.started()) << logic.err();
    run(PINCTL, {"set", "3", "0"});
    board({"input", "9", "0"});
    test_support::write_file(file("s.script"), "open Hemlark\nscroll 1001 lineright\nwait 30\nclick 1\n");
    run(CONTROLPANEL, {"--script", file("s.script")});
    ASSERT_EQ(logic.stop(SIGINT), 0) << logic.err();

    XServer x;
    ASSERT_NE(x.display(), "") << "Xvfb did not start";
    child::Launch launch;
    launch.argv = {"/usr/bin/pulseview", "-i", file("cap.vcd"), "-I", "vcd"};
    launch.env = {{"DISPLAY", x.display()}, {"HOME", board_.dir()}, {"XDG_RUNTIME_DIR", board_.dir()}};
    launch.in = child::Stream::null_input();
    launch.out = launch.err = child::Stream::file(file("pulseview.log"), O_WRONLY | O_CREAT | O_TRUNC);
    pid_t viewer = test_support::start_program(launch);
    int status = 0;
    bool ended = false, loaded = false;
    auto deadline = Clock::now() + std::chrono::seconds(90);
    while (!ended && !loaded && Clock::now() < deadline) {
        ended = waitpid(viewer, &status, WNOHANG) == viewer;
        ProgramResult windows = run_on(x.display(), {"/usr/bin/xwininfo", "-root", "-tree"});
        loaded = windows.out.find("\"cap.vcd - PulseView\"") != std::string::npos &&
                 read_file(file("pulseview.log")).find("Acquisition took") != std::string::npos;
        if (!loaded && !ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ended) {
        ended = waitpid(viewer, &status, WNOHANG) == viewer;  // not ended while loading, at the last look
        kill(viewer, SIGTERM);
        if (!ended)
            waitpid(viewer, &status, 0);
    }
    std::string log = read_file(file("pulseview.log"));
    EXPECT_TRUE(loaded) << log;
    EXPECT_FALSE(ended) << "PulseView ended by itself: " << (WIFSIGNALED(status) ? WTERMSIG(status) : -1) << "\n"
                        << log;
    EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == SIGTERM : WEXITSTATUS(status) == 0) << log;
}

}  // namespace
