// Process services: _wtoi's clamping, the locale that keeps the console UTF-8, debugger
// presence, and the process entry with ExitProcess, seen from a child process.
#include "platform/platform.h"
#include "platform/win/hooks.h"
#include "tests/support/testing.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace ts = testing_support;

namespace {

TEST(wtoi, reads_decimal_with_blanks_sign_and_clamping) {
    const struct {
        const wchar_t* text;
        int value;
    } cases[] = {
        {L"81", 81},
        {L"  \t42", 42},
        {L"+7", 7},
        {L"-12", -12},
        {L"12abc", 12},
        {L"", 0},
        {L"abc", 0},
        {L"-", 0},
        {L"+-3", 0},
        {L"- 3", 0},
        {L"2147483647", 2147483647},
        {L"2147483648", 2147483647},
        {L"99999999999999999999999", 2147483647},
        {L"-2147483648", -2147483647 - 1},
        {L"-2147483649", -2147483647 - 1},
        {L"-99999999999999999999", -2147483647 - 1},
        {L"0009", 9},
        {L"65536", 65536},
        {L"\x0661", 0}, // digits of other scripts are not decimal digits here
    };
    for (const auto& c : cases) EXPECT_EQ(_wtoi(c.text), c.value) << "text: " << c.text;
}

TEST(wsetlocale, takes_the_nearest_locale_and_the_console_stays_utf8) {
    wchar_t* name = _wsetlocale(LC_ALL, L"bg-BG");
    ASSERT_NE(name, nullptr);
    std::wstring chosen(name);
    EXPECT_TRUE(chosen == L"bg_BG.UTF-8" || chosen == L"C.UTF-8" || chosen == L"C.utf8")
        << "chose " << std::string(chosen.begin(), chosen.end());
    std::string got;
    con_set_sink([](int, const char* t, std::size_t n,
                    void* c) { static_cast<std::string*>(c)->append(t, n); },
                 &got);
    con_wprintf(L"%ls", L"\u0431\u044A\u043B\u0433\u0430\u0440\u0441\u043A\u0438");
    con_set_sink(nullptr, nullptr);
    EXPECT_EQ(got, "\xD0\xB1\xD1\x8A\xD0\xBB\xD0\xB3\xD0\xB0\xD1\x80\xD1\x81\xD0\xBA\xD0\xB8");
    EXPECT_NE(_wsetlocale(LC_ALL, L"C"), nullptr);
}

TEST(debugger, none_is_attached_to_the_test) {
    EXPECT_FALSE(IsDebuggerPresent());
}

TEST(priority, failures_are_reported_not_fatal) {
    fault_inject("SetPriorityClass", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetPriorityClass(nullptr, HIGH_PRIORITY_CLASS));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    fault_clear();
    EXPECT_TRUE(SetProcessPriorityBoost(nullptr, TRUE));
}

TEST(entry, arguments_arrive_wide_and_exit_process_flushes_and_sets_the_code) {
    ts::child_process child = ts::start_child(
        {ENTRY_PROBE_PATH, "3", "h\xC3\xA9llo", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF", ""});
    ASSERT_GT(child.pid, 0);
    int code = ts::wait_child(child);
    EXPECT_EQ(code, 3);
    EXPECT_EQ(child.out, "arg 1: 33\n"
                         "arg 2: 68 e9 6c 6c 6f\n"
                         "arg 3: 20ac\n"
                         "arg 4: 1f600\n"
                         "arg 5: fffd\n"
                         "arg 6:\n"
                         "last line without end");
    EXPECT_EQ(child.err, "");
}

TEST(entry, console_output_to_a_closed_pipe_raises_no_signal) {
    ts::child_process child = ts::start_child({ENTRY_PROBE_PATH, "flood"});
    ASSERT_GT(child.pid, 0);
    ts::close_fd(child.out_fd); // the reader goes away; the child's writes then fail
    child.out_fd = -1;
    EXPECT_EQ(ts::wait_child(child), 5) << "128 + 13 would be death by SIGPIPE";
}

} // namespace
