// Fault injection: a named call fails after `skip` calls for `times` calls, other names are
// not touched, values stand in for real ones, and clearing disarms everything.
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

} // namespace
