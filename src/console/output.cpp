// The two formatted writers: Print to standard output, PrintError to standard error.
#include "sectorsweep.h"

void ExpandNewlines(char* text) {
    char scratch[kMessageSize];
    int out = 0;
    for (int i = 0; text[i] != 0 && out < kMessageSize - 1; ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
            // A line end that would not fit whole is left off.
            if (out + 2 > kMessageSize - 1) break;
            scratch[out++] = '\r';
        }
        scratch[out++] = text[i];
    }
    scratch[out] = 0;
    for (int i = 0; i < kMessageSize; ++i) text[i] = i <= out ? scratch[i] : 0;
}

int Print(const char* format, ...) {
    char message[kMessageSize];
    message[0] = 0;
    va_list args;
    va_start(args, format);
    wvsprintfA(message, format, args);
    va_end(args);
    message[kMessageSize - 1] = 0;  // the formatter stops at the limit; the text is cut there
    ExpandNewlines(message);
    DWORD length = static_cast<DWORD>(lstrlenA(message));
    DWORD written = 0;
    if (!WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), message, length, &written, nullptr)) return -1;
    return static_cast<int>(written);
}

int PrintError(const char* format, ...) {
    char message[kMessageSize];
    message[0] = 0;
    va_list args;
    va_start(args, format);
    int count = wvsprintfA(message, format, args);
    va_end(args);
    if (count < 0) count = 0;
    if (count > kMessageSize - 1) count = kMessageSize - 1;
    DWORD written = 0;
    if (WriteConsoleA(GetStdHandle(STD_ERROR_HANDLE), message, static_cast<DWORD>(count), &written, nullptr))
        return static_cast<int>(written);
    if (GetLastError() != ERROR_INVALID_HANDLE) return -1;
    if (!WriteFile(GetStdHandle(STD_ERROR_HANDLE), message, static_cast<DWORD>(count), &written, nullptr)) return -1;
    return static_cast<int>(written);
}
