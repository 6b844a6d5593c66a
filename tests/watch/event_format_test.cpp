// The board's events as lines: what each kind says, which ones a filter
// lets through, and formats of the user's.
#include "event_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

using board::Cause;
using board::Event;
using board::EventKind;

Event pin_event(int pin, int before, int level, Cause cause = Cause::Request, EventKind kind = EventKind::Pin)
{
    Event e{};
    e.time = 1234567890123ull;
    e.lane = 3;
    e.seq = 17;
    e.kind = kind;
    e.cause = cause;
    e.pid = 4242;
    e.which = pin;
    e.level = level;
    e.before = before;
    return e;
}

Event board_event(EventKind kind, int level = 0, Cause cause = Cause::Outside)
{
    Event e = pin_event(-1, 0, level, cause, kind);
    e.pid = 77;
    return e;
}

Event pwm_event(board::Pwm before, board::Pwm now)
{
    Event e = board_event(EventKind::Pwm, 0, Cause::Request);
    e.which = 1;
    e.pwm_before = before;
    e.pwm = now;
    return e;
}

TEST(EventFormat, PlainLinesSayWhatHappenedInAFixedOrder)
{
    watch::Shown plain;
    EXPECT_EQ(watch::plain_line(pin_event(5, 0, 1), plain), "1234.567890123 pin 5 rising request pid=4242");
    EXPECT_EQ(watch::plain_line(pin_event(5, 1, 0, Cause::Outside), plain),
              "1234.567890123 pin 5 falling outside pid=4242");
    EXPECT_EQ(watch::plain_line(pin_event(3, 1, 1, Cause::Request, EventKind::Read), plain),
              "1234.567890123 pin 3 read 1 request pid=4242");
    EXPECT_EQ(watch::describe(pin_event(3, 0, 0, Cause::Request, EventKind::Write), false), "pin 3 write 0");

    EXPECT_EQ(watch::describe(pwm_event({0, 0, 0, 0}, {1, 16, 256, 512}), false),
              "pwm 1 start cr=16 dcr=256 pcr=512 running");
    EXPECT_EQ(watch::plain_line(pwm_event({1, 16, 256, 512}, {1, 16, 128, 512}), plain),
              "1234.567890123 pwm 1 set cr=16 dcr=128 pcr=512 running request pid=77");
    EXPECT_EQ(watch::describe(pwm_event({1, 16, 256, 512}, {0, 16, 256, 512}), false),
              "pwm 1 stop cr=16 dcr=256 pcr=512 stopped");
    EXPECT_EQ(watch::describe(pwm_event({0, 0, 0, 0}, {0, 63, 1023, 1023}), false),
              "pwm 1 set cr=63 dcr=1023 pcr=1023 stopped");

    EXPECT_EQ(watch::plain_line(board_event(EventKind::Power, 0), plain), "1234.567890123 power off outside pid=77");
    EXPECT_EQ(watch::plain_line(board_event(EventKind::FaultRaised, 0, Cause::Request), plain),
              "1234.567890123 fault raised request pid=77");
    EXPECT_EQ(watch::describe(board_event(EventKind::Reset), false), "reset");
}

TEST(EventFormat, TimesKeepEveryNanosecondAndShiftToTheWallClock)
{
    EXPECT_EQ(watch::clock_text(0), "0.000000000");
    EXPECT_EQ(watch::clock_text(1000000001ull), "1.000000001");
    EXPECT_EQ(watch::clock_text(18446744073709551615ull), "18446744073.709551615");
    watch::Shown wall;
    wall.shift = 1700000000ll * 1000000000ll - 1234000000000ll;  // the wall clock read 1700000000 at 1234 s
    EXPECT_EQ(watch::plain_line(pin_event(5, 0, 1), wall), "1700000000.567890123 pin 5 rising request pid=4242");
    wall.shift = -1234000000000ll;
    EXPECT_EQ(watch::plain_line(pin_event(5, 0, 1), wall).substr(0, 12), "0.567890123 ");

    EXPECT_EQ(watch::relative_text(0), "0.000s");
    EXPECT_EQ(watch::relative_text(-50000000), "-0.050s");
    EXPECT_EQ(watch::relative_text(-1499999), "-0.001s");
    EXPECT_EQ(watch::relative_text(-1500000), "-0.002s");
    EXPECT_EQ(watch::relative_text(-400000), "0.000s");  // no "-0.000s"
    EXPECT_EQ(watch::relative_text(-12345678901), "-12.346s");

    EXPECT_EQ(watch::missed_line(1), "missed 1 event");
}

// Active-low pins read 1 when low: the edges turn round with the levels,
// and the filter chooses by the edges as shown.
TEST(EventFormat, ActiveLowTurnsPinLevelsAndEdgesRoundButNotPower)
{
    EXPECT_EQ(watch::describe(pin_event(5, 0, 1), true), "pin 5 falling");
    EXPECT_EQ(watch::describe(pin_event(5, 1, 0), true), "pin 5 rising");
    EXPECT_EQ(watch::describe(pin_event(3, 1, 1, Cause::Request, EventKind::Read), true), "pin 3 read 0");
    EXPECT_EQ(watch::describe(pin_event(3, 1, 0, Cause::Request, EventKind::Write), true), "pin 3 write 1");
    EXPECT_EQ(watch::describe(board_event(EventKind::Power, 1), true), "power on");
    // A level the board reported unchanged is no edge either way.
    EXPECT_EQ(watch::describe(pin_event(4, 1, 1), false), "pin 4 level 1");
    EXPECT_STREQ(watch::edge_name(pin_event(4, 1, 1), true), "-");

    watch::Filter rising;
    rising.edges = watch::Edges::Rising;
    EXPECT_TRUE(watch::shows(rising, pin_event(5, 0, 1)));
    EXPECT_FALSE(watch::shows(rising, pin_event(5, 1, 0)));
    EXPECT_FALSE(watch::shows(rising, pin_event(5, 1, 1)));
    rising.active_low = true;
    EXPECT_FALSE(watch::shows(rising, pin_event(5, 0, 1)));
    EXPECT_TRUE(watch::shows(rising, pin_event(5, 1, 0)));
    watch::Filter falling;
    falling.edges = watch::Edges::Falling;
    EXPECT_TRUE(watch::shows(falling, pin_event(5, 1, 0)));
    EXPECT_FALSE(watch::shows(falling, pin_event(5, 0, 1)));
}

TEST(EventFormat, FiltersChoosePinsButAlwaysShowTheWholeBoard)
{
    watch::Filter f;
    for (bool &p : f.pins)
        p = false;
    f.pins[5] = true;
    f.pins[63] = true;
    f.edges = watch::Edges::Falling;
    EXPECT_TRUE(watch::shows(f, pin_event(5, 1, 0)));
    EXPECT_TRUE(watch::shows(f, pin_event(63, 1, 0)));
    EXPECT_FALSE(watch::shows(f, pin_event(6, 1, 0)));
    EXPECT_FALSE(watch::shows(f, pin_event(0, 1, 0)));
    EXPECT_FALSE(watch::shows(f, pin_event(64, 1, 0)));   // no such pin
    EXPECT_FALSE(watch::shows(f, pin_event(-1, 1, 0)));
    for (EventKind k : {EventKind::Pwm, EventKind::Power, EventKind::Device, EventKind::FaultArmed,
                        EventKind::FaultRaised, EventKind::Reset})
        EXPECT_TRUE(watch::shows(f, board_event(k))) << board::kind_name(k);

    // Reads and writes that changed nothing (another reader may have asked
    // for them) show only when asked for, for the pins chosen, whatever the
    // edges.
    Event read = pin_event(5, 1, 1, Cause::Request, EventKind::Read);
    Event write = pin_event(5, 0, 0, Cause::Request, EventKind::Write);
    EXPECT_FALSE(watch::shows(f, read));
    EXPECT_FALSE(watch::shows(f, write));
    f.requests = true;
    EXPECT_TRUE(watch::shows(f, read));
    EXPECT_TRUE(watch::shows(f, write));
    read.which = 6;
    EXPECT_FALSE(watch::shows(f, read));
}

TEST(EventFormat, FormatsWriteEveryFieldAndRefuseUnknownSpecifiers)
{
    watch::Format f;
    std::string error;
    ASSERT_TRUE(f.compile("[%t|%i|%k|%o|%v|%E|%C|%P|%d|%%]", &error)) << error;
    watch::Shown plain;
    EXPECT_EQ(f.render(pin_event(5, 0, 1), plain),
              "[1234.567890123|3.17|pin|5|1|rising|request|4242|pin 5 rising|%]");
    watch::Shown low;
    low.active_low = true;
    EXPECT_EQ(f.render(pin_event(5, 0, 1), low), "[1234.567890123|3.17|pin|5|0|falling|request|4242|pin 5 falling|%]");
    EXPECT_EQ(f.render(board_event(EventKind::Device, 1), low),
              "[1234.567890123|3.17|device|-|1|-|outside|77|device plugged|%]");
    EXPECT_EQ(f.render(board_event(EventKind::FaultArmed), plain),
              "[1234.567890123|3.17|fault-armed|-|-|-|outside|77|fault armed|%]");
    EXPECT_EQ(f.render(pwm_event({0, 0, 0, 0}, {1, 1, 2, 3}), plain).substr(0, 40),
              "[1234.567890123|3.17|pwm|1|-|-|request|7");

    // Events lost are a line of the format too, with what such a report has.
    EXPECT_EQ(f.render_missed(120, 1234567890123ull, plain),
              "[1234.567890123|-|missed|-|120|-|-|-|missed 120 events|%]");
    ASSERT_TRUE(f.compile("%o %e %s.%n %l", &error)) << error;
    watch::Shown utc;
    utc.clock = watch::Clock::Utc;
    utc.shift = 1772366400000000000ll;  // 2026-03-01T12:00:00Z
    EXPECT_EQ(f.render_missed(1, 1, utc), "- - 1772366400.000000001 -");
    ASSERT_TRUE(f.compile("%t %d", &error)) << error;
    EXPECT_EQ(f.render_missed(1, 1, utc), "2026-03-01T12:00:00.000000001Z missed 1 event");

    ASSERT_TRUE(f.compile("", &error));
    EXPECT_EQ(f.render(pin_event(5, 0, 1), plain), "");
    ASSERT_TRUE(f.compile("100%% %o", &error));
    EXPECT_EQ(f.render(pin_event(5, 0, 1), plain), "100% 5");

    EXPECT_FALSE(f.compile("%t %x", &error));
    EXPECT_EQ(error, "unknown specifier %x in the format");
    EXPECT_FALSE(f.compile("%\n", &error));
    EXPECT_EQ(error, "unknown specifier %\\x0A in the format");
    EXPECT_FALSE(f.compile("%t %", &error));
    EXPECT_NE(error.find("lone '%'"), std::string::npos) << error;
}

// Where the common line-monitor conventions have a letter it means the
// same: %o the pin, %e the edge as 1 or 0, %s and %n the time's seconds and
// nanoseconds, so that "%s.%n" is the time %t writes.
TEST(EventFormat, SharedLettersMeanWhatMonitorsMeanByThem)
{
    watch::Format f;
    std::string error;
    ASSERT_TRUE(f.compile("%o %e %s.%n", &error)) << error;
    watch::Shown plain, low;
    low.active_low = true;
    EXPECT_EQ(f.render(pin_event(5, 0, 1), plain), "5 1 1234.567890123");
    EXPECT_EQ(f.render(pin_event(5, 0, 1), low), "5 0 1234.567890123");
    EXPECT_EQ(f.render(pin_event(5, 1, 0), plain), "5 0 1234.567890123");
    // No edge: a level unchanged, a read, the whole board.
    EXPECT_EQ(f.render(pin_event(5, 1, 1), plain), "5 - 1234.567890123");
    EXPECT_EQ(f.render(pin_event(5, 1, 1, Cause::Request, EventKind::Read), plain), "5 - 1234.567890123");
    EXPECT_EQ(f.render(board_event(EventKind::Power, 1), plain), "- - 1234.567890123");
    // Nanoseconds keep their leading zeros; the seconds follow the shift.
    Event early = pin_event(2, 0, 1);
    early.time = 7000000042ull;
    watch::Shown wall;
    wall.shift = 1700000000ll * 1000000000ll;
    EXPECT_EQ(f.render(early, plain), "2 1 7.000000042");
    EXPECT_EQ(f.render(early, wall), "2 1 1700000007.000000042");
    // The old letters that moved are refused, not taken for something else.
    for (const char *old : {"%p", "%c"})
        EXPECT_FALSE(f.compile(old, &error)) << old;
}

TEST(EventFormat, WallClockTimesInIso8601UtcAndLocal)
{
    EXPECT_EQ(watch::iso_text(0, true), "1970-01-01T00:00:00.000000000Z");
    EXPECT_EQ(watch::iso_text(1700000000ull * 1000000000ull + 1, true), "2023-11-14T22:13:20.000000001Z");
    const char *was = std::getenv("TZ");
    std::string saved = was ? was : "";
    setenv("TZ", "XYZ-05:30", 1);  // half an hour in the offset too
    tzset();
    EXPECT_EQ(watch::iso_text(1700000000ull * 1000000000ull, false), "2023-11-15T03:43:20.000000000+05:30");
    setenv("TZ", "XYZ+03", 1);
    tzset();
    EXPECT_EQ(watch::iso_text(1700000000ull * 1000000000ull, false), "2023-11-14T19:13:20.000000000-03:00");
    if (was)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();

    watch::Shown utc;
    utc.clock = watch::Clock::Utc;
    utc.shift = 1700000000ll * 1000000000ll - 1234000000000ll;
    EXPECT_EQ(watch::plain_line(pin_event(5, 0, 1), utc),
              "2023-11-14T22:13:20.567890123Z pin 5 rising request pid=4242");
    watch::Format f;
    std::string error;
    ASSERT_TRUE(f.compile("%t %s", &error));
    EXPECT_EQ(f.render(pin_event(5, 0, 1), utc), "2023-11-14T22:13:20.567890123Z 1700000000");
}

// A named pin's events carry its name: at the end of the plain line (the
// fields before keep their places) and as %l; other events have none.
TEST(EventFormat, NamedPinsCarryTheirNames)
{
    board::pin_names::Names names;
    names.of[5] = "led";
    watch::Shown how;
    how.names = &names;
    EXPECT_EQ(watch::plain_line(pin_event(5, 0, 1), how), "1234.567890123 pin 5 rising request pid=4242 name=led");
    EXPECT_EQ(watch::plain_line(pin_event(6, 0, 1), how), "1234.567890123 pin 6 rising request pid=4242");
    watch::Format f;
    std::string error;
    ASSERT_TRUE(f.compile("%l:%o", &error));
    EXPECT_EQ(f.render(pin_event(5, 1, 1, Cause::Request, EventKind::Write), how), "led:5");
    EXPECT_EQ(f.render(pin_event(6, 0, 1), how), "-:6");
    // Channel 5 of no PWM is no pin 5: a board event takes no pin's name.
    Event pwm = pwm_event({0, 0, 0, 0}, {1, 1, 2, 3});
    pwm.which = 5;
    EXPECT_EQ(f.render(pwm, how), "-:5");
    EXPECT_EQ(f.render(pin_event(5, 0, 1), watch::Shown()), "-:5");
}

}  // namespace
