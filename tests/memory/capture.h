// Test helpers for the memory tests: standard error captured through the console sink,
// the error report line built from the system's text, and hex values masked in a report.
#pragma once
#include "platform/platform.h"
#include "platform/win/hooks.h"
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Collects what is written to standard error while it lives; disarms every fault at its end.
class stderr_capture {
  public:
    stderr_capture() { win::con_set_sink(&collect, this); }
    ~stderr_capture() {
        win::con_set_sink(nullptr, nullptr);
        win::fault_clear();
    }
    const std::string& text() const { return text_; }
    void clear() { text_.clear(); }

  private:
    static void collect(int stream, const char* text, std::size_t length, void* context) {
        if (stream == 2) static_cast<stderr_capture*>(context)->text_.append(text, length);
    }
    std::string text_;
};

// "   ^ERROR: <code>, <system text>" as the error report writes it.
inline std::string error_line(DWORD code) {
    wchar_t* p_text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                       FORMAT_MESSAGE_FROM_SYSTEM,
                   nullptr, code, 0, reinterpret_cast<LPWSTR>(&p_text), 0, nullptr);
    std::string line = "   ^ERROR: " + std::to_string(code) + ", ";
    if (!p_text) return line + "(null)";
    for (const wchar_t* p = p_text; *p; ++p) line += static_cast<char>(*p);
    LocalFree(p_text);
    return line;
}

// Replaces every "0x<hex digits>" by "0x#" and hands the values out in order, so that a
// report with addresses can be compared whole.
inline std::string mask_hex(const std::string& text, std::vector<std::uint64_t>* values) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "0x") == 0) {
            std::size_t end = i + 2;
            while (end < text.size() && std::isxdigit(static_cast<unsigned char>(text[end]))) ++end;
            values->push_back(std::stoull(text.substr(i + 2, end - i - 2), nullptr, 16));
            out += "0x#";
            i = end;
        } else {
            out += text[i++];
        }
    }
    return out;
}

inline std::string hex16(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p)));
    return text;
}
