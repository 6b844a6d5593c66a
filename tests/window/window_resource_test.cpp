// Templates that the resource compiler made, loaded from this program's
// resources as the applets load theirs.
#include "dialog_harness.h"

#include <gtest/gtest.h>

namespace {

using Compiled = RecorderTest;

const DLGTEMPLATE *compiled(int id)
{
    HMODULE self = GetModuleHandleW(nullptr);
    HRSRC res = FindResourceW(self, MAKEINTRESOURCEW(id), RT_DIALOG);
    EXPECT_TRUE(res) << id;
    return static_cast<const DLGTEMPLATE *>(LockResource(LoadResource(self, res)));
}

TEST_F(Compiled, ClassicDialogHasEveryControlInPlace)
{
    const DLGTEMPLATE *t = compiled(201);
    ASSERT_TRUE(t);
    RunningDialog d(t);
    ASSERT_TRUE(d.hwnd);
    EXPECT_EQ(layout(d.hwnd), "\"Classic\" 3,4 121x95 8pt System\n"
                              "65535 static \"odd\" 7,2 41x8\n"
                              "11 checkbox \"Box\" 7,12 40x10 focus\n"
                              "12 radio \"\" 57,14 10x10\n"
                              "13 radio \"\" 57,27 10x10\n"
                              "14 scrollbar \"\" 7,40 98x11\n"
                              "1 button \"Go on\" 7,60 107x14 default\n"
                              "2 button \"Stop\" 7,77 107x14\n");
    EXPECT_TRUE(host_dialog_info(d.hwnd).style & DS_CENTER);

    // The compiled radio group behaves as one.
    ASSERT_TRUE(host_click(d.hwnd, 13));
    ASSERT_TRUE(host_click(d.hwnd, 12));
    EXPECT_EQ(d.control(12).check, BST_CHECKED);
    EXPECT_EQ(d.control(13).check, BST_UNCHECKED);
    ASSERT_TRUE(host_key(d.hwnd, HOST_KEY_ESCAPE));
    EXPECT_EQ(d.result(), IDCANCEL);
}

TEST_F(Compiled, ExtendedDialogKeepsTheCaptionOkButton)
{
    const DLGTEMPLATE *t = compiled(202);
    ASSERT_TRUE(t);
    RunningDialog d(t);
    ASSERT_TRUE(d.hwnd);
    // Control ids are 32 bits in this form.
    EXPECT_EQ(layout(d.hwnd), "\"Extended\" 0,0 89x142 9pt Tahoma ok-button\n"
                              "1000 checkbox \"Port 1\" 15,12 40x10 focus\n"
                              "70000 static \"right\" 15,30 40x10\n");
    ASSERT_TRUE(host_caption_ok(d.hwnd));
    EXPECT_EQ(d.result(), IDOK);
}

}  // namespace
