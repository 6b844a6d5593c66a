// The show line, which the host's Control Panel and the Windows driver of
// the same scripts both print: their transcripts are compared byte for byte.
#include "show_line.h"

#include <gtest/gtest.h>

namespace {

TEST(ShowLine, QuotesTheTextSoEveryLineReadsBackAlike)
{
    EXPECT_EQ(cpl::show_line(1000, "checkbox", "Port 1", cpl::show_checked(true)),
              "1000 checkbox \"Port 1\" checked=1");
    EXPECT_EQ(cpl::show_line(7, "button", "say \"hi\"", ""), "7 button \"say \\\"hi\\\"\"");
    EXPECT_EQ(cpl::show_line(7, "static", "C:\\board", ""), "7 static \"C:\\\\board\"");
    EXPECT_EQ(cpl::show_line(7, "static", "two\nlines", ""), "7 static \"two\\nlines\"");
    // UTF-8 passes through untouched.
    EXPECT_EQ(cpl::show_line(7, "static", "\xc2\xb0" "C", ""), "7 static \"\xc2\xb0" "C\"");
}

TEST(ShowLine, StaticWithoutAnIdAndTheStates)
{
    // A template keeps ids in 16 bits: -1 arrives as 0xFFFF, a real id stays.
    EXPECT_EQ(cpl::show_line(0xFFFF, "static", "pwm 0", ""), "-1 static \"pwm 0\"");
    EXPECT_EQ(cpl::show_line(0xFFFE, "static", "", ""), "65534 static \"\"");
    EXPECT_EQ(cpl::show_line(1010, "radio", "", cpl::show_checked(false)),
              "1010 radio \"\" checked=0");
    EXPECT_EQ(cpl::show_line(1005, "scrollbar", "", cpl::show_scroll(-3, -10, 1023, 10)),
              "1005 scrollbar \"\" pos=-3 min=-10 max=1023 page=10");
}

}  // namespace
