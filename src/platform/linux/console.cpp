// The console on Linux: the standard descriptors, and a terminal for a console.
// A terminal's screen cannot be read back, so the platform keeps the cursor's row
// itself: every byte written to a standard descriptor that is a terminal goes
// through one lock that writes it and updates the row, and the row is what the
// screen-buffer calls read and write. The width is the terminal's (TIOCGWINSZ).
// Redirected output is a file or a pipe, as on Windows. There is no console
// window and no console input: the process never owns the terminal, so the
// close prompt never shows.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/linux/internal.h"

namespace lin {
namespace {

struct StdRecord {
    int Fd;
};

StdRecord StdRecords[3] = {{0}, {1}, {2}};

constexpr int kMaxWidth = 4096;

// The cursor's row as this process has written it.
struct RowModel {
    char Cells[kMaxWidth];
    int Column;
};

RowModel Row = {{}, 0};
pthread_mutex_t ConsoleLock = PTHREAD_MUTEX_INITIALIZER;

int StdFdOf(HANDLE handle) {
    for (StdRecord& record : StdRecords)
        if (handle == &record) return record.Fd;
    return -1;
}

// A standard output descriptor that is a terminal: 1 or 2, else -1.
int ConsoleFdOf(HANDLE handle) {
    int fd = StdFdOf(handle);
    return (fd == 1 || fd == 2) && IsTerminal(fd) ? fd : -1;
}

void TerminalSize(int fd, int* width, int* rows) {
    winsize size = {};
    *width = 80;
    *rows = 24;
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        *width = size.ws_col;
        *rows = size.ws_row > 0 ? size.ws_row : 24;
    }
    if (*width > kMaxWidth) *width = kMaxWidth;
    if (*rows > 32767) *rows = 32767;
}

void ClearRow() {
    for (char& cell : Row.Cells) cell = ' ';
    Row.Column = 0;
}

// What a byte does to the cursor's row. A printable byte at the right edge
// goes to a new row first, as terminals wrap; the continuation bytes of UTF-8
// take no column.
void Track(char c, int width) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '\r') {
        Row.Column = 0;
    } else if (c == '\n') {
        ClearRow();
    } else if (c == '\b') {
        if (Row.Column > 0) --Row.Column;
    } else if (c == '\t') {
        Row.Column = (Row.Column / 8 + 1) * 8;
        if (Row.Column > width - 1) Row.Column = width - 1;
    } else if (u >= 0x20 && u != 0x7F && (u < 0x80 || u >= 0xC0)) {
        if (Row.Column >= width) ClearRow();
        Row.Cells[Row.Column++] = c;
    }
}

bool WriteAll(int fd, const char* text, DWORD length) {
    DWORD done = 0;
    while (done < length) {
        ssize_t wrote = write(fd, text + done, length - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return FailErrno();
        done += static_cast<DWORD>(wrote);
    }
    return true;
}

// Writes to a standard descriptor; on a terminal the row follows the bytes.
BOOL WriteStd(int fd, const char* text, DWORD length, DWORD* written) {
    if (written != nullptr) *written = 0;
    bool terminal = IsTerminal(fd);
    if (terminal) pthread_mutex_lock(&ConsoleLock);
    bool ok = WriteAll(fd, text, length);
    if (ok && terminal) {
        int width = 0, rows = 0;
        TerminalSize(fd, &width, &rows);
        for (DWORD i = 0; i < length; ++i) Track(text[i], width);
    }
    if (terminal) pthread_mutex_unlock(&ConsoleLock);
    if (!ok) return FALSE;
    if (written != nullptr) *written = length;
    return TRUE;
}

// "\x1b[nC": the cursor n columns to the right.
void MoveRight(char* out, int capacity, int columns) {
    if (columns <= 0) return;
    Append(out, capacity, "\x1b[");
    AppendNumber(out, capacity, static_cast<unsigned long long>(columns));
    Append(out, capacity, "C");
}

}  // namespace

bool IsTerminal(int fd) { return isatty(fd) == 1; }

}  // namespace lin

using namespace lin;

namespace win {
extern "C" {

HANDLE GetStdHandle(DWORD which) {
    int fd = which == STD_INPUT_HANDLE ? 0 : which == STD_OUTPUT_HANDLE ? 1 : which == STD_ERROR_HANDLE ? 2 : -1;
    if (fd < 0) {
        Fail(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    // A descriptor the process was started without is no handle.
    if (fcntl(fd, F_GETFD) < 0) return nullptr;
    return &StdRecords[fd];
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes, DWORD* bytesWritten, OVERLAPPED*) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    int fd = StdFdOf(file);
    if (fd == 1 || fd == 2) return WriteStd(fd, static_cast<const char*>(buffer), bytes, bytesWritten);
    // Standard input, and every device: nothing is ever written to a disk.
    if (fd == 0 || Find(file, HandleKind::Device) != nullptr) return Fail(ERROR_ACCESS_DENIED);
    return Fail(ERROR_INVALID_HANDLE);
}

BOOL FlushFileBuffers(HANDLE file) {
    int fd = StdFdOf(file);
    if (fd < 0 || IsTerminal(fd)) return Fail(ERROR_INVALID_HANDLE);
    return fsync(fd) == 0 || errno == EINVAL ? TRUE : FailErrno();
}

DWORD GetFileType(HANDLE file) {
    int fd = StdFdOf(file);
    if (fd < 0) {
        if (Find(file, HandleKind::Device) != nullptr) return FILE_TYPE_DISK;
        Fail(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    struct stat status;
    if (fstat(fd, &status) != 0) {
        Fail(ERROR_INVALID_HANDLE);
        return FILE_TYPE_UNKNOWN;
    }
    if (S_ISCHR(status.st_mode)) return FILE_TYPE_CHAR;
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return FILE_TYPE_PIPE;
    return FILE_TYPE_DISK;
}

BOOL WriteConsoleA(HANDLE console, const void* text, DWORD length, DWORD* written, void*) {
    int fd = ConsoleFdOf(console);
    if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
    return WriteStd(fd, static_cast<const char*>(text), length, written);
}

// The cursor stands on the bottom row of a terminal of the terminal's size.
BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info) {
    int fd = ConsoleFdOf(console);
    if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
    int width = 0, rows = 0;
    TerminalSize(fd, &width, &rows);
    pthread_mutex_lock(&ConsoleLock);
    int column = Row.Column < width ? Row.Column : width - 1;
    pthread_mutex_unlock(&ConsoleLock);
    info->dwSize = {static_cast<SHORT>(width), static_cast<SHORT>(rows)};
    info->dwCursorPosition = {static_cast<SHORT>(column), static_cast<SHORT>(rows - 1)};
    info->wAttributes = 7;
    info->srWindow = {0, 0, static_cast<SHORT>(width - 1), static_cast<SHORT>(rows - 1)};
    info->dwMaximumWindowSize = info->dwSize;
    return TRUE;
}

// The cursor's row reads as written; the rows above it, which the process
// cannot know, as blanks.
BOOL ReadConsoleOutputA(HANDLE console, CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT* region) {
    int fd = ConsoleFdOf(console);
    if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
    int width = 0, rows = 0;
    TerminalSize(fd, &width, &rows);
    if (region->Top < 0 || region->Top >= rows || region->Left < 0) return Fail(ERROR_INVALID_PARAMETER);
    int right = region->Right < width - 1 ? region->Right : width - 1;
    pthread_mutex_lock(&ConsoleLock);
    for (int x = region->Left; x <= right; ++x) {
        int index = origin.Y * size.X + (x - region->Left + origin.X);
        if (index < 0 || index >= size.X * size.Y) break;
        char c = region->Top == rows - 1 ? Row.Cells[x] : ' ';
        cells[index].Char.UnicodeChar = c != 0 ? static_cast<unsigned char>(c) : u' ';  // never written: blank
        cells[index].Attributes = 7;
    }
    pthread_mutex_unlock(&ConsoleLock);
    region->Right = static_cast<SHORT>(right);
    region->Bottom = region->Top;
    return TRUE;
}

// Cells written to the cursor's row: the terminal gets them at their columns,
// and the cursor goes back where it stood.
BOOL WriteConsoleOutputA(HANDLE console, const CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT* region) {
    int fd = ConsoleFdOf(console);
    if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
    int width = 0, rows = 0;
    TerminalSize(fd, &width, &rows);
    int right = region->Right < width - 1 ? region->Right : width - 1;
    if (origin.Y >= size.Y || origin.X >= size.X) right = region->Left - 1;
    if (right > region->Left + size.X - origin.X - 1) right = region->Left + size.X - origin.X - 1;
    region->Right = static_cast<SHORT>(right);
    if (region->Top != rows - 1 || right < region->Left) return TRUE;
    static char text[kMaxWidth + 64];
    pthread_mutex_lock(&ConsoleLock);
    text[0] = 0;
    Append(text, sizeof text, "\r");
    MoveRight(text, sizeof text, region->Left);
    int length = Length(text);
    for (int x = region->Left; x <= right; ++x) {
        char c = cells[origin.Y * size.X + (x - region->Left + origin.X)].Char.AsciiChar;
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        text[length++] = c;
        Row.Cells[x] = c;
    }
    text[length] = 0;
    Append(text, sizeof text, "\r");
    MoveRight(text, sizeof text, Row.Column < width ? Row.Column : width - 1);
    bool ok = WriteAll(fd, text, static_cast<DWORD>(Length(text)));
    pthread_mutex_unlock(&ConsoleLock);
    return ok ? TRUE : FALSE;
}

HWND GetConsoleWindow() { return nullptr; }

BOOL FlushConsoleInputBuffer(HANDLE) { return Fail(ERROR_INVALID_HANDLE); }

BOOL ReadConsoleInputA(HANDLE, INPUT_RECORD*, DWORD, DWORD* read) {
    if (read != nullptr) *read = 0;
    return Fail(ERROR_INVALID_HANDLE);
}

// No keyboard to send keys to.
UINT MapVirtualKeyA(UINT, UINT) { return 0; }
void keybd_event(BYTE, BYTE, DWORD, ULONG_PTR) {}

DWORD GetWindowThreadProcessId(HWND window, DWORD*) {
    if (window == nullptr) Fail(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
}

}  // extern "C"
}  // namespace win
