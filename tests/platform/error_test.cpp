// Error codes and texts: every code the layer can leave behind has a text ending in CR LF,
// unknown codes have none, last-error values are per thread, and the error report prints
// exactly its two lines.
#include "console_capture.h"
#include "platform/event.h"
#include "platform/internal/errors.h"
#include "platform/win/hooks.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring text_of(DWORD code, DWORD* length) {
    wchar_t* text = nullptr;
    *length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_FROM_SYSTEM,
                             nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (text == nullptr) return L"<none>";
    std::wstring s(text);
    LocalFree(text);
    return s;
}

void expect_text(DWORD code) {
    DWORD length = 0;
    std::wstring text = text_of(code, &length);
    ASSERT_NE(text, L"<none>") << "no text for " << code;
    EXPECT_EQ(length, text.size());
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n") << "code " << code;
    EXPECT_EQ(text.find(L'\n'), text.size() - 1) << "one line only, code " << code;
}

TEST(error_texts, some_codes_carry_the_expected_words) {
    const struct {
        DWORD code;
        const wchar_t* text;
    } known[] = {
        {10061, L"Connection refused\r\n"},     {10054, L"Connection reset by peer\r\n"},
        {10060, L"Connection timed out\r\n"},   {10053, L"Software caused connection abort\r\n"},
        {10048, L"Address already in use\r\n"}, {8, L"Cannot allocate memory\r\n"},
    };
    for (const auto& k : known) {
        DWORD length = 0;
        EXPECT_EQ(text_of(k.code, &length), k.text);
    }
}

TEST(error_texts, every_code_the_layer_declares_or_maps_has_a_text) {
    const DWORD declared[] = {
        ERROR_SUCCESS,
        ERROR_FILE_NOT_FOUND,
        ERROR_ACCESS_DENIED,
        ERROR_INVALID_HANDLE,
        ERROR_NOT_ENOUGH_MEMORY,
        ERROR_OUTOFMEMORY,
        ERROR_NOT_SUPPORTED,
        ERROR_INVALID_PARAMETER,
        ERROR_NOT_ALL_ASSIGNED,
        ERROR_NO_SUCH_PRIVILEGE,
        ERROR_PRIVILEGE_NOT_HELD,
        ERROR_NO_SYSTEM_RESOURCES,
        ERROR_WORKING_SET_QUOTA,
        111,
        138,
        WSAEINTR,
        WSAEBADF,
        WSAEACCES,
        WSAEFAULT,
        WSAEINVAL,
        WSAEMFILE,
        WSAEWOULDBLOCK,
        WSAENOTSOCK,
        WSAEMSGSIZE,
        WSAENOPROTOOPT,
        WSAEPROTONOSUPPORT,
        WSAEOPNOTSUPP,
        WSAEAFNOSUPPORT,
        WSAEADDRINUSE,
        WSAEADDRNOTAVAIL,
        WSAENETDOWN,
        WSAENETUNREACH,
        WSAECONNABORTED,
        WSAECONNRESET,
        WSAENOBUFS,
        WSAENOTCONN,
        WSAESHUTDOWN,
        WSAETIMEDOUT,
        WSAECONNREFUSED,
        WSAEHOSTUNREACH,
        WSASYSNOTREADY,
        WSAVERNOTSUPPORTED,
        WSANOTINITIALISED,
        NTE_BAD_ALGID,
        NTE_BAD_HASH,
        NTE_BAD_LEN,
        NTE_BAD_TYPE,
        NTE_BAD_FLAGS,
    };
    for (DWORD code : declared) expect_text(code);
    // Whatever errno a system call leaves, both of its mapped codes have a text.
    for (int e = 0; e < 134; ++e) {
        SCOPED_TRACE(e);
        win::internal::mapped_error m = win::internal::map_errno(e);
        expect_text(DWORD(m.wsa));
        expect_text(m.win32);
    }
}

TEST(error_texts, unknown_code_has_no_text_and_leaves_the_pointer) {
    wchar_t* text = reinterpret_cast<wchar_t*>(0x1);
    EXPECT_EQ(
        FormatMessageW(0x1300, nullptr, 0xDEAD, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr),
        0u);
    EXPECT_EQ(text, reinterpret_cast<wchar_t*>(0x1));
}

TEST(error_texts, text_into_a_caller_buffer_respects_its_size) {
    wchar_t small[4];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 10061, 0, small, 4, nullptr), 0u);
    wchar_t room[64];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 10061, 0, room, 64, nullptr),
              20u);
    EXPECT_EQ(std::wstring(room), L"Connection refused\r\n");
}

TEST(last_error, values_belong_to_their_thread) {
    SetLastError(5);
    WSASetLastError(10054);
    DWORD other_last = 99;
    int other_wsa = 99;
    std::thread t([&] {
        other_last = GetLastError();
        other_wsa = WSAGetLastError();
        SetLastError(8);
        WSASetLastError(10060);
    });
    t.join();
    EXPECT_EQ(other_last, 0u);
    EXPECT_EQ(other_wsa, 0);
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_EQ(WSAGetLastError(), 10054);
}

TEST(print_error, writes_the_label_line_and_the_error_line) {
    const struct {
        uint32_t code;
        const wchar_t* label;
        const char* lines;
    } reports[] = {
        {10061, L"connect(so, &addr, 16)",
         "connect(so, &addr, 16)\n   ^ERROR: 10061, Connection refused\r\n"},
        {10054, nullptr, "   ^ERROR: 10054, Connection reset by peer\r\n"},
        {0, L"", "\n   ^ERROR: 0, Success\r\n"},
        {111, L"ev.wait()",
         "ev.wait()\n   ^ERROR: 111, The event or thread is no longer valid\r\n"},
        {0xDEAD, L"x", "x\n   ^ERROR: 57005, (null)"},
        {5, L"fichier \u00E9\u20AC",
         "fichier \xC3\xA9\xE2\x82\xAC\n   ^ERROR: 5, Permission denied\r\n"},
    };
    for (const auto& r : reports) {
        SCOPED_TRACE(r.lines);
        capture out;
        EXPECT_EQ(print_error(r.code, r.label), r.code);
        EXPECT_EQ(out.all(1), r.lines);
        EXPECT_EQ(out.all(2), "");
        EXPECT_EQ(out.calls.size(), r.label != nullptr ? 2u : 1u) << "one write per line";
    }
}

TEST(print_error, stderr_variant_writes_to_standard_error) {
    capture out;
    EXPECT_EQ(print_error_stderr(10060, L"recv(so)"), 10060u);
    EXPECT_EQ(out.all(2), "recv(so)\n   ^ERROR: 10060, Connection timed out\r\n");
    EXPECT_EQ(out.all(1), "");
}

} // namespace
