// The console: formats read as the Windows run-time reads them ("%s" wide in a wide format,
// "%hs" narrow, "%Iu" pointer-sized), each call formatted whole into a stack buffer, turned
// into UTF-8 and written with one locked write, so calls of different threads never mix; the
// same lock, held by con_lock, keeps a run of one thread's calls together, and a report with
// the program's report hook before it.
#include "platform/win/console.h"
#include "platform/win/hooks.h"
#include "platform/win/process.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <unistd.h>

namespace win {
namespace {

constexpr std::size_t stack_size = 1024;   // room of the common case, on the caller's stack
constexpr std::size_t max_size = 1u << 20; // a longer text is cut here

// The text of one call: on the stack, moved to the heap only when it outgrows the stack.
struct text_buffer {
    char* p;         // where the text is
    std::size_t cap; // room at p
    std::size_t len; // bytes of text
    bool heap;       // p was allocated here
    char stack[stack_size];

    text_buffer() : p(stack), cap(stack_size), len(0), heap(false) {}
    ~text_buffer() {
        if (heap) std::free(p);
    }
    text_buffer(const text_buffer&) = delete;
    text_buffer& operator=(const text_buffer&) = delete;

    // Room for `more` bytes after the text; false when that would pass max_size.
    bool reserve(std::size_t more) {
        if (len + more <= cap) return true;
        if (len + more > max_size) return false;
        std::size_t want = cap * 2 < len + more ? len + more : cap * 2;
        if (want > max_size) want = max_size;
        auto* q = static_cast<char*>(std::malloc(want));
        if (q == nullptr) return false;
        std::memcpy(q, p, len);
        if (heap) std::free(p);
        p = q;
        cap = want;
        heap = true;
        return true;
    }
    void put(const char* s, std::size_t n) {
        if (!reserve(n)) n = cap - len; // cut: a text that long is broken anyway
        std::memcpy(p + len, s, n);
        len += n;
    }
    void put_char(char c, std::size_t times = 1) {
        for (std::size_t i = 0; i < times; ++i) put(&c, 1);
    }
};

// UTF-8 of one code point; what is not a character becomes U+FFFD.
std::size_t encode(std::uint32_t cp, char* out) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

void put_code_point(text_buffer& out, std::uint32_t cp) {
    char bytes[4];
    out.put(bytes, encode(cp, bytes));
}

// One conversion as written after '%'.
struct spec {
    char flags[6]; // "-+ #0" as given
    int width;     // -1 when none
    int precision; // -1 when none
    char size; // 0, 'H' (hh), 'h', 'l', 'L' (ll), 'P' (pointer-sized), 'D' (long double), 'i' (I32)
    std::uint32_t conv; // the conversion character
    bool wide_string;   // %s / %c take a wide argument
};

bool has_flag(const spec& s, char f) {
    return std::strchr(s.flags, f) != nullptr;
}

// Pads `chars` characters of text to the width; `body` writes the text.
template <class Body>
void padded(text_buffer& out, const spec& s, std::size_t chars, Body body) {
    std::size_t pad = s.width > 0 && std::size_t(s.width) > chars ? s.width - chars : 0;
    if (!has_flag(s, '-')) out.put_char(' ', pad);
    body();
    if (has_flag(s, '-')) out.put_char(' ', pad);
}

void put_narrow_string(text_buffer& out, const spec& s, const char* str) {
    if (str == nullptr) str = "(null)";
    std::size_t n = std::strlen(str);
    if (s.precision >= 0 && std::size_t(s.precision) < n) n = s.precision;
    padded(out, s, n, [&] { out.put(str, n); });
}

void put_wide_string(text_buffer& out, const spec& s, const wchar_t* str) {
    if (str == nullptr) return put_narrow_string(out, s, nullptr);
    std::size_t n = std::wcslen(str);
    if (s.precision >= 0 && std::size_t(s.precision) < n) n = s.precision;
    padded(out, s, n, [&] {
        for (std::size_t i = 0; i < n; ++i) put_code_point(out, std::uint32_t(str[i]));
    });
}

// Numbers go through the C library, one argument at a time, with a format of its reading.
template <class T>
void put_number(text_buffer& out, const spec& s, const char* size, T value) {
    char f[32];
    std::size_t k = 0;
    f[k++] = '%';
    for (const char* c = s.flags; *c != 0; ++c) f[k++] = *c;
    if (s.width >= 0) k += std::snprintf(f + k, sizeof f - k, "%d", s.width);
    if (s.precision >= 0) k += std::snprintf(f + k, sizeof f - k, ".%d", s.precision);
    for (const char* c = size; *c != 0; ++c) f[k++] = *c;
    f[k++] = char(s.conv);
    f[k] = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::size_t room = out.cap - out.len;
        int n = std::snprintf(out.p + out.len, room, f, value);
        if (n < 0) return;
        if (std::size_t(n) < room) {
            out.len += n;
            return;
        }
        if (!out.reserve(std::size_t(n) + 1)) return;
    }
}

// Reads one argument for `s` and writes it.
void put_argument(text_buffer& out, const spec& s, va_list* ap) {
    switch (s.conv) {
    case 'd':
    case 'i':
        if (s.size == 'L' || s.size == 'P') return put_number(out, s, "ll", va_arg(*ap, long long));
        if (s.size == 'l') return put_number(out, s, "l", va_arg(*ap, long));
        if (s.size == 'h') return put_number(out, s, "", int(short(va_arg(*ap, int))));
        if (s.size == 'H')
            return put_number(out, s, "", int(static_cast<signed char>(va_arg(*ap, int))));
        return put_number(out, s, "", va_arg(*ap, int));
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (s.size == 'L' || s.size == 'P')
            return put_number(out, s, "ll", va_arg(*ap, unsigned long long));
        if (s.size == 'l') return put_number(out, s, "l", va_arg(*ap, unsigned long));
        if (s.size == 'h')
            return put_number(out, s, "",
                              unsigned(static_cast<unsigned short>(va_arg(*ap, unsigned))));
        if (s.size == 'H')
            return put_number(out, s, "",
                              unsigned(static_cast<unsigned char>(va_arg(*ap, unsigned))));
        return put_number(out, s, "", va_arg(*ap, unsigned));
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (s.size == 'D') return put_number(out, s, "L", va_arg(*ap, long double));
        return put_number(out, s, "", va_arg(*ap, double));
    case 'p': {
        spec hex = s;
        hex.conv = 'X';
        hex.width = 16;
        hex.precision = 16;
        hex.flags[0] = 0;
        return put_number(
            out, hex, "ll",
            static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(va_arg(*ap, void*))));
    }
    case 's':
        if (s.wide_string) return put_wide_string(out, s, va_arg(*ap, const wchar_t*));
        return put_narrow_string(out, s, va_arg(*ap, const char*));
    case 'c': {
        std::uint32_t c = s.wide_string
                              ? std::uint32_t(va_arg(*ap, wint_t))
                              : std::uint32_t(static_cast<unsigned char>(va_arg(*ap, int)));
        return padded(out, s, 1, [&] { put_code_point(out, c); });
    }
    case 'n':
        (void)va_arg(*ap, int*);
        return; // writes nothing back
    default:
        put_code_point(out, s.conv);
        return;
    }
}

// The format as a sequence of code points, narrow (bytes, taken as UTF-8 as they are) or wide.
struct format_reader {
    const char* narrow;
    const wchar_t* wide;
    std::size_t i;

    std::uint32_t peek() const {
        return narrow != nullptr ? static_cast<unsigned char>(narrow[i]) : std::uint32_t(wide[i]);
    }
    std::uint32_t next() {
        std::uint32_t c = peek();
        if (c != 0) ++i;
        return c;
    }
    bool take(std::uint32_t c) {
        if (peek() != c) return false;
        ++i;
        return true;
    }
};

int read_number(format_reader& f, va_list* ap) {
    if (f.take('*')) return va_arg(*ap, int);
    int n = 0;
    while (f.peek() >= '0' && f.peek() <= '9') n = n * 10 + int(f.next() - '0');
    return n;
}

// Reads one conversion after '%'. In a wide format a string or character is wide unless 'h'
// says narrow; in a narrow format it is narrow unless 'l' or 'w' says wide.
spec read_spec(format_reader& f, bool wide_format, va_list* ap) {
    spec s{};
    s.width = -1;
    s.precision = -1;
    std::size_t k = 0;
    while (k < sizeof s.flags - 1 && f.peek() != 0 &&
           std::strchr("-+ #0", int(f.peek())) != nullptr)
        s.flags[k++] = char(f.next());
    if (f.peek() == '*' || (f.peek() >= '0' && f.peek() <= '9')) {
        s.width = read_number(f, ap);
        if (s.width < 0) { // a negative '*' width means left-justified
            s.width = -s.width;
            if (k < sizeof s.flags - 1) s.flags[k++] = '-';
        }
    }
    if (f.take('.')) s.precision = read_number(f, ap);
    bool narrow_arg = false, wide_arg = false;
    if (f.take('h')) {
        s.size = f.take('h') ? 'H' : 'h';
        narrow_arg = true;
    } else if (f.take('l')) {
        s.size = f.take('l') ? 'L' : 'l';
        wide_arg = true;
    } else if (f.take('w')) {
        wide_arg = true;
    } else if (f.take('I')) {
        s.size = 'P'; // "I" alone is pointer-sized
        if (f.take('6') && f.take('4'))
            s.size = 'L';
        else if (f.take('3') && f.take('2'))
            s.size = 'i';
    } else if (f.take('z') || f.take('t') || f.take('j')) {
        s.size = 'P';
    } else if (f.take('L')) {
        s.size = 'D';
    }
    s.conv = f.next();
    if (s.conv == 'S' || s.conv == 'C') { // the other width than the format's own
        s.conv = s.conv == 'S' ? 's' : 'c';
        s.wide_string = narrow_arg ? false : wide_arg ? true : !wide_format;
    } else {
        s.wide_string = narrow_arg ? false : wide_arg ? true : wide_format;
    }
    return s;
}

void format(text_buffer& out, format_reader f, bool wide_format, va_list* ap) {
    for (;;) {
        std::uint32_t c = f.next();
        if (c == 0) return;
        if (c != '%') {
            if (f.narrow != nullptr)
                out.put_char(char(c));
            else
                put_code_point(out, c);
            continue;
        }
        if (f.take('%')) {
            out.put_char('%');
            continue;
        }
        spec s = read_spec(f, wide_format, ap);
        if (s.conv == 0) return;
        put_argument(out, s, ap);
    }
}

std::recursive_mutex console_lock; // one call's write at a time; con_lock holds it longer
console_sink sink = nullptr;       // tests: where the text goes instead of the descriptor
void* sink_context = nullptr;      // handed to the sink
con_report_hook report_hook = nullptr; // the program's, run before each report's first text
int report_depth = 0; // reports the lock's holder is inside; changed only under the lock

void write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return; // a console that cannot be written loses the text
        p += w;
        n -= std::size_t(w);
    }
}

void emit(int stream, const text_buffer& text) {
    std::lock_guard<std::recursive_mutex> guard(console_lock);
    if (sink != nullptr)
        sink(stream, text.p, text.len, sink_context);
    else
        write_all(stream, text.p, text.len);
}

// Characters written: code points of the UTF-8 text.
int characters(const text_buffer& text, bool wide) {
    if (!wide) return int(text.len);
    int n = 0;
    for (std::size_t i = 0; i < text.len; ++i)
        if ((static_cast<unsigned char>(text.p[i]) & 0xC0) != 0x80) ++n;
    return n;
}

// One report's text, formatted before the lock is taken, so that the lock covers only the
// hook and the write.
void report_call(const text_buffer& text) {
    con_report_begin();
    emit(1, text);
    con_report_end();
}

enum class output { plain, report };

// Formats one call's text and writes it to the stream, plainly or as a report.
int formatted_call(int stream, output how, format_reader reader, bool wide, va_list* ap) {
    text_buffer text;
    format(text, reader, wide, ap);
    if (how == output::report)
        report_call(text);
    else
        emit(stream, text);
    return characters(text, wide);
}

} // namespace

int con_wprintf(const wchar_t* fmt, ...) {
    if (fmt == nullptr) return -1;
    va_list ap;
    va_start(ap, fmt);
    int n = formatted_call(1, output::plain, format_reader{nullptr, fmt, 0}, true, &ap);
    va_end(ap);
    return n;
}

int con_ewprintf(const wchar_t* fmt, ...) {
    if (fmt == nullptr) return -1;
    va_list ap;
    va_start(ap, fmt);
    int n = formatted_call(2, output::plain, format_reader{nullptr, fmt, 0}, true, &ap);
    va_end(ap);
    return n;
}

int con_printf(const char* fmt, ...) {
    if (fmt == nullptr) return -1;
    va_list ap;
    va_start(ap, fmt);
    int n = formatted_call(1, output::plain, format_reader{fmt, nullptr, 0}, false, &ap);
    va_end(ap);
    return n;
}

int sprintf_s(char* buffer, std::size_t size, const char* fmt, ...) {
    if (buffer == nullptr || size == 0 || fmt == nullptr) return -1;
    va_list ap;
    va_start(ap, fmt);
    text_buffer text;
    format(text, format_reader{fmt, nullptr, 0}, false, &ap);
    va_end(ap);
    if (text.len + 1 > size) {
        buffer[0] = 0; // does not fit: emptied, as the run-time's checked variant does
        return -1;
    }
    std::memcpy(buffer, text.p, text.len);
    buffer[text.len] = 0;
    return int(text.len);
}

void con_lock() {
    console_lock.lock();
}

void con_unlock() {
    console_lock.unlock();
}

void con_set_report_hook(con_report_hook hook) {
    std::lock_guard<std::recursive_mutex> guard(console_lock);
    report_hook = hook;
}

void con_report_begin() {
    console_lock.lock();
    // A report printed inside another (a failed call's lines under a connection's report) is
    // part of it: the hook has run for it already.
    if (report_depth++ == 0 && report_hook != nullptr) report_hook();
}

void con_report_end() {
    --report_depth;
    console_lock.unlock();
}

int con_report_wprintf(const wchar_t* fmt, ...) {
    if (fmt == nullptr) return -1;
    va_list ap;
    va_start(ap, fmt);
    int n = formatted_call(1, output::report, format_reader{nullptr, fmt, 0}, true, &ap);
    va_end(ap);
    return n;
}

int con_report_printf(const char* fmt, ...) {
    if (fmt == nullptr) return -1;
    va_list ap;
    va_start(ap, fmt);
    int n = formatted_call(1, output::report, format_reader{fmt, nullptr, 0}, false, &ap);
    va_end(ap);
    return n;
}

void con_set_sink(console_sink new_sink, void* context) {
    std::lock_guard<std::recursive_mutex> guard(console_lock);
    sink = new_sink;
    sink_context = context;
}

} // namespace win
