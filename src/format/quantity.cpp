// Size, speed and duration texts, in decimal units with integer arithmetic.
#include "sectorsweep.h"

namespace {

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
        wsprintfA(text, "%I64u %s", (bytes + 500) / 1000, "KB");
    } else if (bytes < 1000000000) {
        wsprintfA(text, "%I64u %s", (bytes + 500000) / 1000000, "MB");
    } else if (decimals <= 0 || decimals > 3) {
        wsprintfA(text, "%I64u %s", (bytes + 500000000) / 1000000000, "GB");
    } else {
        ULONGLONG scale = decimals == 1 ? 10 : decimals == 2 ? 100 : 1000;
        wsprintfA(text, "%I64u", (bytes * scale + 500000000) / 1000000000);
        InsertPoint(text, decimals);
        Append(text, " GB");
    }
    return text;
}

const char* FormatSpeed(ULONGLONG bytes, DWORD milliseconds) {
    if (milliseconds == 0) milliseconds = 1;
    ULONGLONG rate = bytes * 1000 / milliseconds;
    if (rate <= 1000) {
        wsprintfA(SpeedText, "%I64i B/s", rate);
        return SpeedText;
    }
    ULONGLONG tenths;
    const char* unit;
    if (rate <= 1000000) {
        tenths = (rate * 10 + 500) / 1000;
        unit = " KB/s";
    } else if (rate <= 1000000000) {
        tenths = (rate + 50000) / 100000;
        unit = " MB/s";
    } else {
        tenths = (rate * 10 + 500000000) / 1000000000;
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
