// Texts on Linux: the string, case and format functions of kernel32, user32 and
// shlwapi (ASCII case only: Linux texts are UTF-8, whose bytes above 0x7F must
// stay as they are), the bounded helpers the platform's files share, and the
// platform's own texts.
#include "platform/format/wsprintf.h"
#include "platform/linux/internal.h"

namespace lin {
namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int Length(const char* text) {
    int length = 0;
    while (text[length] != 0) ++length;
    return length;
}

bool Same(const char* a, const char* b) {
    for (; *a == *b; ++a, ++b)
        if (*a == 0) return true;
    return false;
}

bool StartsWith(const char* text, const char* prefix) {
    for (; *prefix != 0; ++text, ++prefix)
        if (*text != *prefix) return false;
    return true;
}

bool Append(char* out, int capacity, const char* piece) {
    int length = Length(out);
    for (; *piece != 0; ++piece) {
        if (length >= capacity - 1) {
            out[length] = 0;
            return false;
        }
        out[length++] = *piece;
    }
    out[length] = 0;
    return true;
}

bool AppendNumber(char* out, int capacity, unsigned long long value) {
    char digits[24];
    int at = sizeof digits - 1;
    digits[at] = 0;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return Append(out, capacity, digits + at);
}

int NaturalCompare(const char* a, const char* b) {
    while (*a != 0 && *b != 0) {
        if (IsDigit(*a) && IsDigit(*b)) {
            while (*a == '0' && IsDigit(a[1])) ++a;
            while (*b == '0' && IsDigit(b[1])) ++b;
            int digitsA = 0, digitsB = 0;
            while (IsDigit(a[digitsA])) ++digitsA;
            while (IsDigit(b[digitsB])) ++digitsB;
            if (digitsA != digitsB) return digitsA < digitsB ? -1 : 1;
            for (int i = 0; i < digitsA; ++i)
                if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
            a += digitsA;
            b += digitsB;
            continue;
        }
        if (*a != *b) return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b) ? -1 : 1;
        ++a;
        ++b;
    }
    return *a == *b ? 0 : (*a == 0 ? -1 : 1);
}

}  // namespace lin

using namespace lin;

namespace win {

const char kUsageVerifyLine[] = "Asks a whole disk device to verify its media in place.\n";
const char kUsageDiskLine[] = "disknumber  a disk's number as -ld lists it, or its device path (/dev/sdb)\n";
const char kVerifyHeaderFormat[] = "asking the device to verify all of Disk %u (%s)...\n";

extern "C" {

int lstrlenA(const char* text) { return text == nullptr ? 0 : Length(text); }

int lstrcmpiA(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = Upper(*a), y = Upper(*b);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        if (x == 0) return 0;
    }
}

int wvsprintfA(char* out, const char* format, va_list args) { return WsprintfV(out, format, args); }

char* CharUpperA(char* text) {
    for (char* p = text; *p != 0; ++p) *p = Upper(*p);
    return text;
}

int StrCmpNIA(const char* a, const char* b, int count) {
    for (int i = 0; i < count; ++i) {
        char x = Upper(a[i]), y = Upper(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        if (x == 0) break;
    }
    return 0;
}

BOOL StrTrimA(char* text, const char* trim) {
    auto inSet = [trim](char c) {
        for (const char* t = trim; *t != 0; ++t)
            if (*t == c) return true;
        return false;
    };
    int length = Length(text);
    int start = 0;
    while (start < length && inSet(text[start])) ++start;
    int end = length;
    while (end > start && inSet(text[end - 1])) --end;
    if (start == 0 && end == length) return FALSE;
    for (int i = 0; i < end - start; ++i) text[i] = text[start + i];
    text[end - start] = 0;
    return TRUE;
}

char* StrStrA(const char* text, const char* find) {
    if (text == nullptr || find == nullptr || *find == 0) return nullptr;
    for (; *text != 0; ++text)
        if (StartsWith(text, find)) return const_cast<char*>(text);
    return nullptr;
}

}  // extern "C"
}  // namespace win
