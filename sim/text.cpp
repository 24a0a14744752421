// Text on the simulated machine: the string, case and format functions of
// kernel32, user32 and shlwapi, and the escaping that records and reports use.
#include <cstring>

#include "platform/format/wsprintf.h"
#include "sim/internal.h"

namespace sim {

char UpperAnsi(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 32);
    if (u == 0x9A || u == 0x9C || u == 0x9E) return static_cast<char>(u - 16);
    if (u == 0xFF) return static_cast<char>(0x9F);
    return c;
}

}  // namespace sim

using namespace sim;

namespace win {
extern "C" {

int lstrlenA(const char* text) { return text == nullptr ? 0 : static_cast<int>(std::strlen(text)); }

int lstrcmpiA(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = UpperAnsi(*a), y = UpperAnsi(*b);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        if (x == 0) return 0;
    }
}

int wvsprintfA(char* out, const char* format, va_list args) {
    CallGuard guard;
    Bind("USER32.dll");
    return WsprintfV(out, format, args);
}

char* CharUpperA(char* text) {
    CallGuard guard;
    Bind("USER32.dll");
    for (char* p = text; *p != 0; ++p) *p = UpperAnsi(*p);
    return text;
}

int StrCmpNIA(const char* a, const char* b, int count) {
    CallGuard guard;
    Bind("SHLWAPI.dll");
    for (int i = 0; i < count; ++i) {
        char x = UpperAnsi(a[i]), y = UpperAnsi(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        if (x == 0) break;
    }
    return 0;
}

BOOL StrTrimA(char* text, const char* trim) {
    CallGuard guard;
    Bind("SHLWAPI.dll");
    auto inSet = [trim](char c) { return c != 0 && std::strchr(trim, c) != nullptr; };
    size_t length = std::strlen(text);
    size_t start = 0;
    while (start < length && inSet(text[start])) ++start;
    size_t end = length;
    while (end > start && inSet(text[end - 1])) --end;
    if (start == 0 && end == length) return FALSE;
    std::memmove(text, text + start, end - start);
    text[end - start] = 0;
    return TRUE;
}

char* StrStrA(const char* text, const char* find) {
    CallGuard guard;
    Bind("SHLWAPI.dll");
    if (text == nullptr || find == nullptr || *find == 0) return nullptr;
    return const_cast<char*>(std::strstr(text, find));
}

}  // extern "C"
}  // namespace win
