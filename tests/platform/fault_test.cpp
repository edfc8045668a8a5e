// Fault injection: a named call fails after `skip` calls for `times` calls, other names are
// not touched, values stand in for real ones, and clearing disarms everything; an arming the
// table cannot keep fails the test instead of letting the call go through.
#include "platform/internal/fault.h"
#include "platform/win/hooks.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string pattern(const char* call, int calls) {
    std::string s;
    for (int i = 0; i < calls; ++i) {
        std::uint32_t code = 0;
        s += win::internal::fault_take(call, &code) ? std::to_string(code) : std::string("-");
    }
    return s;
}

TEST(faults, skip_and_times_shape_which_calls_fail) {
    const struct {
        std::uint32_t skip, times;
        const char* shape;
    } cases[] = {{0, 1, "7----"}, {2, 2, "--77-"}, {0, 0, "-----"}, {4, 9, "----7"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shape);
        win::fault_inject("CryptCreateHash", 7, c.skip, c.times);
        EXPECT_EQ(pattern("CryptCreateHash", 5), c.shape);
        EXPECT_EQ(pattern("CryptHashData", 2), "--") << "another name stays unarmed";
        win::fault_clear();
    }
}

TEST(faults, arming_again_replaces_and_clear_disarms_values_too) {
    win::fault_inject("socket", 1, 0, 5);
    win::fault_inject("socket", 2, 1, 1);
    EXPECT_EQ(pattern("socket", 3), "-2-");
    win::fault_value("GetLargePageMinimum", 4096);
    std::uint64_t value = 0;
    EXPECT_TRUE(win::internal::fault_value("GetLargePageMinimum", &value));
    EXPECT_EQ(value, 4096u);
    EXPECT_FALSE(win::internal::fault_value("AllocateUserPhysicalPages", &value));
    win::fault_clear();
    EXPECT_FALSE(win::internal::fault_value("GetLargePageMinimum", &value));
    EXPECT_EQ(pattern("socket", 2), "--");
    EXPECT_FALSE(win::internal::faults_armed.load());
}

// Arms `count` distinct calls (and, with value, one more value of its own).
void arm_distinct(int count, bool value) {
    for (int i = 0; i < count; ++i) win::fault_inject(("call_" + std::to_string(i)).c_str(), 7);
    if (value) win::fault_value("value_call", 1);
}

TEST(faults, the_table_holds_thirty_two_calls_and_an_arming_beyond_them_ends_the_process) {
    arm_distinct(32, false);
    win::fault_inject("call_0", 9); // arming an armed call again takes no new entry
    std::uint32_t code = 0;
    EXPECT_TRUE(win::internal::fault_take("call_31", &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(win::internal::fault_take("call_0", &code));
    EXPECT_EQ(code, 9u);
    win::fault_clear();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(arm_distinct(33, false), "cannot arm call_32: every entry of the table is armed");
    EXPECT_DEATH(arm_distinct(32, true), "cannot arm value_call: every entry of the table");
    EXPECT_DEATH(win::fault_inject(std::string(48, 'n').c_str(), 7), "name is too long");
    win::fault_inject(std::string(47, 'n').c_str(), 7); // the longest name that is kept
    EXPECT_TRUE(win::internal::fault_take(std::string(47, 'n').c_str(), &code));
    win::fault_clear();
}

} // namespace
