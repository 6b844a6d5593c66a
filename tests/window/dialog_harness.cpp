#include "dialog_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

std::ostream &operator<<(std::ostream &out, const Msg &m)
{
    return out << "{msg 0x" << std::hex << m.msg << std::dec << ", wparam " << LOWORD(m.wparam) << ":"
               << HIWORD(m.wparam) << ", lparam 0x" << std::hex << m.lparam << std::dec << "}";
}

Template::Template(DWORD style, DWORD exstyle, HostRect rect, const std::u16string &caption,
                   int points, const std::u16string &face)
{
    dword(style | (points ? DS_SETFONT : 0));
    dword(exstyle);
    words_.push_back(0);  // item count, counted as items come
    for (int v : {rect.x, rect.y, rect.cx, rect.cy})
        words_.push_back(static_cast<WORD>(v));
    words_.push_back(0);  // no menu
    words_.push_back(0);  // the standard dialog class
    string(caption);
    if (points) {
        words_.push_back(static_cast<WORD>(points));
        string(face);
    }
}

Template &Template::begin_item(DWORD style, DWORD exstyle, HostRect rect, int id)
{
    ++words_[4];
    align();
    dword(style);
    dword(exstyle);
    for (int v : {rect.x, rect.y, rect.cx, rect.cy})
        words_.push_back(static_cast<WORD>(v));
    words_.push_back(static_cast<WORD>(id));
    return *this;
}

Template &Template::item(WORD atom, DWORD style, HostRect rect, int id, const std::u16string &text,
                         DWORD exstyle)
{
    begin_item(style, exstyle, rect, id);
    words_.push_back(0xFFFF);
    words_.push_back(atom);
    string(text);
    words_.push_back(0);  // no creation data
    return *this;
}

Template &Template::named(const std::u16string &cls, DWORD style, HostRect rect, int id,
                          const std::u16string &text)
{
    begin_item(style, 0, rect, id);
    string(cls);
    string(text);
    // Two bytes of creation data, to be skipped.
    words_.push_back(2);
    words_.push_back(0xBEEF);
    return *this;
}

void Template::dword(DWORD d)
{
    words_.push_back(static_cast<WORD>(d & 0xFFFF));
    words_.push_back(static_cast<WORD>(d >> 16));
}

void Template::string(const std::u16string &s)
{
    words_.insert(words_.end(), s.begin(), s.end());
    words_.push_back(0);
}

void Template::align()
{
    if (words_.size() % 2)
        words_.push_back(0);
}

Recorder &recorder()
{
    static Recorder r;
    return r;
}

void reset_recorder()
{
    std::lock_guard<std::mutex> g(recorder().lock);
    recorder().log.clear();
    recorder().windows.clear();
    recorder().react = nullptr;
}

std::vector<Msg> recorded()
{
    std::lock_guard<std::mutex> g(recorder().lock);
    return recorder().log;
}

std::vector<Msg> recorded(UINT msg)
{
    std::vector<Msg> out;
    for (const Msg &m : recorded())
        if (m.msg == msg)
            out.push_back(m);
    return out;
}

INT_PTR CALLBACK recording_proc(HWND dlg, UINT msg, WPARAM wparam, LPARAM lparam)
{
    Reaction react;
    {
        std::lock_guard<std::mutex> g(recorder().lock);
        recorder().log.push_back({msg, wparam, lparam});
        recorder().windows.push_back(dlg);
        react = recorder().react;
    }
    if (react) {
        INT_PTR r = react(dlg, msg, wparam, lparam);
        if (r != -1)
            return r;
    }
    if (msg == WM_INITDIALOG)
        return TRUE;
    if (msg == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
        EndDialog(dlg, LOWORD(wparam));
        return TRUE;
    }
    return FALSE;
}

RunningDialog::RunningDialog(const DLGTEMPLATE *templ, LPARAM init, DLGPROC proc)
    : before(host_dialogs()), thread_([this, templ, init, proc] { result_ = DialogBoxIndirectParamW(nullptr, templ, nullptr, proc, init); })
{
    thread_id_ = thread_.get_id();
    // The new dialog is the one that was not open before.
    for (int round = 0; round < 500 && !hwnd; ++round) {
        uint64_t seen = host_window_generation();
        for (HWND h : host_dialogs())
            if (std::find(before.begin(), before.end(), h) == before.end())
                hwnd = h;
        if (!hwnd)
            host_wait_change(seen, 10);
    }
}

RunningDialog::~RunningDialog()
{
    if (thread_.joinable()) {
        if (hwnd)
            EndDialog(hwnd, 0);
        thread_.join();
    }
}

INT_PTR RunningDialog::result()
{
    if (thread_.joinable())
        thread_.join();
    return result_;
}

HostControl RunningDialog::control(int id) const
{
    for (const HostControl &c : host_controls(hwnd))
        if (c.id == id)
            return c;
    ADD_FAILURE() << "no control " << id;
    return HostControl{};
}

HWND set_bar(const RunningDialog &d, int id, int min, int max, UINT page, int pos)
{
    HWND bar = d.item(id);
    SCROLLINFO si{sizeof(SCROLLINFO), SIF_ALL, min, max, page, pos, 0};
    EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), pos);
    return bar;
}

SCROLLINFO read_bar(HWND bar)
{
    SCROLLINFO si{sizeof(SCROLLINFO), SIF_ALL, 0, 0, 0, 0, 0};
    EXPECT_TRUE(GetScrollInfo(bar, SB_CTL, &si));
    return si;
}

std::string layout(HWND dlg)
{
    static const char *const kinds[] = {"button", "checkbox", "radio", "static", "scrollbar"};
    auto place = [](std::ostream &out, const HostRect &r) {
        out << r.x << "," << r.y << " " << r.cx << "x" << r.cy;
    };
    std::ostringstream out;
    HostDialog info = host_dialog_info(dlg);
    out << '"' << info.caption << "\" ";
    place(out, info.rect);
    out << " " << info.font_points << "pt " << info.font_face;
    if (info.exstyle & WS_EX_CAPTIONOKBTN)
        out << " ok-button";
    out << "\n";
    for (const HostControl &c : host_controls(dlg)) {
        out << c.id << " " << kinds[c.kind] << " \"" << c.text << "\" ";
        place(out, c.rect);
        out << (c.focused ? " focus" : "") << (c.is_default ? " default" : "")
            << (c.enabled ? "" : " disabled") << "\n";
    }
    return out.str();
}
