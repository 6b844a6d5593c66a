// Dovrel.cpl as the Control Panel runs it: its compiled template, and the
// value each way of ending its dialog leaves in the board's registry.
#include "tests/support/applet_dialog.h"
#include "tests/support/dialog_template.h"

#include "board/registry_file.h"
#include "platform/host/include/host_control.h"

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kDebugKey[] = "HKEY_LOCAL_MACHINE\\Debug";

class Dovrel : public ::testing::Test {
protected:
    test_support::BoardFolder board;
    test_support::Applet applet{"Dovrel.cpl"};

    // dbgSerial as the registry holds it: type and bytes; type kNone when absent.
    static board::reg::Value dbg_serial()
    {
        board::reg::Hive hive = board::reg::read();
        const board::reg::Key *key = hive.find(kDebugKey);
        const board::reg::Value *value = key ? board::reg::Hive::find_value(*key, "dbgSerial") : nullptr;
        return value ? *value : board::reg::Value{"", board::reg::kNone, {}};
    }
    static bool debug_key_exists() { return board::reg::read().find(kDebugKey) != nullptr; }

    // Opens the dialog, ends it by end(), and waits for CPL_DBLCLK to return.
    void run_dialog(const std::function<bool(HWND)> &end)
    {
        DialogRun run(applet);
        ASSERT_TRUE(end(run.dialog()));
        ASSERT_TRUE(run.wait_ended());
        EXPECT_EQ(run.dblclk_result(), 0);
    }
};

TEST_F(Dovrel, RegistersAndHoldsItsTemplate)
{
    expect_registration(applet, {102, 103, u"EnableDebug", u"Enable Debug Port"}, 2);
    EXPECT_EQ(board.debug_log(), "Unknown: DEBUGCHK failed in file SRC\\APPS\\Dovrel\\dovrel at line 91 \r\n");

    DialogTemplate t;
    ASSERT_TRUE(load_dialog_template(u"Dovrel.cpl", 101, &t));
    expect_dialog_frame(t, "Enable Debug", 121, 75, WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER);
    ASSERT_EQ(t.items.size(), 2u);
    const struct {
        int id;
        const char *text;
        uint32_t type;
        bool tab;
        int y;
    } kButtons[] = {{1, "Enable serial debug port", BS_DEFPUSHBUTTON, true, 18},
                    {2, "Disable serial debug port", BS_PUSHBUTTON, false, 45}};
    for (int i = 0; i < 2; ++i) {
        const TemplateItem &b = t.items[i];
        EXPECT_EQ(b.id, kButtons[i].id);
        EXPECT_EQ(b.cls, "Button");
        EXPECT_EQ(b.text, kButtons[i].text);
        EXPECT_EQ(b.style & BS_TYPEMASK, kButtons[i].type);
        EXPECT_EQ((b.style & WS_TABSTOP) != 0, kButtons[i].tab);
        EXPECT_EQ(b.x, 7);
        EXPECT_EQ(b.y, kButtons[i].y);
        EXPECT_EQ(b.cx, 107);
        EXPECT_EQ(b.cy, 14);
    }
}

// Each way of ending the dialog, the value it leaves and the line it writes.
TEST_F(Dovrel, EachChoiceWritesItsValue)
{
    struct Choice {
        const char *name;
        std::function<bool(HWND)> end;
        uint8_t value;
    };
    const Choice kChoices[] = {
        {"Disable", [](HWND dlg) { return host_click(dlg, 2); }, 0},
        {"Enable", [](HWND dlg) { return host_click(dlg, 1); }, 1},
        {"Escape (IDCANCEL is the Disable button's id)", [](HWND dlg) { return host_key(dlg, HOST_KEY_ESCAPE); }, 0},
        {"close box counts as Enable", [](HWND dlg) { return host_caption_close(dlg); }, 1},
        {"Enter presses the default Enable", [](HWND dlg) { return host_key(dlg, HOST_KEY_ENTER); }, 1},
    };
    for (const Choice &choice : kChoices) {
        SCOPED_TRACE(choice.name);
        std::string before = board.debug_log();
        run_dialog(choice.end);
        board::reg::Value v = dbg_serial();
        EXPECT_EQ(v.type, board::reg::kDword);
        EXPECT_EQ(v.data, (std::vector<uint8_t>{choice.value, 0, 0, 0}));
        EXPECT_EQ(board.debug_log().substr(before.size()),
                  "Registry write <regError=0> ... dbgSerial=" + std::to_string(choice.value) + " \r\n");
        EXPECT_EQ(host_open_handles(nullptr), 0u);
    }
}

TEST_F(Dovrel, ButtonsOtherThanTheTwoDoNothing)
{
    DialogRun run(applet);
    SendMessageW(run.dialog(), WM_COMMAND, 3, 0);
    SendMessageW(run.dialog(), WM_COMMAND, 1001, 0);
    EXPECT_TRUE(host_dialog_info(run.dialog()).open);
    EXPECT_EQ(dbg_serial().type, board::reg::kNone);
    EXPECT_EQ(board.debug_log(), "");
}

TEST_F(Dovrel, TheRegistryFileHoldsOneValueAfterTwoRuns)
{
    run_dialog([](HWND dlg) { return host_click(dlg, 1); });
    run_dialog([](HWND dlg) { return host_click(dlg, 1); });
    std::ifstream in(board::reg::file_path());
    std::stringstream text;
    text << in.rdbuf();
    std::string file = text.str();
    size_t section = file.find("[HKEY_LOCAL_MACHINE\\Debug]\n");
    ASSERT_NE(section, std::string::npos) << file;
    const std::string line = "\"dbgSerial\"=dword:00000001\n";
    size_t value = file.find(line, section);
    ASSERT_NE(value, std::string::npos) << file;
    EXPECT_EQ(file.find("dbgSerial", value + line.size()), std::string::npos) << file;
    EXPECT_EQ(file.find("dbgSerial"), value + 1) << file;
}

TEST_F(Dovrel, AMissingDebugKeyIsReportedAndNotCreated)
{
    board::reg::update([](board::reg::Hive &hive) { return hive.remove(kDebugKey); });
    ASSERT_FALSE(debug_key_exists());
    run_dialog([](HWND dlg) { return host_click(dlg, 1); });
    EXPECT_EQ(board.debug_log(), "Failed opening HKEY_LOCAL_MACHINE\\Debug\r\n");
    EXPECT_FALSE(debug_key_exists());
    EXPECT_EQ(host_open_handles(nullptr), 0u);
}

TEST_F(Dovrel, AFailedWriteShowsInRegErrorAndClosesTheKey)
{
    board::reg::set_protected(kDebugKey, true);
    run_dialog([](HWND dlg) { return host_click(dlg, 2); });
    std::string log = board.debug_log();
    EXPECT_EQ(log.find("Registry write <regError=0>"), std::string::npos) << log;
    EXPECT_EQ(log.rfind("Registry write <regError=", 0), 0u) << log;
    EXPECT_NE(log.find("> ... dbgSerial=0 \r\n"), std::string::npos) << log;
    EXPECT_EQ(dbg_serial().type, board::reg::kNone);
    EXPECT_EQ(host_open_handles(nullptr), 0u);
}

}  // namespace
