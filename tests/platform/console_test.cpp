// Console formats as the Windows run-time reads them: %s wide in a wide format, %hs narrow,
// %ls wide everywhere, the pointer-sized "I" prefix; wide text becomes UTF-8; each call is
// handed over whole, long texts included.
#include "console_capture.h"
#include "platform/event.h"
#include "platform/platform.h"
#include "platform/win/hooks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

struct format_case {
    const char* what;
    std::function<int()> call;
    const char* text;
};

const std::vector<format_case> cases = {
    {"wide %s takes a wide string", [] { return con_wprintf(L"[%s]", L"w\u00E9"); }, "[w\xC3\xA9]"},
    {"wide %hs takes a narrow string", [] { return con_wprintf(L"[%hs]", "0.0.0.0"); },
     "[0.0.0.0]"},
    {"wide %ls takes a wide string", [] { return con_wprintf(L"%ls\n", L"label"); }, "label\n"},
    {"narrow %s takes a narrow string", [] { return con_printf("[%s]", "n"); }, "[n]"},
    {"narrow %ls takes a wide string", [] { return con_printf("[%ls]", L"\u20AC"); },
     "[\xE2\x82\xAC]"},
    {"narrow %hs takes a narrow string", [] { return con_printf("[%hs]", "h"); }, "[h]"},
    {"%8Iu is pointer-sized", [] { return con_wprintf(L"[%8Iu]", std::size_t(42)); }, "[      42]"},
    {"%8Iu with a value past 32 bits",
     [] { return con_wprintf(L"[%8Iu]", std::size_t(5000000000ULL)); }, "[5000000000]"},
    {"0x%016Ix is pointer-sized",
     [] { return con_wprintf(L"0x%016Ix", std::uintptr_t(0xABCDEF012345ULL)); },
     "0x0000abcdef012345"},
    {"0x%08Ix", [] { return con_wprintf(L"0x%08Ix", std::uintptr_t(0x1F)); }, "0x0000001f"},
    {"%08llx", [] { return con_wprintf(L"%08llx", 0x7FFE1234ABCDULL); }, "7ffe1234abcd"},
    {"%08llx pads", [] { return con_wprintf(L"%08llx", 0x12ULL); }, "00000012"},
    {"%u %i %02u", [] { return con_wprintf(L"%u %i %02u", 4000000000u, -7, 5u); },
     "4000000000 -7 05"},
    {"%llu", [] { return con_wprintf(L"%llu", 18446744073709551615ULL); }, "18446744073709551615"},
    {"%9u %5u %3u %4u", [] { return con_wprintf(L"%9u|%5u|%3u|%4u", 1u, 22u, 333u, 4444u); },
     "        1|   22|333|4444"},
    {"%8s is a wide string in a wide format", [] { return con_wprintf(L"[%8s]", L"ab"); },
     "[      ab]"},
    {"%8s counts characters, not bytes", [] { return con_wprintf(L"[%8s]", L"\u00E9\u00E9"); },
     "[      \xC3\xA9\xC3\xA9]"},
    {"%-5s left-justifies", [] { return con_wprintf(L"[%-5s]", L"ab"); }, "[ab   ]"},
    {"precision cuts a string", [] { return con_wprintf(L"[%.2s]", L"abcdef"); }, "[ab]"},
    {"wide %c is a wide character", [] { return con_wprintf(L"%c", wchar_t(0xE9)); }, "\xC3\xA9"},
    {"narrow %c", [] { return con_printf("%c%c", 'o', 'k'); }, "ok"},
    {"null wide string", [] { return con_wprintf(L"   ^ERROR: %u, %ls", 1u, (wchar_t*)nullptr); },
     "   ^ERROR: 1, (null)"},
    {"null narrow string", [] { return con_printf("%s", (char*)nullptr); }, "(null)"},
    {"percent sign", [] { return con_wprintf(L"100%%"); }, "100%"},
    {"characters beyond the basic plane", [] { return con_wprintf(L"%ls", L"\U0001F600"); },
     "\xF0\x9F\x98\x80"},
    {"wide literal text is UTF-8", [] { return con_wprintf(L"\u0431\u0433 %u", 1u); },
     "\xD0\xB1\xD0\xB3 1"},
    {"%i of a socket value", [] { return con_wprintf(L"so %i  ", 1025); }, "so 1025  "},
    {"arrival line",
     [] {
         return con_wprintf(L"\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active "
                            L"%02u/%02u  so %i  ",
                            127u, 0u, 0u, 1u, 50000u, 3u, 1u, 32u, 4096);
     },
     "\r:: SYN from 127.0.0.1:50000  :: server_03.working  active 01/32  so 4096  "},
};

TEST(console, formats_read_as_the_windows_run_time_reads_them) {
    for (const format_case& c : cases) {
        SCOPED_TRACE(c.what);
        capture out;
        c.call();
        ASSERT_EQ(out.calls.size(), 1u) << "one write per call";
        EXPECT_EQ(out.calls[0].first, 1);
        EXPECT_EQ(out.calls[0].second, c.text);
    }
}

TEST(console, result_counts_characters_and_stderr_goes_to_stream_2) {
    capture out;
    EXPECT_EQ(con_wprintf(L"%ls", L"\u00E9t\u00E9"), 3);
    EXPECT_EQ(con_printf("%s", "\xC3\xA9"), 2);
    EXPECT_EQ(con_ewprintf(L"\r\n[finished] Press ENTER to exit . . ."), 38);
    ASSERT_EQ(out.calls.size(), 3u);
    EXPECT_EQ(out.calls[2].first, 2);
    EXPECT_EQ(out.calls[2].second, "\r\n[finished] Press ENTER to exit . . .");
}

TEST(console, long_text_is_written_whole_in_one_call) {
    std::wstring line(50000, L'\u00E9'); // 100000 bytes of UTF-8, far past the stack buffer
    capture out;
    con_wprintf(L"<%ls>%u", line.c_str(), 7u);
    ASSERT_EQ(out.calls.size(), 1u);
    std::string expected = "<";
    for (int i = 0; i < 50000; ++i) expected += "\xC3\xA9";
    expected += ">7";
    EXPECT_EQ(out.calls[0].second, expected);
}

// The program's report hook runs before each report's first text, once however the report
// nests (a failed call's lines inside a connection's report), and never for other text.
TEST(console, report_hook_runs_once_before_each_report_and_for_nothing_else) {
    const struct {
        const char* what;
        void (*call)();
        const char* out; // standard output
        const char* err; // standard error
    } cases[] = {
        {"a wide report", [] { con_report_wprintf(L"w %u\n", 1u); }, "<hook>w 1\n", ""},
        {"a narrow report", [] { con_report_printf("\n\t%s!\n", "n"); }, "<hook>\n\tn!\n", ""},
        {"a failed call", [] { print_error(10054, L"send()"); },
         "<hook>send()\n   ^ERROR: 10054, Connection reset by peer\r\n", ""},
        {"a failed call inside a report",
         [] {
             con_report_begin();
             con_wprintf(L"\n!! recv(%u)\n", 3u);
             print_error(10050, L"");
             con_report_end();
         },
         "<hook>\n!! recv(3)\n\n   ^ERROR: 10050, Network is down\r\n", ""},
        {"plain text", [] { con_wprintf(L"line\n"); }, "line\n", ""},
        {"a failed call on standard error", [] { print_error_stderr(8, L"ram"); }, "",
         "ram\n   ^ERROR: 8, Cannot allocate memory\r\n"},
    };
    con_set_report_hook([] { con_wprintf(L"<hook>"); });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        capture out;
        c.call();
        EXPECT_EQ(out.all(1), c.out);
        EXPECT_EQ(out.all(2), c.err);
    }
    con_set_report_hook(nullptr);
    capture out;
    con_report_wprintf(L"w\n");
    EXPECT_EQ(out.all(1), "w\n") << "a report without a hook is its text alone";
}

TEST(sprintf_s_format, formats_like_the_console_and_empties_on_overflow) {
    char buffer[32];
    EXPECT_EQ(sprintf_s(buffer, sizeof buffer, "Key: %s\r\n", "abc"), 10);
    EXPECT_STREQ(buffer, "Key: abc\r\n");
    EXPECT_EQ(sprintf_s(buffer, sizeof buffer, "%ls|%hs|%u", L"w", "n", 3u), 5);
    EXPECT_STREQ(buffer, "w|n|3");
    EXPECT_EQ(sprintf_s(buffer, 4, "%s", "abcd"), -1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(sprintf_s(buffer, 5, "%s", "abcd"), 4);
}

} // namespace
