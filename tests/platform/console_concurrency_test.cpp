// Console output from many threads at once, seen through a real pipe: every call's text
// arrives whole, wide and narrow calls on one stream both survive, nothing is lost.
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

namespace ts = testing_support;

namespace {

std::string long_utf8() {
    std::string s;
    for (int i = 0; i < 3000; ++i) s += "\xC3\xA9";
    return s;
}

TEST(console_race, every_call_arrives_whole_and_none_is_lost) {
    ts::child_process child = ts::start_child({ENTRY_PROBE_PATH, "race"});
    ASSERT_GT(child.pid, 0);
    ASSERT_EQ(ts::wait_child(child), 0);
    const std::string expected_long = long_utf8();
    std::map<std::string, int> kinds;
    std::istringstream out(child.out);
    std::string line;
    while (std::getline(out, line)) {
        // "Tnn iiii kind rest": each line is one call's text.
        ASSERT_GE(line.size(), 9u) << line.substr(0, 80);
        std::string kind = line.substr(9, line.find(' ', 9) - 9);
        std::string rest = line.substr(9 + kind.size() + 1);
        if (kind == "wide")
            EXPECT_EQ(rest, "\xD0\xB1\xD0\xB3");
        else if (kind == "narrow")
            EXPECT_EQ(rest, "text");
        else if (kind == "long")
            EXPECT_TRUE(rest == expected_long) << "a long line was split";
        else
            ADD_FAILURE() << "unexpected line " << line.substr(0, 80);
        ++kinds[kind];
    }
    EXPECT_EQ(kinds["wide"], 8 * 75);
    EXPECT_EQ(kinds["narrow"], 8 * 75);
    EXPECT_EQ(kinds["long"], 8 * 75);
    std::istringstream err(child.err);
    int errors = 0;
    while (std::getline(err, line)) {
        EXPECT_EQ(line.substr(8), " error") << line;
        ++errors;
    }
    EXPECT_EQ(errors, 8 * 75);
}

} // namespace
