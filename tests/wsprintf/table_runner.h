// Shared driver for the formatter comparison table.
//
// A program includes this after defining
//     static int FormatUnderTest(char* out, const char* format, va_list args);
// and its main runs every CASE of table.inc through that formatter and prints
// one text line per case (a CR that text mode adds is compare.sh's to drop):
//     <index> <TAB> <returned count> <TAB> <bytes written> <TAB> <format head>
// "bytes written" is everything the formatter stored, terminating NUL
// included, found by pre-filling the buffer with a marker byte; it is
// escaped so that printable ASCII other than backslash appears as itself and
// every other byte as \xNN.  The buffer is twice the documented capacity so a
// formatter that writes past the cap shows up as a difference too.
#ifndef SECTORSWEEP_TESTS_WSPRINTF_TABLE_RUNNER_H
#define SECTORSWEEP_TESTS_WSPRINTF_TABLE_RUNNER_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>

#include "sim/escape.h"

static int FormatUnderTest(char* out, const char* format, va_list args);

namespace table {

// Argument makers: each yields exactly the C type the directive reads on
// 64-bit Windows, so the compiler passes it the way a real caller would.
#define I32(v) static_cast<int>(v)
#define U32(v) static_cast<unsigned>(v)
#define I64(v) static_cast<long long>(v)
#define U64(v) static_cast<unsigned long long>(v)
#define STR(v) static_cast<const char*>(v)
#define WSTR(v) static_cast<const char16_t*>(v)
#define PTR(v) reinterpret_cast<const void*>(static_cast<uintptr_t>(v))

constexpr size_t kBufSize = 2048;
constexpr unsigned char kMarker = 0xCC;

inline std::deque<std::string> pool;  // stable storage for built strings
inline std::string last;              // previous case's output up to its NUL
inline std::string report;
inline int cases = 0;

inline const char* Keep(std::string s) {
    pool.push_back(std::move(s));
    return pool.back().c_str();
}

// n characters of a fixed, '%'-free pattern.
inline const char* Pattern(size_t n) {
    static const char kCycle[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string s;
    for (size_t i = 0; i < n; ++i) s += kCycle[i % (sizeof kCycle - 1)];
    return Keep(s);
}

inline const char* Join(const char* a, const char* b) { return Keep(std::string(a) + b); }

// The text the previous case produced, for formats that are built by a
// formatter call and then used as a format themselves.
inline const char* Last() { return Keep(last); }

inline void Case(const char* format, ...) {
    static unsigned char buf[kBufSize];
    std::memset(buf, kMarker, sizeof buf);
    va_list ap;
    va_start(ap, format);
    const int ret = FormatUnderTest(reinterpret_cast<char*>(buf), format, ap);
    va_end(ap);

    size_t extent = sizeof buf;
    while (extent > 0 && buf[extent - 1] == kMarker) --extent;

    last.assign(reinterpret_cast<const char*>(buf));
    char head[48];
    std::snprintf(head, sizeof head, "%d\t%d\t", cases++, ret);
    report += head;
    report += sim::Escape(buf, extent, false);
    report += '\t';
    const size_t flen = std::strlen(format);
    report += sim::Escape(format, flen < 40 ? flen : 40, false);
    report += '\n';
}

}  // namespace table

int main() {
    using namespace table;
#define CASE(...) Case(__VA_ARGS__);
#include "table.inc"
#undef CASE
    return std::fwrite(report.data(), 1, report.size(), stdout) == report.size() ? 0 : 1;
}

#endif  // SECTORSWEEP_TESTS_WSPRINTF_TABLE_RUNNER_H
