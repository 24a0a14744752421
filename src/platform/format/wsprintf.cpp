// The user32 wvsprintfA formatter, for the platforms that have no user32.  See wsprintf.h for
// the behaviour summary; the comments below cover the finer points.
#include "wsprintf.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// Characters that can be stored; one more byte is reserved for the NUL.
constexpr uint32_t kMaxChars = kWsprintfCap - 1;

enum class Kind { NotDirective, Char, WideChar, String, WideString, Signed, Unsigned, Hex };
enum class ArgSize { Int, Pointer, Int64 };

struct Directive {
    bool left = false;  // '-'
    bool alt = false;   // '#': 0x / 0X in front of hex digits
    bool zero = false;  // '0'
    uint32_t width = 0;
    uint32_t precision = 0;  // 0 means "not given" (".0" is the same as none)
    bool longPrefix = false;
    bool shortPrefix = false;
    bool widePrefix = false;
    ArgSize size = ArgSize::Int;
    bool upper = false;
    Kind kind = Kind::NotDirective;
    // Characters after the '%' that the directive swallows.  For a sequence
    // that is not a directive this stops just before the character that broke
    // the parse, so that character and everything after it is copied verbatim.
    size_t length = 0;
};

Directive Parse(const char* start) {
    Directive d;
    const char* p = start;
    if (*p == '-') {
        d.left = true;
        ++p;
    }
    if (*p == '#') {
        d.alt = true;
        ++p;
    }
    if (*p == '0') {
        d.zero = true;
        ++p;
    }
    // Widths and precisions accumulate in 32 unsigned bits and wrap silently.
    while (*p >= '0' && *p <= '9') d.width = d.width * 10u + static_cast<uint32_t>(*p++ - '0');
    if (*p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') d.precision = d.precision * 10u + static_cast<uint32_t>(*p++ - '0');
    }
    switch (*p) {
        case 'l':
            d.longPrefix = true;
            ++p;
            break;
        case 'h':
            d.shortPrefix = true;
            ++p;
            break;
        case 'w':
            d.widePrefix = true;
            ++p;
            break;
        case 'I':
            if (p[1] == '6' && p[2] == '4') {
                d.size = ArgSize::Int64;
                p += 3;
            } else if (p[1] == '3' && p[2] == '2') {
                p += 3;
            } else {
                d.size = ArgSize::Pointer;
                ++p;
            }
            break;
        default:
            break;
    }
    switch (*p) {
        case 'c':
            d.kind = d.longPrefix ? Kind::WideChar : Kind::Char;
            break;
        case 'C':
            d.kind = d.shortPrefix ? Kind::Char : Kind::WideChar;
            break;
        case 'd':
        case 'i':
            d.kind = Kind::Signed;
            break;
        case 'u':
            d.kind = Kind::Unsigned;
            break;
        case 's':
            d.kind = (d.longPrefix || d.widePrefix) ? Kind::WideString : Kind::String;
            break;
        case 'S':
            d.kind = (d.shortPrefix || d.widePrefix) ? Kind::String : Kind::WideString;
            break;
        case 'p':
            // Pointer: always all 16 digits of a 64-bit pointer in upper-case
            // hex, zero-filled; any width given in the format is overridden.
            d.width = 16;
            d.zero = true;
            d.size = ArgSize::Pointer;
            d.upper = true;
            d.kind = Kind::Hex;
            break;
        case 'X':
            d.upper = true;
            d.kind = Kind::Hex;
            break;
        case 'x':
            d.kind = Kind::Hex;
            break;
        default:
            // Not a directive: the parsed flags, width and prefix are dropped
            // and copying resumes at the offending character.
            d.kind = Kind::NotDirective;
            d.length = static_cast<size_t>(p - start);
            return d;
    }
    d.length = static_cast<size_t>(p - start) + 1;
    return d;
}

// Bounded writer over the caller's buffer.  It never stores more than
// kMaxChars characters, whatever the directive arithmetic asks for.
struct Sink {
    char* Buf;
    uint32_t Count;
};

uint32_t Room(const Sink& out) { return kMaxChars - out.Count; }

void Put(Sink& out, char c) {
    if (out.Count < kMaxChars) out.Buf[out.Count++] = c;
}

void Fill(Sink& out, char c, uint32_t n) {
    while (n-- && out.Count < kMaxChars) out.Buf[out.Count++] = c;
}

void Write(Sink& out, const char* s, uint32_t n) {
    if (n > Room(out)) n = Room(out);
    std::memcpy(out.Buf + out.Count, s, n);
    out.Count += n;
}

// One UTF-16 code unit to the ANSI code page.  The machines the tool runs on
// use a Western code page; U+0000..U+007F and U+00A0..U+00FF map to the same
// byte, anything else has no single-byte form here and becomes '?'.
char NarrowUnit(char16_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<char>(u);
    return '?';
}

uint32_t Min(uint32_t a, uint32_t b) { return a < b ? a : b; }

// Pads a body of `n` characters out to `width` on the side the directive asks.
void EmitPadded(Sink& out, const Directive& d, uint32_t width, const char* body, uint32_t n) {
    uint32_t pad = width > n ? width - n : 0;
    if (!d.left) Fill(out, ' ', pad);
    Write(out, body, n);
    if (d.left) Fill(out, ' ', pad);
}

void EmitNumber(Sink& out, const Directive& d, uint32_t width, uint32_t avail, va_list& ap) {
    int64_t raw;
    if (d.size == ArgSize::Int64)
        raw = va_arg(ap, long long);
    else if (d.size == ArgSize::Pointer)
        raw = static_cast<int64_t>(va_arg(ap, intptr_t));
    else
        raw = va_arg(ap, int);

    const bool negative = d.kind == Kind::Signed && raw < 0;
    uint64_t mag = static_cast<uint64_t>(raw);
    if (negative) mag = 0 - mag;
    if (d.size == ArgSize::Int) mag = static_cast<uint32_t>(mag);

    // Sign and digits, most significant first.
    char text[24];
    char rev[24];
    uint32_t nrev = 0;
    const unsigned base = d.kind == Kind::Hex ? 16 : 10;
    const char* digitSet = d.upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        rev[nrev++] = digitSet[mag % base];
        mag /= base;
    } while (mag);
    uint32_t len = 0;
    if (negative) text[len++] = '-';
    while (nrev) text[len++] = rev[--nrev];

    // The field is laid out as [spaces][0x][-][zeros][digits][spaces].
    // "Precision" here is the width of the [-][zeros][digits] part: at least
    // the text itself, the requested precision, or with '0' the whole width.
    // Everything is clipped to what is left of the buffer, which truncates the
    // number from the right.  Note that the minus sign counts towards the
    // precision, so "%.5d" of -42 gives "-0042", and that the 0x prefix does
    // not count towards the width: "%#6x" of 0x1f is "    0x1f" (8 chars) and
    // "%#010x" of 0xff is "0x00000000ff".
    if (len > avail) len = avail;
    uint32_t prec = d.precision > len ? d.precision : len;
    if (prec > avail) prec = avail;
    if (d.zero && width > prec) prec = width;

    const uint32_t pad = width > prec ? width - prec : 0;
    if (!d.left) Fill(out, ' ', pad);
    // The prefix is dropped when fewer than three characters remain.
    if (d.kind == Kind::Hex && d.alt && Room(out) >= 3) {
        Put(out, '0');
        Put(out, d.upper ? 'X' : 'x');
    }
    uint32_t first = 0;
    if (negative) {
        Put(out, '-');
        first = 1;
    }
    Fill(out, '0', prec - len);
    Write(out, text + first, len - first);
    if (d.left) Fill(out, ' ', pad);
}

void Emit(Sink& out, Directive d, va_list& ap) {
    // What a field may occupy: everything left except the NUL.
    const uint32_t avail = Room(out);
    if (d.left) d.zero = false;
    const uint32_t width = Min(d.width, avail);

    switch (d.kind) {
        case Kind::NotDirective:
            // No argument is read, but a right-aligned width still produces
            // its padding (reduced by any precision given).
            if (!d.left && width > d.precision) Fill(out, ' ', width - d.precision);
            return;
        case Kind::Char:
        case Kind::WideChar: {
            const int v = va_arg(ap, int);
            const char c = d.kind == Kind::Char ? static_cast<char>(v) : NarrowUnit(static_cast<char16_t>(v));
            EmitPadded(out, d, width, &c, 1);
            return;
        }
        case Kind::String: {
            const char* s = va_arg(ap, const char*);
            if (!s) s = "(null)";
            uint32_t n = 0;
            while ((d.precision == 0 || n < d.precision) && s[n] && n < avail) ++n;
            EmitPadded(out, d, width, s, n);
            return;
        }
        case Kind::WideString: {
            static const char16_t kNull[] = u"(null)";
            const char16_t* s = va_arg(ap, const char16_t*);
            if (!s) s = kNull;
            char narrow[kWsprintfCap];
            uint32_t n = 0;
            while ((d.precision == 0 || n < d.precision) && s[n] && n < avail) {
                narrow[n] = NarrowUnit(s[n]);
                ++n;
            }
            EmitPadded(out, d, width, narrow, n);
            return;
        }
        case Kind::Signed:
        case Kind::Unsigned:
        case Kind::Hex:
            EmitNumber(out, d, width, avail, ap);
            return;
    }
}

}  // namespace

int WsprintfV(char* out, const char* format, va_list args) {
    va_list ap;
    va_copy(ap, args);
    Sink sink = {out, 0};
    const char* f = format;
    while (*f && Room(sink) > 0) {
        if (*f != '%') {
            Put(sink, *f++);
            continue;
        }
        ++f;
        if (*f == '%') {
            Put(sink, *f++);
            continue;
        }
        const Directive d = Parse(f);
        f += d.length;
        Emit(sink, d, ap);
    }
    out[sink.Count] = '\0';
    va_end(ap);
    // Filling the buffer is reported as the full capacity, NUL included.
    return sink.Count >= kMaxChars ? kWsprintfCap : static_cast<int>(sink.Count);
}

int Wsprintf(char* out, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = WsprintfV(out, format, ap);
    va_end(ap);
    return n;
}
