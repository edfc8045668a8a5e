// UTF-16 to UTF-8 conversion: each case is an input, an output size, the expected result
// and the expected bytes including the terminator; nothing is written past the size.
#include "platform/utf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct utf_case {
    const char* what;
    std::u16string input; // without the terminator
    std::size_t out_size;
    std::size_t result;
    std::string bytes; // what lies in the buffer, the terminator included
};

const std::vector<utf_case> cases = {
    {"ascii fits exactly", u"A", 2, 1, std::string("A\0", 2)},
    {"ascii without room for the terminator", u"A", 1, 0, std::string("\0", 1)},
    {"empty input", u"", 8, 0, std::string("\0", 1)},
    {"two bytes", u"\u00E9", 3, 2, std::string("\xC3\xA9\0", 3)},
    {"three bytes", u"\u20AC", 4, 3, std::string("\xE2\x82\xAC\0", 4)},
    {"surrogate pair", std::u16string{char16_t(0xDBFF), char16_t(0xDFFF)}, 5, 4,
     std::string("\xF4\x8F\xBF\xBF\0", 5)},
    {"high surrogate before another unit", std::u16string{char16_t(0xD800), u'A'}, 6, 5,
     std::string("\xF0\x90\x80\x80"
                 "A\0",
                 6)},
    {"lone low surrogate dropped", std::u16string{char16_t(0xDC00), u'A'}, 8, 1,
     std::string("A\0", 2)},
    {"high surrogate before the end dropped", std::u16string{u'A', char16_t(0xD800)}, 8, 1,
     std::string("A\0", 2)},
    {"two-byte character ending at the last byte", u"A\u00E9", 3, 0, std::string("A\0", 2)},
    {"three-byte character without room", u"\u20AC", 3, 0, std::string("\0", 1)},
    {"four-byte character without room", std::u16string{char16_t(0xD83D), char16_t(0xDE00)}, 4, 0,
     std::string("\0", 1)},
    {"cut after a full prefix", u"abcdef", 4, 0, std::string("abc\0", 4)},
    {"noncharacters converted as any other", u"\uFFFF", 4, 3, std::string("\xEF\xBF\xBF\0", 4)},
    {"boundary 0x7F and 0x80", u"\u007F\u0080", 4, 3, std::string("\x7F\xC2\x80\0", 4)},
    {"boundary 0x7FF and 0x800", u"\u07FF\u0800", 6, 5, std::string("\xDF\xBF\xE0\xA0\x80\0", 6)},
};

TEST(utf16_to_utf8, converts_each_case_within_the_bound) {
    for (const utf_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::u16string in = c.input;
        std::vector<char> buffer(c.out_size + 8, char(0x5A)); // 0x5A marks untouched bytes
        std::size_t result = utf16_to_utf8(buffer.data(), c.out_size, in.c_str());
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(std::string(buffer.data(), c.bytes.size()), c.bytes);
        for (std::size_t i = c.out_size; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], char(0x5A)) << "written past the size at " << i;
    }
}

TEST(utf16_to_utf8, null_arguments_write_nothing) {
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(utf16_to_utf8(nullptr, 4, u"A"), 0u);
    EXPECT_EQ(utf16_to_utf8(buffer, 4, nullptr), 0u);
    EXPECT_EQ(std::memcmp(buffer, "xxxx", 4), 0);
}

} // namespace
