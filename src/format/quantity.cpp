// Size, speed and duration texts, in decimal units with integer arithmetic.
#include "sectorsweep.h"

namespace {

constexpr ULONGLONG kGiga = 1000000000;

char SizeTexts[2][20];
int SizeTextIndex = 1;
char SpeedText[32];
char DurationText[32];

// Inserts a point before the last `decimals` digits of a number text.
void InsertPoint(char* text, int decimals) {
    int length = TextLength(text);
    for (int i = length; i >= length - decimals; --i) text[i + 1] = text[i];
    text[length - decimals] = '.';
}

// bytes / unit rounded half up, for every 64-bit count: bytes + unit / 2 could wrap.
ULONGLONG RoundedUnits(ULONGLONG bytes, ULONGLONG unit) { return bytes / unit + (bytes % unit >= unit / 2 ? 1 : 0); }

void Append(char* text, const char* tail) {
    int length = TextLength(text);
    for (int i = 0;; ++i) {
        text[length + i] = tail[i];
        if (tail[i] == 0) break;
    }
}

}  // namespace

const char* FormatSize(ULONGLONG bytes, int decimals) {
    SizeTextIndex ^= 1;
    char* text = SizeTexts[SizeTextIndex];
    if (bytes < 1000) {
        wsprintfA(text, "%I64u %s", bytes, "");
    } else if (bytes < 2000000) {
        wsprintfA(text, "%I64u %s", RoundedUnits(bytes, 1000), "KB");
    } else if (bytes < kGiga) {
        wsprintfA(text, "%I64u %s", RoundedUnits(bytes, 1000000), "MB");
    } else if (decimals <= 0 || decimals > 3) {
        wsprintfA(text, "%I64u %s", RoundedUnits(bytes, kGiga), "GB");
    } else {
        // (bytes × scale + kGiga / 2) / kGiga, with the whole gigabytes apart so
        // that no product wraps.
        ULONGLONG scale = decimals == 1 ? 10 : decimals == 2 ? 100 : 1000;
        ULONGLONG scaled = bytes / kGiga * scale + (bytes % kGiga * scale + kGiga / 2) / kGiga;
        wsprintfA(text, "%I64u", scaled);
        InsertPoint(text, decimals);
        Append(text, " GB");
    }
    return text;
}

const char* FormatSpeed(ULONGLONG bytes, DWORD milliseconds) {
    if (milliseconds == 0) milliseconds = 1;
    // The rate in bytes per second, bytes × 1000 / milliseconds, could wrap past a
    // million bytes per millisecond; there only its gigabyte tenths are needed.
    ULONGLONG perMs = bytes / milliseconds;
    ULONGLONG rate = perMs <= 1000000 ? perMs * 1000 + bytes % milliseconds * 1000 / milliseconds : ~0ull;
    if (rate <= 1000) {
        wsprintfA(SpeedText, "%I64i B/s", rate);
        return SpeedText;
    }
    ULONGLONG tenths;
    const char* unit;
    if (rate <= 1000000) {
        tenths = (rate * 10 + 500) / 1000;
        unit = " KB/s";
    } else if (rate <= kGiga) {
        tenths = (rate + 50000) / 100000;
        unit = " MB/s";
    } else {
        // (rate × 10 + kGiga / 2) / kGiga: the rate's digits below a thousand
        // never carry into it, so it is taken from the bytes per millisecond.
        tenths = RoundedUnits(perMs, 100000);
        unit = " GB/s";
    }
    wsprintfA(SpeedText, "%I64i", tenths);
    InsertPoint(SpeedText, 1);
    Append(SpeedText, unit);
    return SpeedText;
}

const char* FormatDuration(ULONGLONG milliseconds) {
    ULONGLONG hours = milliseconds / 3600000;
    ULONGLONG rest = milliseconds % 3600000;
    ULONGLONG minutes = (rest / 1000) / 60;
    ULONGLONG seconds = (rest - minutes * 60000) / 1000;
    if (hours > 0) {
        wsprintfA(DurationText, "%2I64u.%I64u hours", hours, minutes * 10 / 60);
    } else if (minutes > 0) {
        wsprintfA(DurationText, "%2I64u.%I64u minutes", minutes, seconds * 10 / 60);
    } else {
        wsprintfA(DurationText, "%2I64u.%I64u seconds", seconds, (rest - minutes * 60000 - seconds * 1000) / 100);
    }
    return DurationText;
}
