// The Control Panel end to end: scripts against the real applets in
// build/bin, each on a fresh board, checked against the board's state, its
// trace, the debug output and the registry.
#include "session.h"

#include <map>

using namespace cpltest;

namespace {

// Whether the Control Panel runs under the sanitizers (as this test does).
constexpr bool kSanitized = SANITIZED;

// The output of a script, split into the blocks of its show commands: a
// new block starts at every line that names the dialog's first control,
// and at every "closed".
std::vector<std::vector<std::string>> blocks(const std::string &out, const std::string &first)
{
    std::vector<std::vector<std::string>> b;
    for (const std::string &l : split_lines(out)) {
        if (b.empty() || l.rfind(first, 0) == 0 || l == "closed")
            b.emplace_back();
        b.back().push_back(l);
    }
    return b;
}

std::vector<std::string> starting(const std::vector<std::string> &lines, const std::string &prefix)
{
    std::vector<std::string> out;
    for (const std::string &l : lines)
        if (l.rfind(prefix, 0) == 0)
            out.push_back(l);
    return out;
}

std::string checked(int id, const char *kind, const std::string &text, bool on)
{
    return std::to_string(id) + " " + kind + " \"" + text + "\" checked=" + (on ? "1" : "0");
}

std::string bar(int id, int pos, int max)
{
    return std::to_string(id) + " scrollbar \"\" pos=" + std::to_string(pos) + " min=0 max=" +
           std::to_string(max) + " page=10";
}

std::string pwm_set(int channel, int cr, int dcr, int pcr)
{
    return "IOCTL_PWM_SET 20 " + std::to_string(channel) + " 0 " + std::to_string(cr) + " " +
           std::to_string(dcr) + " " + std::to_string(pcr) + " -> 1";
}

// ---- Pinvane: outputs driven, indicators following the pins ----

TEST_F(Session, PinvaneDrivesTheOutputsAndItsIndicatorsFollowThePins)
{
    Outcome r = run({}, "open Pinvane\n"
                    "wait 400\n"
                    "show\n"
                    "click 1002      # Port 3\n"
                    "pin 1 1\n"
                    "pin 3 0\n"
                    "wait 400\n"
                    "show\n"
                    "ok\n"
                    "show\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto b = blocks(r.out, "1000 ");
    ASSERT_EQ(b.size(), 3u) << r.out;

    // At first every box is clear and every pin high (pulled up): no
    // indicator is lit, since they show the pins active-low.
    ASSERT_EQ(b[0].size(), 18u) << r.out;
    for (int n = 1; n <= 9; ++n) {
        EXPECT_EQ(b[0][n - 1], checked(999 + n, "checkbox", "Port " + std::to_string(n), false));
        EXPECT_EQ(b[0][8 + n], checked(1009 + n, "radio", "", false));
    }

    // Ticking Port 3 drove all nine pins: 3 high, the others low, in order.
    std::vector<std::string> sets = starting(trace(), "IOCTL_GPIO_SET_PIN");
    ASSERT_EQ(sets.size(), 9u);
    for (int n = 1; n <= 9; ++n)
        EXPECT_EQ(sets[n - 1], "IOCTL_GPIO_SET_PIN 8 " + std::to_string(n) + " " + (n == 3 ? "1" : "0") + " -> 1");

    // The indicators agree with the board, external levels included.
    board::Status st = board::status();
    ASSERT_EQ(b[1].size(), 18u) << r.out;
    for (int n = 1; n <= 9; ++n) {
        EXPECT_EQ(st.pins[n].driven, n == 3 ? 1 : 0) << "pin " << n;
        EXPECT_EQ(b[1][n - 1], checked(999 + n, "checkbox", "Port " + std::to_string(n), n == 3));
        EXPECT_EQ(b[1][8 + n], checked(1009 + n, "radio", "", st.pins[n].level() == 0)) << "pin " << n;
    }
    EXPECT_EQ(b[1][9], checked(1010, "radio", "", false));  // pin 1 held high from outside
    EXPECT_EQ(b[1][11], checked(1012, "radio", "", true));  // pin 3 driven high but held low

    // The caption's OK ended it and stopped the poll thread.
    EXPECT_EQ(b[2], std::vector<std::string>{"closed"});
    std::vector<std::string> d = debug();
    auto plus = std::find(d.begin(), d.end(), "+ close");
    ASSERT_NE(plus, d.end());
    EXPECT_NE(std::find(plus, d.end(), "- close"), d.end());
    EXPECT_FALSE(starting(trace(), "IOCTL_GPIO_GET_PIN").empty());
}

// ---- Hemlark: scroll, drag, close ----

TEST_F(Session, HemlarkSendsTheBarsToTheDriverAndStopsOnClose)
{
    Outcome r = run({}, "open Hemlark\n"
                    "show\n"
                    "scroll 1001 lineright\n"
                    "scroll 1009 pageleft\n"
                    "drag 1005 2000\n"
                    "scroll 1007 left\n"
                    "scroll 1006 endscroll\n"
                    "show\n"
                    "close\n"
                    "show\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto b = blocks(r.out, "1 ");
    ASSERT_EQ(b.size(), 3u) << r.out;
    std::vector<std::string> first = {
        "1 button \"Done\"", "-1 static \"pwm 0\"", "-1 static \"pwm 1\"",
        bar(1001, 16, 63),   bar(1005, 256, 1023), bar(1006, 512, 1023),
        bar(1007, 16, 63),   bar(1008, 256, 1023), bar(1009, 512, 1023),
        "-1 static \"cr\"",  "-1 static \"dcr\"",  "-1 static \"pcr\"",
        "-1 static \"cr\"",  "-1 static \"dcr\"",  "-1 static \"pcr\""};
    EXPECT_EQ(b[0], first);
    // The drag past the end stops at the highest reachable position.
    EXPECT_EQ(b[1][3], bar(1001, 17, 63));
    EXPECT_EQ(b[1][4], bar(1005, 1014, 1023));
    EXPECT_EQ(b[1][5], bar(1006, 512, 1023));
    EXPECT_EQ(b[1][6], bar(1007, 0, 63));
    EXPECT_EQ(b[1][7], bar(1008, 256, 1023));
    EXPECT_EQ(b[1][8], bar(1009, 502, 1023));
    EXPECT_EQ(b[2], std::vector<std::string>{"closed"});

    // Every scroll event sends both channels, channel 0 first; a drag is
    // three events (track, position, end).
    std::vector<std::string> want = {"open", "IOCTL_PWM_START 20 0 1 0 0 0 -> 1",
                                     "IOCTL_PWM_START 20 1 1 0 0 0 -> 1"};
    auto both = [&](int cr0, int dcr0, int pcr0, int cr1, int dcr1, int pcr1) {
        want.push_back(pwm_set(0, cr0, dcr0, pcr0));
        want.push_back(pwm_set(1, cr1, dcr1, pcr1));
    };
    both(17, 256, 512, 16, 256, 512);
    both(17, 256, 512, 16, 256, 502);
    for (int i = 0; i < 3; ++i)
        both(17, 1014, 512, 16, 256, 502);
    both(17, 1014, 512, 0, 256, 502);
    both(17, 1014, 512, 0, 256, 502);
    want.push_back("IOCTL_PWM_STOP 20 0 0 0 0 0 -> 1");
    want.push_back("IOCTL_PWM_STOP 20 1 0 0 0 0 -> 1");
    want.push_back("close");
    EXPECT_EQ(trace(), want);

    board::Status st = board::status();
    EXPECT_EQ(st.pwm[0].running, 0u);
    EXPECT_EQ(st.pwm[1].running, 0u);
    EXPECT_EQ(st.pwm[0].dcr, 1014u);
    EXPECT_EQ(st.pwm[1].pcr, 502u);
}

// A script's board lines change the board between two inputs, as the
// comparison with Wine's side needs them to.
TEST_F(Session, BoardLinesUnplugArmAFaultHoldAndCountTheHandles)
{
    Outcome r = run({}, "board unplug\nopen Hemlark\nboard handles\nclose\nboard plug\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("handles 0\n"), std::string::npos) << r.out;
    EXPECT_EQ(starting(debug(), "Error"), std::vector<std::string>{"Error: can't open GPI1:"});
    EXPECT_TRUE(trace().empty());
    EXPECT_TRUE(board::status().plugged);

    r = run({}, "board fault\nopen Hemlark\nboard handles\nclose\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("handles 1\n"), std::string::npos) << "Hemlark's handle, counted: " << r.out;
    EXPECT_EQ(starting(debug(), "pwm app"), std::vector<std::string>{"pwm app --- ex"});
    std::vector<std::string> t = trace();
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(t[1], "IOCTL_PWM_START 20 0 1 0 0 0 -> 0 fault");

    // Held in the driver, the poll thread is ended by force at the close
    // and its handle stays open.
    r = run({}, "open Pinvane\nwait 200\nboard hold on\nwait 300\nclose\nboard handles\nboard hold off\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("handles 1\n"), std::string::npos) << r.out;
    EXPECT_EQ(board::requests_held(), 0u);

    r = run({}, "board hold\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("board takes unplug, plug, fault, hold on, hold off or handles, not 'hold'"),
              std::string::npos) << r.err;
}

TEST_F(Session, KeysGoToTheDialogAsTheDialogManagerHandlesThem)
{
    // Escape is IDCANCEL, which Hemlark ignores; Enter presses Done, its default button.
    Outcome r = run({}, "open Hemlark\nkey escape\nkey tab\nshow\nkey enter\nshow\n");
    ASSERT_EQ(r.status, 0) << r.err;
    auto b = blocks(r.out, "1 ");
    ASSERT_EQ(b.size(), 2u) << r.out;
    EXPECT_EQ(b[0].size(), 15u);
    EXPECT_EQ(b[1], std::vector<std::string>{"closed"});
    EXPECT_EQ(starting(trace(), "IOCTL_PWM_STOP").size(), 2u);
}

// ---- Dovrel: the registry ----

TEST_F(Session, DovrelRecordsTheChoiceInTheRegistry)
{
    Outcome r = run({}, "open Dovrel\nshow\nclick 2\nshow\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(split_lines(r.out),
              (std::vector<std::string>{"1 button \"Enable serial debug port\"",
                                        "2 button \"Disable serial debug port\"", "closed"}));
    EXPECT_EQ(registry_value("HKEY_LOCAL_MACHINE\\Debug", "dbgSerial"), "dword:00000000");

    // Closing from the caption counts as enabling.
    r = run({}, "open EnableDebug\nclose\nshow\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(split_lines(r.out), std::vector<std::string>{"closed"});
    EXPECT_EQ(registry_value("HKEY_LOCAL_MACHINE\\Debug", "dbgSerial"), "dword:00000001");
    std::vector<std::string> d = debug();
    EXPECT_NE(std::find(d.begin(), d.end(), "Registry write <regError=0> ... dbgSerial=0 "), d.end());
    EXPECT_NE(std::find(d.begin(), d.end(), "Registry write <regError=0> ... dbgSerial=1 "), d.end());
}

// ---- the list ----

TEST_F(Session, ListsTheAppletsBesideTheProgram)
{
    // Exactly the three: what `make run` shows (test applets live elsewhere).
    Outcome r = run({"--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(split_lines(r.out), (std::vector<std::string>{"Dovrel.cpl\tEnableDebug\tEnable Debug Port",
                                                            "Hemlark.cpl\tHemlark\tPWM Test PWM0 + PWM1",
                                                            "Pinvane.cpl\tPinvane\tPinvane"}));
}

TEST_F(Session, WithoutKestrinPinvaneIsListedWithTheLoadersReasonAndTheOthersWork)
{
    std::string applets = dir_ + "/applets";
    fs::create_directory(applets);
    for (const char *f : {"Dovrel.cpl", "Hemlark.cpl", "Pinvane.cpl"})
        copy_searching_own_folder(kAppletDir + "/" + f, applets + "/" + f);
    Outcome r = run({"--list", "--applets", applets});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> l = split_lines(r.out);
    ASSERT_EQ(l.size(), 3u) << r.out;
    EXPECT_EQ(l[0], "Dovrel.cpl\tEnableDebug\tEnable Debug Port");
    EXPECT_EQ(l[1], "Hemlark.cpl\tHemlark\tPWM Test PWM0 + PWM1");
    EXPECT_EQ(l[2].rfind("Pinvane.cpl\tnot loaded: ", 0), 0u) << l[2];
    EXPECT_NE(l[2].find("kestrin.so"), std::string::npos) << l[2];

    // The others still open; Pinvane cannot.
    r = run({"--applets", applets}, "open Hemlark\nclose\nshow\nopen Pinvane\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(split_lines(r.out), std::vector<std::string>{"closed"});
    EXPECT_NE(r.err.find(":4: Pinvane.cpl did not load: "), std::string::npos) << r.err;

    // With kestrin beside it, it loads.
    fs::copy_file(kAppletDir + "/kestrin.so", applets + "/kestrin.so");
    r = run({"--list", "--applets", applets});
    EXPECT_EQ(split_lines(r.out).back(), "Pinvane.cpl\tPinvane\tPinvane");
}

// ---- bad scripts ----

TEST_F(Session, ABadLineStopsTheScriptWithItsNumber)
{
    Outcome r = run({}, "pin 4 1\n# a comment\n\nfrobnicate 3\npin 5 1\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(dir_ + "/script:4: unknown command 'frobnicate'"), std::string::npos) << r.err;
    board::Status st = board::status();
    EXPECT_EQ(st.pins[4].external, 1);   // ran
    EXPECT_EQ(st.pins[5].external, -1);  // did not

    r = run({}, "click 1002\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(":1: no dialog is open"), std::string::npos) << r.err;

    r = run({}, "show\nopen Nowhere\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(":1: no dialog to show"), std::string::npos) << r.err;

    r = run({}, "open Nowhere\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(":1: no applet called 'Nowhere'"), std::string::npos) << r.err;

    r = run({}, "open Hemlark\nopen Dovrel\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(":2: a dialog is already open"), std::string::npos) << r.err;
}

TEST_F(Session, ABadLineInADialogStillClosesIt)
{
    Outcome r = run({}, "open Hemlark\nclick 1001\nscroll 1001 right\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(":2: control 1001 is a scrollbar and cannot be clicked"), std::string::npos) << r.err;
    r = run({}, "open Hemlark\nscroll 1 right\n");
    EXPECT_NE(r.err.find(":2: control 1 is a button, not a scroll bar"), std::string::npos) << r.err;
    r = run({}, "open Hemlark\nclick 4242\n");
    EXPECT_NE(r.err.find(":2: the dialog has no control 4242"), std::string::npos) << r.err;
    r = run({}, "open Hemlark\nok\n");
    EXPECT_NE(r.err.find(":2: the dialog has no OK button in its caption"), std::string::npos) << r.err;
    // Every run above left the driver stopped and closed: no scroll went out.
    std::vector<std::string> t = trace();
    EXPECT_TRUE(starting(t, "IOCTL_PWM_SET").empty());
    EXPECT_EQ(starting(t, "IOCTL_PWM_STOP").size(), 8u);
    EXPECT_EQ(std::count(t.begin(), t.end(), "close"), 4);
}

TEST_F(Session, ReadsTheScriptFromStandardInputAndEndsAtQuit)
{
    std::ofstream(dir_ + "/in") << "open Hemlark\nscroll 1007 pageright\nquit\nfrobnicate\n";
    Outcome r = run_stdin({"--script", "-"}, dir_ + "/in");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(starting(trace(), "IOCTL_PWM_STOP").size(), 2u);
    EXPECT_EQ(board::status().pwm[1].cr, 26u);

    std::ofstream(dir_ + "/in") << "\nshow\n";
    r = run_stdin({"--script", "-"}, dir_ + "/in");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("<stdin>:2: "), std::string::npos) << r.err;
}

// A board folder that cannot be used stops the script before its first
// line: no applet is opened on a board it cannot reach.
TEST_F(Session, AnUnusableBoardStopsTheScriptBeforeItRuns)
{
    std::ofstream(dir_ + "/plain") << "";
    std::ofstream(dir_ + "/in") << "open Pinvane\n";
    setenv("BOARD_DIR", (dir_ + "/plain").c_str(), 1);
    Outcome r = run_stdin({"--script", "-"}, dir_ + "/in");
    setenv("BOARD_DIR", dir_.c_str(), 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("controlpanel: " + dir_ + "/plain is not a folder", 0), 0u) << r.err;
    EXPECT_TRUE(trace().empty());
    EXPECT_TRUE(debug().empty());
}

// ---- an applet that takes the Control Panel down ----

// The stand-in applet under the names given, alone in a folder.
std::string fake_applets(const std::string &dir, std::initializer_list<const char *> names)
{
    std::string applets = dir + "/applets";
    fs::create_directory(applets);
    for (const char *name : names)
        fs::copy_file(FAKE_CPL, applets + "/" + name);
    return applets;
}

// A fault that no handler takes ends a script or the list as it ends the
// full screen: one line naming the fault, the applet and the script line,
// and the status of an abort.
TEST_F(Session, AFaultNothingHandlesEndsAScriptOrTheListSayingWhere)
{
    const std::string fault = "a fault (exception code 0xC0000005) that nothing handled ended the Control Panel";
    const std::string log = "; the debug output is in " + dir_ + "/debug.log";
    // Pinvane's poll thread reads the pins as soon as the dialog is up.
    board::arm_fault();
    Outcome r = run({}, "open Pinvane\nwait 5000\nshow\n");
    EXPECT_EQ(r.status, 134);
    // While the dialog opens or in the wait after it, the last line said.
    auto ends_with = [&](const std::string &end) {
        return r.err.size() >= end.size() && r.err.compare(r.err.size() - end.size(), end.size(), end) == 0;
    };
    const std::string pinvane = fault + log + "; Pinvane.cpl was open\n";
    EXPECT_TRUE(ends_with("controlpanel: " + dir_ + "/script:1: " + pinvane) ||
                ends_with("controlpanel: " + dir_ + "/script:2: " + pinvane))
        << r.err;
    EXPECT_EQ(r.err.find("terminate called"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");  // it never got to show

    std::string applets = fake_applets(dir_, {"Fault.cpl"});
    r = run({"--applets", applets}, "# the fake\nopen Fault 0\n");
    EXPECT_EQ(r.status, 134);
    EXPECT_EQ(r.err, "controlpanel: " + dir_ + "/script:2: " + fault + log + "; Fault.cpl was open\n");

    fs::copy_file(FAKE_CPL, applets + "/FaultLoad.cpl");
    r = run({"--list", "--applets", applets});
    EXPECT_EQ(r.status, 134);
    EXPECT_EQ(r.err, "controlpanel: " + fault + log + "; FaultLoad.cpl was loading\n");
}

// So does a crash, with the status of the signal (a sanitizer, when the
// build has one, reports the crash first and ends the process itself).
TEST_F(Session, ACrashingAppletEndsAScriptOrTheListSayingWhere)
{
    std::string applets = fake_applets(dir_, {"Crash.cpl"});
    Outcome r = run({"--applets", applets}, "open Crash 0\n");
    const std::string crash = kSanitized ? "a crash a sanitizer reported" : "a crash (Segmentation fault)";
    const std::string said =
        " ended the Control Panel; the debug output is in " + dir_ + "/debug.log; Crash.cpl was open\n";
    EXPECT_EQ(r.status, kSanitized ? 1 : 128 + SIGSEGV);  // the sanitizers' own status, 1
    EXPECT_NE(("\n" + r.err).find("\ncontrolpanel: " + dir_ + "/script:1: " + crash + said), std::string::npos)
        << r.err;

    fs::copy_file(FAKE_CPL, applets + "/CrashLoad.cpl");
    r = run({"--list", "--applets", applets});
    EXPECT_EQ(r.status, kSanitized ? 1 : 128 + SIGSEGV);
    EXPECT_NE(r.err.find("controlpanel: " + crash + " ended the Control Panel; the debug output is in " + dir_ +
                         "/debug.log; CrashLoad.cpl was loading\n"),
              std::string::npos)
        << r.err;
}

TEST_F(Session, RefusesBadArgumentsAndMissingScripts)
{
    EXPECT_EQ(run({"--frobnicate"}).status, 2);
    EXPECT_EQ(run({"--script"}).status, 2);
    EXPECT_EQ(run({"--list", "--script", "x"}).status, 2);
    Outcome r = run({"--script", dir_ + "/missing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read the script"), std::string::npos) << r.err;
    // A folder opens as a stream that reads nothing: no script at all.
    r = run({"--script", dir_});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read the script " + dir_ + ": it is a folder"), std::string::npos)
        << r.err;
    r = run({"--list", "--applets", dir_ + "/nowhere"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nowhere is not a folder of applets"), std::string::npos) << r.err;
    r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("--script=FILE"), std::string::npos);
}

}  // namespace
