// The script language: what each line means and why a bad line is refused.
#include "script.h"

#include "ce_host.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

script::Command parsed(const std::string &line)
{
    script::Command c;
    EXPECT_TRUE(script::parse(line, &c)) << line;
    return c;
}

std::string refusal(const std::string &line)
{
    script::Command c;
    try {
        script::parse(line, &c);
    } catch (const script::Error &e) {
        return e.message;
    }
    ADD_FAILURE() << "accepted: " << line;
    return "";
}

TEST(Script, ReadsEveryCommand)
{
    using script::Op;
    const int enter = static_cast<int>(script::Key::Enter), escape = static_cast<int>(script::Key::Escape),
              tab = static_cast<int>(script::Key::Tab);
    const struct {
        const char *line;
        Op op;
        int id, value;
    } cases[] = {
        {"click 1002", Op::Click, 1002, 0},          {"click -1", Op::Click, -1, 0},
        {"key enter", Op::Key, 0, enter},            {"key escape", Op::Key, 0, escape},
        {"key tab", Op::Key, 0, tab},                {"scroll 1005 lineleft", Op::Scroll, 1005, SB_LINELEFT},
        {"scroll 1005 lineright", Op::Scroll, 1005, SB_LINERIGHT},
        {"scroll 1005 pageleft", Op::Scroll, 1005, SB_PAGELEFT},
        {"scroll 1005 pageright", Op::Scroll, 1005, SB_PAGERIGHT},
        {"scroll 1005 left", Op::Scroll, 1005, SB_LEFT}, {"scroll 1005 right", Op::Scroll, 1005, SB_RIGHT},
        {"scroll 1005 endscroll", Op::Scroll, 1005, SB_ENDSCROLL},
        {"drag 1001 2000", Op::Drag, 1001, 2000},    {"pin 3 0", Op::Pin, 3, 0},
        {"pin 9 1", Op::Pin, 9, 1},                  {"pin 1 release", Op::Pin, 1, -1},
        {"wait 250", Op::Wait, 0, 250},              {"ok", Op::Ok, 0, 0},
        {"close", Op::Close, 0, 0},                  {"show\t# print it", Op::Show, 0, 0},
        {"quit", Op::Quit, 0, 0},
    };
    for (const auto &c : cases) {
        script::Command got = parsed(c.line);
        EXPECT_EQ(got.op, c.op) << c.line;
        EXPECT_EQ(got.id, c.id) << c.line;
        EXPECT_EQ(got.value, c.value) << c.line;
    }
    for (const char *a : script::kBoardActions) {
        script::Command got = parsed(std::string("board  ") + a + "  # a board line");
        EXPECT_EQ(got.op, Op::Board) << a;
        EXPECT_EQ(got.name, a);
    }
    EXPECT_EQ(parsed("open Pinvane").op, Op::Open);
    EXPECT_EQ(parsed("open Pinvane").name, "Pinvane");
    EXPECT_EQ(parsed("  open   PWM Test two  # a name with blanks").name, "PWM Test two");
}

TEST(Script, SkipsBlankAndCommentLines)
{
    script::Command c;
    EXPECT_FALSE(script::parse("", &c));
    EXPECT_FALSE(script::parse("   \t ", &c));
    EXPECT_FALSE(script::parse("# open Pinvane", &c));
    EXPECT_FALSE(script::parse("   # indented comment", &c));
    EXPECT_FALSE(script::parse("\r", &c));
}

TEST(Script, RefusesBadLinesSayingWhy)
{
    EXPECT_NE(refusal("frobnicate 3").find("unknown command 'frobnicate'"), std::string::npos);
    EXPECT_NE(refusal("open").find("open NAME"), std::string::npos);
    EXPECT_NE(refusal("board").find("board takes unplug, plug, fault"), std::string::npos);
    EXPECT_NE(refusal("board hold maybe").find("not 'hold maybe'"), std::string::npos);
    EXPECT_NE(refusal("click").find("click ID"), std::string::npos);
    EXPECT_NE(refusal("click 1 2").find("click ID"), std::string::npos);
    EXPECT_NE(refusal("click port3").find("'port3'"), std::string::npos);
    EXPECT_NE(refusal("click 12x").find("'12x'"), std::string::npos);
    EXPECT_NE(refusal("click 99999999999").find("'99999999999'"), std::string::npos);
    EXPECT_NE(refusal("key space").find("'space'"), std::string::npos);
    EXPECT_NE(refusal("scroll 1001 up").find("'up'"), std::string::npos);
    EXPECT_NE(refusal("scroll 1001").find("usage"), std::string::npos);
    EXPECT_NE(refusal("drag 1001").find("drag ID POS"), std::string::npos);
    EXPECT_NE(refusal("drag 1001 far").find("'far'"), std::string::npos);
    EXPECT_NE(refusal("pin 3 high").find("'high'"), std::string::npos);
    EXPECT_NE(refusal("pin 64 1").find("'64'"), std::string::npos);
    EXPECT_NE(refusal("pin -1 1").find("'-1'"), std::string::npos);
    EXPECT_NE(refusal("wait -5").find("'-5'"), std::string::npos);
    EXPECT_NE(refusal("wait").find("wait MS"), std::string::npos);
    EXPECT_NE(refusal("ok now").find("ok takes nothing"), std::string::npos);
    EXPECT_NE(refusal("quit 0").find("quit takes nothing"), std::string::npos);
    // Commands are lower case, as written.
    EXPECT_NE(refusal("OPEN Pinvane").find("unknown command"), std::string::npos);
}

// ---- a script run line after line (the host's and the Wine driver's) ----

TEST(Script, RunsTheLinesUntilQuitOrAStopAndSaysWhichLineStopped)
{
    std::vector<int> ran;
    auto run = [&](const std::string &text, int stop_at = 0) {
        std::istringstream in(text);
        testing::internal::CaptureStderr();
        int status = script::run_lines(in, "prog", "a.script", [&](const script::Command &c, int line) {
            ran.push_back(line);
            if (c.op == script::Op::Click && c.id == stop_at)
                throw script::Stop{1, "control " + std::to_string(c.id) + " is gone"};
        });
        return std::make_pair(status, testing::internal::GetCapturedStderr());
    };
    // Comments and blank lines are counted, not run; quit is run and ends it.
    EXPECT_EQ(run("# one\n\nclick 5\nquit\nclick 6\n"), std::make_pair(0, std::string()));
    EXPECT_EQ(ran, (std::vector<int>{3, 4}));
    ran.clear();
    EXPECT_EQ(run("click 1\nclick 2\nclick 3\n", 2),
              std::make_pair(1, std::string("prog: a.script:2: control 2 is gone\n")));
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    ran.clear();
    EXPECT_EQ(run("click 1\nfrob\nclick 3\n"),
              std::make_pair(2, std::string("prog: a.script:2: unknown command 'frob'\n")));
    EXPECT_EQ(ran, std::vector<int>{1});
    ran.clear();
    EXPECT_EQ(run("click 1\n" + std::string(script::kMaxLine + 1, 'x') + "\nclick 3\n").first, 2);
    EXPECT_EQ(ran, std::vector<int>{1});
}

// ---- what messages quote ----

TEST(Script, ExcerptsShowEveryByteAndNeverWorkTheTerminal)
{
    using script::excerpt;
    EXPECT_EQ(excerpt("Pinvane"), "Pinvane");
    EXPECT_EQ(excerpt("Pin\xc3\xa4 \xe2\x96\x80"), "Pin\xc3\xa4 \xe2\x96\x80");  // characters stay
    // A NUL is shown, not the end of the message; control bytes are escaped.
    EXPECT_EQ(excerpt(std::string("a\0b", 3)), "a\\0b");
    EXPECT_EQ(excerpt("\x1b[2J\x07\x7f"), "\\x1B[2J\\x07\\x7F");
    EXPECT_EQ(excerpt("a\tb\r\n"), "a\\tb\\r\\n");
    EXPECT_EQ(excerpt("\\Windows\\x"), "\\Windows\\x");  // device and registry paths stay readable
    // Bytes that are no UTF-8: a lone continuation, a sequence cut short,
    // an overlong form, a surrogate, past U+10FFFF.
    EXPECT_EQ(excerpt("\x80z"), "\\x80z");
    EXPECT_EQ(excerpt("\xe2\x96z"), "\\xE2\\x96z");
    EXPECT_EQ(excerpt("\xc0\xaf"), "\\xC0\\xAF");
    EXPECT_EQ(excerpt("\xed\xa0\x80"), "\\xED\\xA0\\x80");
    EXPECT_EQ(excerpt("\xf4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
    // Controls beyond ASCII and direction overrides.
    EXPECT_EQ(excerpt("\xc2\x9b" "1m"), "\\u{009B}1m");
    EXPECT_EQ(excerpt("abc\xe2\x80\xae" "fed"), "abc\\u{202E}fed");
}

TEST(Script, ExcerptsAreCutAtACharacterNotInsideOne)
{
    using script::excerpt;
    EXPECT_EQ(excerpt(std::string(script::kExcerpt, 'x')), std::string(script::kExcerpt, 'x'));
    EXPECT_EQ(excerpt(std::string(1000000, 'x')), std::string(script::kExcerpt, 'x') + "...");
    std::string wide;
    for (int i = 0; i < 50; ++i)
        wide += "\xe2\x96\x80";
    std::string kept;
    for (size_t i = 0; i < 5; ++i)
        kept += "\xe2\x96\x80";
    EXPECT_EQ(excerpt(wide, 5), kept + "...");
    // An escape counts as the one character (or byte) it stands for.
    EXPECT_EQ(excerpt(std::string(10, '\0'), 3), "\\0\\0\\0...");
}

TEST(Script, ReadsLinesOfAtMostTheLimit)
{
    using script::Read;
    std::string limit(script::kMaxLine, 'a');
    std::istringstream in("open Hemlark\r\n" + limit + "\n" + limit + "b\n");
    std::string line;
    EXPECT_EQ(script::read_line(in, &line), Read::Line);
    EXPECT_EQ(line, "open Hemlark\r");  // the parser takes the CR as a blank
    EXPECT_EQ(script::read_line(in, &line), Read::Line);
    EXPECT_EQ(line, limit);
    EXPECT_EQ(script::read_line(in, &line), Read::TooLong);
    EXPECT_EQ(line, limit);  // what was read of it, no more
    // The last line needs no line end, and a NUL does not cut it.
    std::string bytes("x\0y", 3);
    std::istringstream tail(bytes);
    EXPECT_EQ(script::read_line(tail, &line), Read::Line);
    EXPECT_EQ(line, bytes);
    EXPECT_EQ(script::read_line(tail, &line), Read::End);
    std::istringstream exact(limit);
    EXPECT_EQ(script::read_line(exact, &line), Read::Line);
    EXPECT_EQ(line, limit);
    EXPECT_EQ(script::read_line(exact, &line), Read::End);
}

}  // namespace
