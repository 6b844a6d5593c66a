// The Value Change Dump writer of 'board record' over made-up events: what
// a viewer would draw from its output.
#include "vcd.h"
#include "vcd_reader.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using test_support::parse_vcd;
using test_support::VcdFile;
using Times = std::vector<uint64_t>;

constexpr uint64_t T0 = 5000000000ull;  // the capture's start, CLOCK_MONOTONIC
constexpr uint64_t us = 1000;

board::Status fresh()
{
    board::Status st{};
    st.plugged = st.powered = true;
    for (board::Pin &p : st.pins)
        p = board::Pin{1, -1, false};
    return st;
}

board::Event pin(uint64_t t, int which, int level)
{
    board::Event e{};
    e.time = T0 + t;
    e.kind = board::EventKind::Pin;
    e.which = which;
    e.level = level;
    return e;
}

board::Event pwm(uint64_t t, int c, uint32_t running, uint32_t cr, uint32_t dcr, uint32_t pcr)
{
    board::Event e{};
    e.time = T0 + t;
    e.kind = board::EventKind::Pwm;
    e.which = c;
    e.pwm = board::Pwm{running, cr, dcr, pcr};
    return e;
}

board::Event other(uint64_t t, board::EventKind k, int level = 0)
{
    board::Event e{};
    e.time = T0 + t;
    e.kind = k;
    e.which = -1;
    e.level = level;
    e.pid = 4242;
    return e;
}

struct Capture {
    vcd::Options opt;
    std::string text;
    std::vector<size_t> chunks;
    std::unique_ptr<vcd::Writer> w;

    explicit Capture(std::vector<int> pins = {3, 5}, bool logic_only = false, uint64_t unit = 1,
                     const board::Status &st = fresh())
    {
        opt.pins = pins;
        opt.logic_only = logic_only;
        opt.unit_ns = unit;
        opt.date = "today";
        opt.version = "test";
        opt.comment = "a test board";
        w.reset(new vcd::Writer(opt, st, T0, [this](const std::string &s) {
            text += s;
            chunks.push_back(s.size());
        }));
    }
    VcdFile end(uint64_t t)
    {
        w->finish(T0 + t);
        VcdFile f = parse_vcd(text, true);
        EXPECT_EQ(f.error, "") << text;
        return f;
    }
};

TEST(VcdWriter, InitialValuesThenOnlyVisibleChanges)
{
    board::Status st = fresh();
    st.pins[3].external = 0;
    st.pwm[1] = board::Pwm{0, 7, 100, 200};
    Capture c({3, 5}, false, 1, st);
    board::Event before = pin(0, 5, 0);  // stamped before the start: initial
    before.time = T0 - 10;
    c.w->event(before);
    c.w->event(pin(100, 5, 1));
    c.w->event(pin(150, 5, 1));  // no change
    c.w->event(pin(160, 7, 0));  // a pin without a wire
    c.w->event(pin(200, 3, 1));
    c.w->event(other(300, board::EventKind::Power, 0));
    c.w->event(other(400, board::EventKind::Device, 0));
    c.w->event(other(450, board::EventKind::Read, 1));
    VcdFile f = c.end(1000);
    EXPECT_EQ(f.timescale, "1ns");
    EXPECT_EQ(f.width.size(), 2u + 2 * 6 + 2);
    EXPECT_EQ(f.width.count("pin7"), 0u);
    EXPECT_EQ(f.width["pwm0_cr"], 6);
    EXPECT_EQ(f.width["pwm0_pcr"], 10);
    EXPECT_EQ(f.at("pin3", 0), "0");
    EXPECT_EQ(f.at("pin5", 0), "0");
    EXPECT_EQ(f.at("pwm1_cr", 0), "000111");
    EXPECT_EQ(f.at("pwm1_dcr", 0), "0001100100");
    EXPECT_EQ(f.changes["pin5"].size(), 2u);
    EXPECT_EQ(f.edges("pin5", "1"), Times{100});
    EXPECT_EQ(f.edges("pin3", "1"), Times{200});
    EXPECT_EQ(f.edges("power", "0"), Times{300});
    EXPECT_EQ(f.edges("present", "0"), Times{400});
    EXPECT_EQ(f.timestamps_text, (std::vector<std::string>{"#0", "#100", "#200", "#300", "#400", "#1000"}));
    EXPECT_EQ(c.w->counts().events, 8u);
    EXPECT_EQ(c.w->counts().clamped, 0u);
    EXPECT_EQ(c.w->counts().changes, 4u);
}

TEST(VcdWriter, PwmOutputFollowsTheTimer)
{
    // Tick (0+1) us, period 100 ticks, high 25: from the start at 1 us.
    Capture c;
    c.w->event(pwm(1 * us, 0, 1, 0, 25, 99));
    // Channel 1: tick 2 us, period 20 ticks (40 us), high 5 (10 us).
    c.w->event(pwm(10 * us, 1, 1, 1, 5, 19));
    c.w->event(pin(55 * us, 3, 0));
    VcdFile f = c.end(130 * us);
    EXPECT_EQ(f.edges("pwm0_out", "1"), (Times{1 * us, 101 * us}));
    EXPECT_EQ(f.edges("pwm0_out", "0"), (Times{26 * us, 126 * us}));
    EXPECT_EQ(f.edges("pwm1_out", "1"), (Times{10 * us, 50 * us, 90 * us, 130 * us}));
    EXPECT_EQ(f.edges("pwm1_out", "0"), (Times{20 * us, 60 * us, 100 * us}));
    EXPECT_EQ(f.edges("pin3", "0"), Times{55 * us});
    EXPECT_EQ(f.at("pwm0_running", 0), "0");
    EXPECT_EQ(f.at("pwm0_running", 1 * us), "1");
    EXPECT_EQ(f.at("pwm0_dcr", 1 * us), "0000011001");
}

TEST(VcdWriter, LevelsThatStayAndPeriodsTooShortToDraw)
{
    Capture c;
    c.w->event(pwm(10 * us, 0, 1, 0, 0, 99));     // dcr 0: low
    c.w->event(pwm(20 * us, 0, 1, 0, 100, 99));   // dcr = pcr+1: high
    c.w->event(pwm(30 * us, 0, 1, 0, 500, 99));   // dcr > pcr: high
    c.w->event(pwm(40 * us, 0, 1, 0, 5, 9));      // 10 us period: x
    c.w->event(pwm(60 * us, 0, 1, 0, 5, 19));     // 20 us: drawn, from here
    c.w->event(pwm(90 * us, 0, 0, 0, 5, 19));     // stopped: low
    c.w->event(pwm(95 * us, 1, 0, 0, 5, 19));     // registers of a stopped channel
    VcdFile f = c.end(200 * us);
    const auto &out = f.changes["pwm0_out"];
    std::vector<std::pair<uint64_t, std::string>> want = {
        {0, "0"}, {20 * us, "1"}, {40 * us, "x"}, {60 * us, "1"}, {65 * us, "0"},
        {80 * us, "1"}, {85 * us, "0"}};
    EXPECT_EQ(out, want);
    // Where out is x, the wire that says so is 1: no reader takes it for low.
    std::vector<std::pair<uint64_t, std::string>> fast = {{0, "0"}, {40 * us, "1"}, {60 * us, "0"}};
    EXPECT_EQ(f.changes["pwm0_too_fast"], fast);
    EXPECT_EQ(f.changes["pwm1_out"].size(), 1u);
    EXPECT_EQ(f.at("pwm1_pcr", 95 * us), "0000010011");
}

TEST(VcdWriter, NewRegistersBeginANewPeriod)
{
    Capture c;
    c.w->event(pwm(10 * us, 0, 1, 0, 25, 99));
    c.w->event(pwm(40 * us, 0, 1, 0, 50, 99));   // in the low part
    c.w->event(pwm(120 * us, 0, 1, 0, 50, 99));  // the same: nothing new
    VcdFile f = c.end(200 * us);
    EXPECT_EQ(f.edges("pwm0_out", "1"), (Times{10 * us, 40 * us, 140 * us}));
    EXPECT_EQ(f.edges("pwm0_out", "0"), (Times{35 * us, 90 * us, 190 * us}));
}

TEST(VcdWriter, ALateEventIsPutAfterWhatWasWrittenWithANote)
{
    Capture c;
    c.w->event(pin(500, 3, 0));
    c.w->event(pin(300, 5, 0));
    VcdFile f = c.end(1000);
    EXPECT_EQ(f.edges("pin5", "0"), Times{500});
    ASSERT_EQ(f.notes.size(), 2u);
    EXPECT_EQ(f.notes[0].first, 500u);
    EXPECT_NE(f.notes[0].second.find("200 ns before what was already written"), std::string::npos);
    EXPECT_EQ(c.w->counts().clamped, 1u);
}

TEST(VcdWriter, MissedEventsAreNotedAndTheWiresReadAgain)
{
    Capture c;
    c.w->missed(3, T0 + 700);
    board::Status st = fresh();
    st.pins[5].driven = 0;
    st.pwm[0] = board::Pwm{1, 0, 25, 99};
    EXPECT_TRUE(c.w->resync(st, T0 + 800));
    EXPECT_FALSE(c.w->resync(st, T0 + 900));
    VcdFile f = c.end(100 * us);
    ASSERT_EQ(f.notes.size(), 3u);
    EXPECT_EQ(f.notes[0], (std::pair<uint64_t, std::string>{700, "3 events missed here (the recording fell behind)"}));
    EXPECT_EQ(f.notes[1].first, 800u);
    EXPECT_EQ(f.edges("pin5", "0"), Times{800});
    EXPECT_EQ(f.edges("pwm0_out", "1"), Times{800});
    EXPECT_EQ(f.edges("pwm0_out", "0"), Times{25 * us + 800});
    EXPECT_EQ(c.w->counts().missed, 3u);
}

TEST(VcdWriter, LogicOnlyHasOnlyBitsAndNoCommentAmongTheValues)
{
    Capture c({3}, true, 1000);
    c.w->event(pwm(1 * us, 0, 1, 0, 25, 99));
    c.w->event(pin(1500, 3, 0));  // 1.5 us: #1
    c.w->missed(2, T0 + 40 * us);
    c.w->event(other(41 * us, board::EventKind::FaultArmed));
    VcdFile f = c.end(150 * us);
    for (const auto &w : f.width)
        EXPECT_EQ(w.second, 1) << w.first;
    EXPECT_EQ(f.width.count("pwm0_out"), 1u);
    EXPECT_EQ(f.timescale, "1us");
    EXPECT_EQ(f.edges("pin3", "0"), Times{1});
    EXPECT_EQ(f.edges("pwm0_out", "0"), (Times{26, 126}));
    // Every note after the last timestamp, with the time it is about.
    std::string body = c.text.substr(c.text.find("$enddefinitions"));
    EXPECT_GT(body.find("$comment"), body.rfind("\n#"));
    ASSERT_EQ(f.notes.size(), 3u);
    EXPECT_EQ(f.notes[0].second, "at #40: 2 events missed here (the recording fell behind)");
    EXPECT_EQ(f.notes[1].second, "at #41: fault armed: the next request raises a fault");
}

TEST(VcdWriter, ACoarseTimescaleDrawsWhatItCannotShowAsX)
{
    Capture c(std::vector<int>{}, false, 1000000);
    c.w->event(pwm(0, 0, 1, 16, 256, 512));   // 17 us ticks: 4.352 ms high of 8.721 ms
    c.w->event(pwm(0, 1, 1, 16, 1, 512));     // 17 us high: within one unit
    VcdFile f = c.end(20000 * us);
    EXPECT_EQ(f.edges("pwm0_out", "0"), (Times{4, 13}));
    EXPECT_EQ(f.edges("pwm0_out", "1"), (Times{8, 17}));
    EXPECT_EQ(f.at("pwm1_out", 5), "x");
}

TEST(VcdWriter, ResetGivesTheFreshBoard)
{
    board::Status st = fresh();
    st.pins[3].driven = 0;
    st.powered = false;
    st.pwm[0] = board::Pwm{1, 0, 25, 99};
    Capture c({3}, false, 1, st);
    c.w->event(other(30 * us, board::EventKind::Reset));
    VcdFile f = c.end(100 * us);
    EXPECT_EQ(f.edges("pin3", "1"), Times{30 * us});
    EXPECT_EQ(f.edges("power", "1"), Times{30 * us});
    EXPECT_EQ(f.at("pwm0_running", 30 * us), "0");
    EXPECT_EQ(f.at("pwm0_out", 99 * us), "0");
    ASSERT_EQ(f.notes.size(), 2u);  // and the closing one
    EXPECT_EQ(f.notes[0], (std::pair<uint64_t, std::string>{30 * us, "board reset"}));
}

TEST(VcdWriter, StreamsALongCaptureInBoundedPieces)
{
    Capture c(std::vector<int>{});
    c.w->event(pwm(0, 0, 1, 0, 10, 19));  // 20 us: 100,000 edges a second
    for (uint64_t t = 0; t <= 1000000000; t += 10000000)
        c.w->advance(T0 + t);
    VcdFile f = c.end(1000000000);
    EXPECT_EQ(f.edges("pwm0_out", "1").size(), 50000u);
    EXPECT_GT(c.chunks.size(), 10u);
    for (size_t n : c.chunks)
        EXPECT_LT(n, vcd::kChunk + 256);
}

TEST(VcdWriter, WhatTheHeaderQuotesCannotEndItEarly)
{
    Capture c;
    c.opt.comment = "board /tmp/$end\n#5 1!\x01";
    c.text.clear();
    c.w.reset(new vcd::Writer(c.opt, fresh(), T0, [&c](const std::string &s) { c.text += s; }));
    VcdFile f = c.end(10);
    EXPECT_EQ(f.timestamps_text, (std::vector<std::string>{"#0", "#10"}));
    EXPECT_NE(c.text.find("board /tmp/\\x24end\\n#5 1!\\x01"), std::string::npos);
}

// A pin's name is its wire's, unless it would pass for another wire of the
// board: then the pin keeps its number.
TEST(VcdWriter, NamedPinsAreWiresOfThatName)
{
    EXPECT_EQ(vcd::pin_wire_name(5, "led"), "led");
    EXPECT_EQ(vcd::pin_wire_name(5, ""), "pin5");
    for (const char *taken : {"power", "present", "pin7", "pwm0_out", "pwm1"})
        EXPECT_EQ(vcd::pin_wire_name(5, taken), "pin5") << taken;
    EXPECT_EQ(vcd::pin_wire_name(5, "pins"), "pins");  // no number: no wire of the board's
    EXPECT_EQ(vcd::pin_wire_name(5, "pwm_a"), "pwm_a");

    Capture c;
    c.opt.pin_names.assign(board::kPins, "");
    c.opt.pin_names[5] = "led";
    c.opt.pin_names[3] = "power";  // a board wire's name: stays pin3
    c.text.clear();
    c.w.reset(new vcd::Writer(c.opt, fresh(), T0, [&c](const std::string &s) { c.text += s; }));
    c.w->event(pin(100, 5, 1));
    VcdFile f = c.end(200);
    EXPECT_EQ(f.width.count("led"), 1u);
    EXPECT_EQ(f.width.count("pin5"), 0u);
    EXPECT_EQ(f.width.count("pin3"), 1u);
    EXPECT_EQ(f.at("led", 100), "1");
}

}  // namespace
