// The full-screen Control Panel in a real terminal (tmux): start it, open
// the GPIO test, tick a box, quit; the screen and the board show it.
#include "session.h"

#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

using namespace cpltest;

namespace {

std::pair<int, int> find_cell(const std::string &screen, const std::string &text);

class Terminal : public Session {
protected:
    void SetUp() override
    {
        Session::SetUp();
        socket_ = "cpltest" + std::to_string(getpid());
    }
    void TearDown() override
    {
        tmux("kill-server");
        Session::TearDown();
    }
    int tmux(const std::string &args)
    {
        return std::system(("tmux -L " + socket_ + " -f /dev/null " + args + " >/dev/null 2>&1").c_str());
    }
    std::string screen()
    {
        std::string file = dir_ + "/screen";
        std::system(("tmux -L " + socket_ + " capture-pane -p > " + file + " 2>/dev/null").c_str());
        return read_file(file);
    }
    // Waits until the screen shows text; false when it never does.
    bool shows(const std::string &text)
    {
        for (int i = 0; i < 300; ++i) {
            if (screen().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // Starts the Control Panel on the three applets alone, in a folder of
    // their own, in a terminal of cols x rows that TERM calls term, and waits
    // until it shows ready.
    void start(int cols = 110, int rows = 34, const std::string &ready = "Pinvane.cpl",
               const std::string &term = "xterm-256color")
    {
        std::string applets = dir_ + "/applets";
        fs::create_directory(applets);
        for (const char *f : {"Dovrel.cpl", "Hemlark.cpl", "Pinvane.cpl", "kestrin.so"})
            fs::copy_file(kAppletDir + "/" + f, applets + "/" + f, fs::copy_options::overwrite_existing);
        // The shell says whether the terminal's settings came back as they were.
        std::string cmd = "s=$(stty -g); env LANG=C.UTF-8 TERM=" + term + " BOARD_DIR=" + dir_ +
                          " BOARD_DEBUG_LOG= " + kBin + " --applets " + applets +
                          "; echo controlpanel-exit=$?; [ \"$(stty -g)\" = \"$s\" ] && echo tty-restored; sleep 60";
        ASSERT_EQ(tmux("new-session -d -x " + std::to_string(cols) + " -y " + std::to_string(rows) + " '" + cmd + "'"),
                  0);
        ASSERT_TRUE(shows(ready)) << screen();
    }
    // Waits until text first shows on row y; false when it never does.
    bool shows_on_row(const std::string &text, int y)
    {
        for (int i = 0; i < 300; ++i) {
            if (find_cell(screen(), text).first == y)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // A mouse event as the terminal reports it (SGR form, 0-based cells).
    void mouse(int button, int x, int y, bool release = false)
    {
        tmux("send-keys -l '\033[<" + std::to_string(button) + ";" + std::to_string(x + 1) + ";" +
             std::to_string(y + 1) + (release ? "m'" : "M'"));
    }
    // Waits until pwm channel 0's cr is cr; false when it never is.
    bool cr_becomes(unsigned cr)
    {
        for (int i = 0; i < 100 && board::status().pwm[0].cr != cr; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return board::status().pwm[0].cr == cr;
    }
    // Sends SIGsig to the Control Panel (the child of the pane's shell).
    int signal_controlpanel(const std::string &sig)
    {
        std::string shell = dir_ + "/shell.pid";
        std::system(("tmux -L " + socket_ + " display -p '#{pane_pid}' > " + shell).c_str());
        return std::system(("pkill -" + sig + " -P $(cat " + shell + ")").c_str());
    }
    static std::vector<std::string> starting(const std::vector<std::string> &lines, const std::string &prefix)
    {
        std::vector<std::string> out;
        for (const std::string &l : lines)
            if (l.rfind(prefix, 0) == 0)
                out.push_back(l);
        return out;
    }
    std::string socket_;
};

// Row and column (in cells) of the first occurrence of text on the screen.
std::pair<int, int> find_cell(const std::string &screen, const std::string &text)
{
    std::vector<std::string> rows = split_lines(screen);
    for (size_t y = 0; y < rows.size(); ++y) {
        size_t at = rows[y].find(text);
        if (at == std::string::npos)
            continue;
        int x = 0;
        for (size_t i = 0; i < at; ++i)
            x += (static_cast<unsigned char>(rows[y][i]) & 0xC0) != 0x80;
        return {static_cast<int>(y), x};
    }
    return {-1, -1};
}

TEST_F(Terminal, OpensTheGpioTestTicksABoxAndQuits)
{
    start();
    // The applets are listed by file name: Dovrel, Hemlark, Pinvane.
    tmux("send-keys Down Down Enter");
    ASSERT_TRUE(shows("Port 9")) << screen();
    // The focus starts on the first tab stop, Port 1; space ticks it.
    tmux("send-keys Space");
    ASSERT_TRUE(shows("\u2612 Port 1")) << screen();
    EXPECT_EQ(board::status().pins[1].driven, 1);
    std::string ticked = screen();
    EXPECT_NE(ticked.find("\u2610 Port 2"), std::string::npos) << ticked;
    EXPECT_NE(ticked.find("PWM 0"), std::string::npos) << ticked;

    tmux("send-keys q");
    ASSERT_TRUE(shows("controlpanel-exit=0")) << screen();
    EXPECT_TRUE(shows("tty-restored")) << screen();
    // q closed the dialog through its close box first: the poll thread stopped.
    std::vector<std::string> d = split_lines(read_file(dir_ + "/debug.log"));
    EXPECT_NE(std::find(d.begin(), d.end(), "- close"), d.end());
}

TEST_F(Terminal, DragsAScrollBarThumbWithTheMouse)
{
    start();
    tmux("send-keys Down Enter");  // Hemlark
    ASSERT_TRUE(shows("Done")) << screen();
    // The first bar is channel 0's cr: grab its thumb and pull it past the end.
    auto [y, x] = find_cell(screen(), "\u2588");
    ASSERT_GE(y, 0) << screen();
    auto [arrow_y, arrow_x] = find_cell(screen(), "\u25b8");
    ASSERT_EQ(arrow_y, y);
    mouse(0, x, y);
    mouse(32, x + 5, y);
    mouse(32, arrow_x + 10, y);
    mouse(0, arrow_x + 10, y, true);
    EXPECT_TRUE(cr_becomes(54)) << screen();  // the highest reachable position
    board::Status st = board::status();
    EXPECT_EQ(st.pwm[0].running, 1u);
    EXPECT_EQ(st.pwm[1].cr, 16u);  // the other channel's bars did not move
    // The thumb now ends at the arrow (once the screen has been drawn again).
    EXPECT_TRUE(shows_on_row("\u2588\u2588\u2588\u25b8", y)) << screen();

    // A click on the left arrow steps back by one.
    mouse(0, find_cell(screen(), "\u25c2").second, y);
    mouse(0, find_cell(screen(), "\u25c2").second, y, true);
    EXPECT_TRUE(cr_becomes(53)) << screen();

    // A press and release on the thumb that does not move it keeps 53 (its
    // cell also stands for 54): the left arrow then steps on to 52.
    int thumb_x = find_cell(screen(), "\u2588").second;
    mouse(0, thumb_x, y);
    mouse(0, thumb_x, y, true);
    mouse(0, find_cell(screen(), "\u25c2").second, y);
    mouse(0, find_cell(screen(), "\u25c2").second, y, true);
    EXPECT_TRUE(cr_becomes(52)) << screen();

    // Ctrl-C ends it as a kill ends the device's Control Panel: the dialog
    // is not closed, so both channels go on running; the terminal comes back.
    tmux("send-keys C-c");
    ASSERT_TRUE(shows("controlpanel-exit=130")) << screen();
    EXPECT_TRUE(shows("tty-restored")) << screen();
    EXPECT_EQ(board::status().pwm[0].running, 1u);
    EXPECT_EQ(board::status().pwm[1].running, 1u);
    EXPECT_EQ(board::status().pwm[0].cr, 52u);
    EXPECT_TRUE(starting(trace(), "IOCTL_PWM_STOP").empty());
}

TEST_F(Terminal, HomeAndEndAsTmuxSendsThemAndKeysTheTerminalDoesNotNameDoNothingElse)
{
    start();
    tmux("send-keys Down Enter");  // Hemlark
    ASSERT_TRUE(shows("Done")) << screen();
    // tmux sends Home and End as ESC [ 1 ~ and ESC [ 4 ~, sequences that
    // TERM=xterm-256color names otherwise; they move the first bar all the way.
    tmux("send-keys End");
    EXPECT_TRUE(cr_becomes(54));
    tmux("send-keys Home");
    EXPECT_TRUE(cr_becomes(0));
    tmux("send-keys F4");
    ASSERT_TRUE(shows("dialog closed")) << screen();

    tmux("send-keys Down Enter");  // Pinvane, which Escape would close
    ASSERT_TRUE(shows("Port 9")) << screen();
    // A key the terminal description does not know, and Alt with a digit:
    // neither is Escape followed by keys (which would close the dialog and
    // cycle the outside levels of pins 9 and 1).
    tmux("send-keys -l '\033[99~'");
    tmux("send-keys -l '\0331'");
    tmux("send-keys Space");
    ASSERT_TRUE(shows("\u2612 Port 1")) << screen();
    board::Status st = board::status();
    std::string now = screen();
    for (int pin : {1, 4, 9}) {
        EXPECT_EQ(st.pins[pin].external, -1) << "pin " << pin;
        EXPECT_EQ(now.find("pin " + std::to_string(pin) + ":"), std::string::npos) << now;
    }
    tmux("send-keys q");
    EXPECT_TRUE(shows("controlpanel-exit=0")) << screen();
}

// At 80 x 24 the board view shows what the board reads back: Dovrel's
// choice for the next boot, taken at the boot, and the desktop connection
// once Velmorra ran.
TEST_F(Terminal, TheBoardViewShowsTheSerialPortAndTheConnectionAfterABoot)
{
    start(80, 24, "Dovrel.cpl");
    ASSERT_TRUE(shows("Registry  serial port on  next boot on")) << screen();
    ASSERT_TRUE(shows("sync  not connected: no \"Cnct\"")) << screen();
    tmux("send-keys Enter");  // Dovrel, the first applet
    ASSERT_TRUE(shows("Disable serial debug port")) << screen();
    tmux("send-keys Escape");  // counts as Disable
    ASSERT_TRUE(shows("serial port on  next boot off")) << screen();
    tmux("send-keys b");
    ASSERT_TRUE(shows("serial port off  next boot off")) << screen();
    ASSERT_TRUE(shows("sync  connected through \"`USB\" on")) << screen();
    EXPECT_TRUE(shows("\"Serial on USB\"")) << screen();
    tmux("send-keys q");
    EXPECT_TRUE(shows("controlpanel-exit=0")) << screen();
}

TEST_F(Terminal, FitsEightyByTwentyFourAndAsksForRoomWhenSmaller)
{
    start(60, 20, "needs more room");
    EXPECT_TRUE(shows("at least 80 x 18, this terminal is 60 x 20")) << screen();
    // At 80 x 18 two of the three applets fit: the list follows the chosen
    // one, and shows all three again once there is room.
    tmux("resize-window -x 80 -y 18");
    ASSERT_TRUE(shows("Hemlark.cpl")) << screen();
    tmux("send-keys Down Down");
    ASSERT_TRUE(shows("Pinvane.cpl")) << screen();
    EXPECT_EQ(screen().find("Dovrel.cpl"), std::string::npos) << screen();
    tmux("resize-window -x 80 -y 24");
    ASSERT_TRUE(shows("Dovrel.cpl")) << screen();
    EXPECT_NE(screen().find("Pinvane.cpl"), std::string::npos) << screen();

    // The PWM test is taller than 20 rows: its empty rows give way, so its
    // frame, its Done button and the rates beside it show whole.
    tmux("send-keys Up Enter Right");
    ASSERT_TRUE(shows("pcr 512")) << screen();
    std::string s = screen();
    EXPECT_NE(s.find("Done"), std::string::npos) << s;
    EXPECT_NE(s.find("\u2514"), std::string::npos) << s;
    EXPECT_NE(s.find("cr 17  dcr 256  pcr 512"), std::string::npos) << s;
    EXPECT_NE(s.find("HKCU\\ControlPanel\\Comm Cnct  (not set)"), std::string::npos) << s;
    EXPECT_NE(s.find("Home/End"), std::string::npos) << s;  // the keys' help, uncut

    // Too small again while the dialog is open: no cut figures, keys still go.
    tmux("resize-window -x 79 -y 24");
    ASSERT_TRUE(shows("needs more room")) << screen();
    EXPECT_EQ(screen().find("pcr"), std::string::npos) << screen();
    tmux("send-keys q");
    EXPECT_TRUE(shows("controlpanel-exit=0")) << screen();
    EXPECT_TRUE(shows("tty-restored")) << screen();
    EXPECT_EQ(board::status().pwm[0].running, 0u);
}

// A copy of an applet cut short is listed with the reason, which Enter
// shows whole; the others open as before.
TEST_F(Terminal, ACutShortAppletIsListedWithItsReasonAndTheOthersOpen)
{
    fs::create_directory(dir_ + "/applets");
    std::string image = read_file(kAppletDir + "/Dovrel.cpl");
    std::ofstream(dir_ + "/applets/Broken.cpl", std::ios::binary) << image.substr(0, image.size() / 2);
    start();
    ASSERT_TRUE(shows("not loaded:")) << screen();
    tmux("send-keys Enter");
    EXPECT_TRUE(shows("Broken.cpl: cut short at " + std::to_string(image.size() / 2) +
                      " bytes: a loadable segment ends at byte "))
        << screen();
    tmux("send-keys Down Enter");  // Dovrel
    ASSERT_TRUE(shows("Disable serial debug port")) << screen();
    tmux("send-keys q");
    EXPECT_TRUE(shows("controlpanel-exit=0")) << screen();
    EXPECT_EQ(registry_value("HKEY_LOCAL_MACHINE\\Debug", "dbgSerial"), "dword:00000001");
}

// At 80 x 24 the board view fits its long lines: the boot line keeps the
// exit code, the debug log's path keeps its file name, and debug lines
// break between words.
TEST_F(Terminal, AtEightyByTwentyFourTheBoardViewKeepsWhatMatters)
{
    start(80, 24);
    tmux("send-keys b");
    ASSERT_TRUE(shows("boot  done: Velmorra.exe exit code 0")) << screen();
    ASSERT_TRUE(shows("RasEntry '`USB' Created")) << screen();
    std::string s = screen();
    std::vector<std::string> rows = split_lines(s);
    int log = find_cell(s, "Debug output \u2026").first;
    ASSERT_GE(log, 0) << s;
    std::string end = dir_.substr(dir_.size() - 6) + "/debug.log";
    EXPECT_EQ(rows[log].substr(rows[log].size() - end.size()), end) << s;
    // Hemlark's long line about its instance handle, broken between words.
    auto [y, x] = find_cell(s, "pwmcpl::ghInst =");
    ASSERT_GE(y, 0) << s;
    EXPECT_NE(rows[y + 1].find("  GetModuleHandle(TEXT(Hemlark.cpl)) ="), std::string::npos) << s;
    EXPECT_NE(rows[y + 2].find("  269484032 (0x10100000)"), std::string::npos) << s;
    tmux("send-keys q");
    EXPECT_TRUE(shows("controlpanel-exit=0")) << screen();
}

// A signal to end it gives the terminal back and reports the signal as the
// shell would.  The open dialog stays as it is, as when the device's Control
// Panel is killed: Hemlark's channels run on.
TEST_F(Terminal, TermSignalEndsItWithTheSignalInItsStatus)
{
    start();
    tmux("send-keys Down Enter");  // Hemlark
    ASSERT_TRUE(shows("Done")) << screen();
    ASSERT_EQ(signal_controlpanel("TERM"), 0);
    ASSERT_TRUE(shows("controlpanel-exit=143")) << screen();
    EXPECT_TRUE(shows("tty-restored")) << screen();
    EXPECT_EQ(board::status().pwm[0].running, 1u);
    EXPECT_TRUE(starting(trace(), "IOCTL_PWM_STOP").empty());
}

// Nothing more reaches the applet after a signal: Dovrel, whose close box
// would enable the port, records nothing.
TEST_F(Terminal, SignalsEndItWithoutChoosingForTheUser)
{
    for (const char *sig : {"INT", "HUP", "TERM"}) {
        SCOPED_TRACE(sig);
        board::reset();
        start();
        tmux("send-keys Enter");  // Dovrel
        ASSERT_TRUE(shows("Disable serial debug port")) << screen();
        ASSERT_EQ(signal_controlpanel(sig), 0);
        std::string exit = std::string("controlpanel-exit=") + (sig[0] == 'I' ? "130" : sig[0] == 'H' ? "129" : "143");
        ASSERT_TRUE(shows(exit)) << screen();
        EXPECT_TRUE(shows("tty-restored")) << screen();
        EXPECT_EQ(registry_value("HKEY_LOCAL_MACHINE\\Debug", "dbgSerial"), "");
        tmux("kill-server");
    }
    // q still closes it through its close box, as documented.
    start();
    tmux("send-keys Enter");
    ASSERT_TRUE(shows("Disable serial debug port")) << screen();
    tmux("send-keys q");
    ASSERT_TRUE(shows("controlpanel-exit=0")) << screen();
    EXPECT_EQ(registry_value("HKEY_LOCAL_MACHINE\\Debug", "dbgSerial"), "dword:00000001");
}

// The terminal hung up under a Control Panel that no signal reaches (run by
// make, whose shell alone gets the hang-up): it ends as for a hang-up,
// choosing nothing for the user, instead of reading nothing for ever.
TEST_F(Terminal, AHungUpTerminalEndsItEvenWithoutASignal)
{
    std::string applets = dir_ + "/applets";
    fs::create_directory(applets);
    for (const char *f : {"Dovrel.cpl", "kestrin.so"})
        fs::copy_file(kAppletDir + "/" + f, applets + "/" + f, fs::copy_options::overwrite_existing);
    std::ofstream(dir_ + "/Makefile") << "run:\n\t@env LANG=C.UTF-8 TERM=xterm-256color BOARD_DIR=" << dir_
                                      << " BOARD_DEBUG_LOG= " << kBin << " --applets " << applets << "\n";
    ASSERT_EQ(tmux("new-session -d -x 110 -y 34 'make -s -f " + dir_ + "/Makefile'"), 0);
    ASSERT_TRUE(shows("Dovrel.cpl")) << screen();
    tmux("send-keys Enter");
    ASSERT_TRUE(shows("Disable serial debug port")) << screen();
    std::string pids = dir_ + "/controlpanel.pid";
    ASSERT_EQ(std::system(("pgrep -f -- '--applets " + applets + "' > " + pids).c_str()), 0);
    pid_t pid = std::stoi(read_file(pids));
    tmux("kill-server");
    bool ended = false;
    for (int i = 0; i < 400 && !ended; ++i) {
        ended = kill(pid, 0) != 0 && errno == ESRCH;
        if (!ended)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!ended)
        kill(pid, SIGKILL);
    EXPECT_TRUE(ended) << "the Control Panel runs on with no terminal";
    EXPECT_EQ(registry_value("HKEY_LOCAL_MACHINE\\Debug", "dbgSerial"), "");
}

// A terminal the terminal database does not know: said so on the terminal
// (not only in the debug log, where standard error points meanwhile).
TEST_F(Terminal, AnUnknownTerminalIsNamedAndGivesOne)
{
    start(110, 34, "controlpanel-exit=1", "no-such-terminal");
    EXPECT_TRUE(shows("controlpanel: cannot work the terminal TERM='no-such-terminal' names")) << screen();
    EXPECT_EQ(screen().find("Sanitizer"), std::string::npos) << screen();
    EXPECT_TRUE(shows("tty-restored")) << screen();
}

// A fault no handler takes (here in Pinvane's poll thread, which reads
// the pins through the library) ends the Control Panel, as on the device:
// the terminal comes back and says why.
TEST_F(Terminal, AnUnhandledFaultEndsItWithTheTerminalGivenBack)
{
    start();
    tmux("send-keys Down Down Enter");
    ASSERT_TRUE(shows("Port 9")) << screen();
    board::arm_fault();
    ASSERT_TRUE(shows("controlpanel-exit=134")) << screen();
    EXPECT_TRUE(shows("controlpanel: a fault (exception code 0xC0000005) that nothing handled ended the Control"))
        << screen();
    EXPECT_TRUE(shows("tty-restored")) << screen();
}

// So does a crash: the stand-in applet "Crash" writes through a null pointer
// when it is opened.
TEST_F(Terminal, ACrashingAppletEndsItWithTheTerminalGivenBack)
{
    fs::create_directory(dir_ + "/applets");
    fs::copy_file(FAKE_CPL, dir_ + "/applets/Crash.cpl");
    start();
    ASSERT_TRUE(shows("Crash 0")) << screen();
    tmux("send-keys Enter");
    EXPECT_TRUE(shows("ended the Control Panel; the debug output is in")) << screen();
    EXPECT_TRUE(shows("controlpanel-exit=")) << screen();
    EXPECT_TRUE(shows("tty-restored")) << screen();
}

}  // namespace
