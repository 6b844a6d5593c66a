// UTF-8 from outside (names, registry text) into the platform's UTF-16:
// what is not a character becomes U+FFFD, never some other character.
#include "common/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, Utf8ThatIsNoCharacterBecomesReplacement)
{
    struct Case {
        const char *utf8;
        std::u16string utf16;
    } cases[] = {
        {"a\xC3\xA9z", u"a\u00E9z"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},           // a surrogate pair
        {"\xC0\xAF", u"\uFFFD"},                         // overlong '/'
        {"\xE0\x80\xAF", u"\uFFFD"},                     // overlong '/'
        {"\xED\xA0\x80", u"\uFFFD"},                     // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD"},                 // past U+10FFFF
        {"\xFF" "a", u"\uFFFDa"},                        // no lead byte
        {"\xC3" "a", u"\uFFFDa"},                        // cut short mid-text
        {"a\xE2\x82", u"a\uFFFD"},                       // cut short at the end
    };
    for (const Case &c : cases)
        EXPECT_EQ(text::to_utf16(c.utf8), c.utf16) << c.utf8;
}

}  // namespace
