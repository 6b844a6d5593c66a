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
    HostDialog info = host_dialog_info(d.hwnd);
    EXPECT_EQ(info.caption, "Classic");
    EXPECT_EQ(info.font_points, 8);
    EXPECT_EQ(info.font_face, "System");
    EXPECT_EQ(info.rect.x, 3);
    EXPECT_EQ(info.rect.cx, 121);
    EXPECT_EQ(info.rect.cy, 95);
    EXPECT_TRUE(info.style & DS_CENTER);
    EXPECT_EQ(info.default_id, IDOK);

    std::vector<HostControl> c = host_controls(d.hwnd);
    ASSERT_EQ(c.size(), 7u);
    std::vector<int> ids, kinds;
    for (const HostControl &one : c) {
        ids.push_back(one.id);
        kinds.push_back(one.kind);
    }
    EXPECT_EQ(ids, (std::vector<int>{0xFFFF, 11, 12, 13, 14, 1, 2}));
    EXPECT_EQ(kinds, (std::vector<int>{HOST_CONTROL_STATIC, HOST_CONTROL_CHECKBOX, HOST_CONTROL_RADIO,
                                       HOST_CONTROL_RADIO, HOST_CONTROL_SCROLLBAR, HOST_CONTROL_BUTTON,
                                       HOST_CONTROL_BUTTON}));
    EXPECT_EQ(c[0].text, "odd");
    EXPECT_EQ(c[5].text, "Go on");
    EXPECT_EQ(c[4].rect.y, 40);
    EXPECT_EQ(c[4].rect.cx, 98);
    EXPECT_EQ(c[6].rect.y, 77);
    EXPECT_TRUE(c[1].focused);

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
    HostDialog info = host_dialog_info(d.hwnd);
    EXPECT_EQ(info.caption, "Extended");
    EXPECT_EQ(info.font_points, 9);
    EXPECT_EQ(info.font_face, "Tahoma");
    EXPECT_EQ(info.exstyle, (DWORD)WS_EX_CAPTIONOKBTN);
    std::vector<HostControl> c = host_controls(d.hwnd);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[0].text, "Port 1");
    EXPECT_EQ(c[1].kind, HOST_CONTROL_STATIC);
    EXPECT_EQ(c[1].id, 1001);
    ASSERT_TRUE(host_caption_ok(d.hwnd));
    EXPECT_EQ(d.result(), IDOK);
}

}  // namespace
