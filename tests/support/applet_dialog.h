// Test support: an applet's dialog run as the Control Panel runs it, on a
// thread of its own (CPL_INIT, then CPL_DBLCLK, which returns when the
// dialog ends), and driven from the test's thread through the window
// system's input calls.
#pragma once

#include "tests/support/applet_library.h"
#include "tests/support/board_folder.h"
#include "platform/host/include/host_window.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

typedef std::vector<std::string> Lines;

inline Lines operator+(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The board's trace lines that start with prefix.
inline Lines trace_of(const test_support::BoardFolder &board, const std::string &prefix)
{
    Lines lines;
    for (const std::string &line : board.trace_lines())
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

// The debug output so far, one entry per line, each with its "\r\n".
inline Lines debug_lines(const test_support::BoardFolder &board)
{
    Lines lines;
    std::string log = board.debug_log();
    size_t start = 0;
    for (size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(log.substr(start, end + 2 - start));
    if (start < log.size())
        lines.push_back(log.substr(start));
    return lines;
}

// What an applet tells the Control Panel about itself.
struct Registration {
    int icon;
    LONG data;
    const char16_t *name;
    const char16_t *info;
};

// CPL_INIT, then CPL_INQUIRE and CPL_NEWINQUIRE (the latter for applet
// index), compared with want.
inline void expect_registration(const test_support::Applet &applet, const Registration &want, LPARAM index)
{
    EXPECT_EQ(applet.send(CPL_INIT), 1);
    CPLINFO info = {0, 0, 0, 0};
    EXPECT_EQ(applet.send(CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(info.idIcon, want.icon);
    EXPECT_EQ(info.idName, 1);
    EXPECT_EQ(info.idInfo, 2);
    NEWCPLINFO news;
    EXPECT_EQ(applet.send(CPL_NEWINQUIRE, index, reinterpret_cast<LPARAM>(&news)), 0);
    EXPECT_EQ(news.lData, want.data);
    EXPECT_NE(news.hIcon, 0u);
    EXPECT_EQ(std::u16string(news.szName), want.name);
    EXPECT_EQ(std::u16string(news.szInfo), want.info);
}

class DialogRun {
public:
    explicit DialogRun(const test_support::Applet &applet)
        : thread_([this, &applet] {
              init_ = applet.send(CPL_INIT);
              result_ = applet.send(CPL_DBLCLK);
              ended_ = true;
          })
    {
        dlg_ = host_wait_dialog(5000);
        EXPECT_NE(dlg_, nullptr) << "the dialog did not open";
    }
    // A dialog a failed test left open is closed, so the thread ends.
    ~DialogRun()
    {
        if (!ended_ && dlg_) {
            host_caption_close(dlg_);
            host_click(dlg_, IDOK);
        }
        thread_.join();
    }
    DialogRun(const DialogRun &) = delete;
    DialogRun &operator=(const DialogRun &) = delete;

    HWND dialog() const { return dlg_; }

    // Waits until CPL_DBLCLK has returned; false if it has not in 5 s.
    bool wait_ended()
    {
        if (!host_wait_closed(dlg_, 5000))
            return false;
        for (int i = 0; i < 5000 && !ended_; ++i)
            Sleep(1);
        return ended_;
    }
    bool ended() const { return ended_; }
    LONG init_result() const { return init_; }
    LONG dblclk_result() const { return result_; }

    // The control id as it stands now; a default one when it is missing.
    HostControl control(int id) const
    {
        for (const HostControl &c : host_controls(dlg_))
            if (c.id == id)
                return c;
        ADD_FAILURE() << "no control " << id;
        return HostControl();
    }

    // Waits until pred() holds, checking after each visible change of the
    // window system; false if it never did in 5 s.
    template <typename Pred>
    bool wait_for(Pred pred) const
    {
        for (int round = 0; round < 100; ++round) {
            uint64_t seen = host_window_generation();
            if (pred())
                return true;
            host_wait_change(seen, 50);
        }
        return pred();
    }

private:
    HWND dlg_ = nullptr;
    std::atomic<bool> ended_{false};
    std::atomic<LONG> init_{-1};
    std::atomic<LONG> result_{-1};
    std::thread thread_;
};
