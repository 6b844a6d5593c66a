// Test harness for dialogs: a builder of in-memory dialog templates, a
// dialog procedure that records every message it gets, and a dialog run
// on a thread of its own.
#pragma once

#include "ce_host.h"
#include "host_window.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

// One message as a dialog procedure saw it.
struct Msg {
    UINT msg;
    WPARAM wparam;
    LPARAM lparam;
    bool operator==(const Msg &o) const
    {
        return msg == o.msg && wparam == o.wparam && lparam == o.lparam;
    }
};
std::ostream &operator<<(std::ostream &out, const Msg &m);

inline Msg command(int id, HWND from) { return {WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)from}; }
inline Msg hscroll(int code, int pos, HWND bar) { return {WM_HSCROLL, MAKEWPARAM(code, pos), (LPARAM)bar}; }

const WORD BUTTON = 0x0080;
const WORD EDIT = 0x0081;
const WORD STATIC = 0x0082;
const WORD SCROLLBAR = 0x0084;
const DWORD CHILD = WS_CHILD | WS_VISIBLE;

// A DLGTEMPLATE as the resource compiler lays it out.
class Template {
public:
    Template(DWORD style, DWORD exstyle, HostRect rect, const std::u16string &caption,
             int points = 8, const std::u16string &face = u"System");
    // A control of a class given by atom.
    Template &item(WORD atom, DWORD style, HostRect rect, int id, const std::u16string &text = u"",
                   DWORD exstyle = 0);
    // A control of a class given by name.
    Template &named(const std::u16string &cls, DWORD style, HostRect rect, int id,
                    const std::u16string &text = u"");
    const DLGTEMPLATE *get() const { return reinterpret_cast<const DLGTEMPLATE *>(words_.data()); }

private:
    Template &begin_item(DWORD style, DWORD exstyle, HostRect rect, int id);
    void dword(DWORD d);
    void string(const std::u16string &s);
    void align();
    std::vector<WORD> words_;
};

// What the recording procedure does beyond recording: the default answers
// WM_INITDIALOG with TRUE and ends the dialog with the id of an IDOK or
// IDCANCEL command.  A reaction returning -1 falls back to the default.
using Reaction = std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)>;

struct Recorder {
    std::mutex lock;
    std::vector<Msg> log;
    std::vector<HWND> windows;  // the dialog each message went to
    Reaction react;
};
Recorder &recorder();
// Clears the log and the reaction.
void reset_recorder();
std::vector<Msg> recorded();
// The recorded messages of one kind.
std::vector<Msg> recorded(UINT msg);
INT_PTR CALLBACK recording_proc(HWND dlg, UINT msg, WPARAM wparam, LPARAM lparam);

// A dialog run modally on a thread of its own.  The constructor returns
// once the dialog is open (hwnd null when it does not open).
class RunningDialog {
public:
    explicit RunningDialog(const DLGTEMPLATE *templ, LPARAM init = 0, DLGPROC proc = recording_proc);
    ~RunningDialog();
    // Waits for DialogBoxIndirectParamW to return and gives its result.
    INT_PTR result();
    HWND item(int id) const { return GetDlgItem(hwnd, id); }
    HostControl control(int id) const;
    std::thread::id thread_id() const { return thread_id_; }

    HWND hwnd = nullptr;

private:
    std::vector<HWND> before;
    std::thread thread_;
    INT_PTR result_ = 0;
    std::thread::id thread_id_;
};

// Tests of dialogs using the recording procedure start and end with a
// clean recorder.
class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override { reset_recorder(); }
    void TearDown() override { reset_recorder(); }
};

const DWORD DIALOG_STYLE = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;

// A dialog and its controls as text, one line each, for comparing with a
// layout written out in a test:
//   "Caption" x,y cxXcy 8pt System [ok-button]
//   id kind "text" x,y cxXcy [focus] [default] [disabled]
std::string layout(HWND dlg);

// Sets up bar id of a running dialog (SIF_ALL, redrawn) and gives its window.
HWND set_bar(const RunningDialog &d, int id, int min, int max, UINT page, int pos);
// The whole of a bar's scroll information.
SCROLLINFO read_bar(HWND bar);
