// The process entry of this platform: ignores SIGPIPE as a second guard (sends never raise
// it), turns the UTF-8 arguments into wide strings and calls the program's wmain.
#include "platform/platform.h"

#include <csignal>
#include <string>
#include <vector>

namespace {

// Decodes UTF-8; a byte that does not start a valid sequence stands for U+FFFD.
std::wstring widen(const char* text) {
    std::wstring out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        unsigned c = *p;
        int more = c < 0x80           ? 0
                   : (c >> 5) == 0x6  ? 1
                   : (c >> 4) == 0xE  ? 2
                   : (c >> 3) == 0x1E ? 3
                                      : -1;
        if (more < 0) {
            out.push_back(L'\xFFFD');
            ++p;
            continue;
        }
        std::uint32_t cp = more == 0 ? c : c & (0x3F >> more);
        int i = 1;
        for (; i <= more && (p[i] & 0xC0) == 0x80; ++i) cp = (cp << 6) | (p[i] & 0x3F);
        bool overlong =
            (more == 1 && cp < 0x80) || (more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000);
        if (i <= more || overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(L'\xFFFD');
            p += i;
            continue;
        }
        out.push_back(wchar_t(cp));
        p += more + 1;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::wstring> args;
    args.reserve(std::size_t(argc));
    for (int i = 0; i < argc; ++i) args.push_back(widen(argv[i]));
    std::vector<wchar_t*> wide_argv;
    for (std::wstring& a : args) wide_argv.push_back(a.data());
    wide_argv.push_back(nullptr);
    return wmain(argc, wide_argv.data());
}
