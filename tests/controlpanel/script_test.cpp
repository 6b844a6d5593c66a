// The script language: what each line means and why a bad line is refused.
#include "script.h"

#include "ce_host.h"

#include <gtest/gtest.h>

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
    script::Command c = parsed("open Pinvane");
    EXPECT_EQ(c.op, Op::Open);
    EXPECT_EQ(c.name, "Pinvane");
    EXPECT_EQ(parsed("  open   PWM Test two  # a name with blanks").name, "PWM Test two");

    c = parsed("click 1002");
    EXPECT_EQ(c.op, Op::Click);
    EXPECT_EQ(c.id, 1002);
    EXPECT_EQ(parsed("click -1").id, -1);

    EXPECT_EQ(parsed("key enter").value, static_cast<int>(script::Key::Enter));
    EXPECT_EQ(parsed("key escape").value, static_cast<int>(script::Key::Escape));
    EXPECT_EQ(parsed("key tab").value, static_cast<int>(script::Key::Tab));

    const std::pair<const char *, int> codes[] = {
        {"lineleft", SB_LINELEFT}, {"lineright", SB_LINERIGHT}, {"pageleft", SB_PAGELEFT},
        {"pageright", SB_PAGERIGHT}, {"left", SB_LEFT}, {"right", SB_RIGHT},
        {"endscroll", SB_ENDSCROLL}};
    for (const auto &code : codes) {
        c = parsed(std::string("scroll 1005 ") + code.first);
        EXPECT_EQ(c.op, Op::Scroll);
        EXPECT_EQ(c.id, 1005);
        EXPECT_EQ(c.value, code.second) << code.first;
    }

    c = parsed("drag 1001 2000");
    EXPECT_EQ(c.op, Op::Drag);
    EXPECT_EQ(c.id, 1001);
    EXPECT_EQ(c.value, 2000);

    c = parsed("pin 3 0");
    EXPECT_EQ(c.op, Op::Pin);
    EXPECT_EQ(c.id, 3);
    EXPECT_EQ(c.value, 0);
    EXPECT_EQ(parsed("pin 9 1").value, 1);
    EXPECT_EQ(parsed("pin 1 release").value, -1);

    EXPECT_EQ(parsed("wait 250").value, 250);
    EXPECT_EQ(parsed("ok").op, Op::Ok);
    EXPECT_EQ(parsed("close").op, Op::Close);
    EXPECT_EQ(parsed("show\t# print it").op, Op::Show);
    EXPECT_EQ(parsed("quit").op, Op::Quit);
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

}  // namespace
