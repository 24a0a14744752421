// The console on the simulated machine: the standard handles, a screen buffer
// that the output really updates, the input queue, and the console window.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "sim/internal.h"

namespace sim {
namespace {

Cell& At(int x, int y) { return M->Screen[static_cast<size_t>(y * M->Cfg.Width + x)]; }

void NewLine() {
    M->CursorX = 0;
    if (++M->CursorY < M->Cfg.Rows) return;
    M->Screen.erase(M->Screen.begin(), M->Screen.begin() + M->Cfg.Width);
    M->Screen.resize(static_cast<size_t>(M->Cfg.Width * M->Cfg.Rows));
    M->CursorY = M->Cfg.Rows - 1;
}

void ConsoleWrite(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\r') {
            M->CursorX = 0;
        } else if (c == '\n') {
            NewLine();
        } else {
            At(M->CursorX, M->CursorY).Ch = c;
            if (++M->CursorX == M->Cfg.Width) NewLine();
        }
    }
}

StdKind KindOf(int which) {
    if (which == 0) return M->Cfg.StdinConsole ? StdKind::Console : StdKind::File;
    return which == 1 ? M->Cfg.Stdout : M->Cfg.Stderr;
}

HANDLE StdHandle(int which) {
    if (KindOf(which) == StdKind::Closed) return nullptr;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x10 + 4 * which));
}

// An output handle that is a console screen buffer: 1 or 2, else 0.
int ConsoleOutput(HANDLE console) {
    int which = 0;
    return KindOfStd(console, &which) == StdKind::Console && which != 0 ? which : 0;
}

}  // namespace

StdKind KindOfStd(HANDLE handle, int* which) {
    uintptr_t id = reinterpret_cast<uintptr_t>(handle);
    if (id != 0x10 && id != 0x14 && id != 0x18) return StdKind::Closed;
    *which = static_cast<int>((id - 0x10) / 4);
    return KindOf(*which);
}

BOOL WriteStd(int which, StdKind kind, const char* text, DWORD length) {
    if (kind != StdKind::Nul && M->Cfg.Record) (which == 1 ? M->Rec.Stdout : M->Rec.Stderr).append(text, length);
    if (kind == StdKind::Console) ConsoleWrite(text, length);
    if (M->Cfg.Echo) {
        ssize_t ignored = write(which, text, length);
        (void)ignored;
    }
    Event(std::string("write ") + (which == 1 ? "stdout" : "stderr") + " \"" + Escape(text, length, false) + "\"");
    return TRUE;
}

void PlaceScreenText() {
    const Config& config = M->Cfg;
    M->Screen.assign(static_cast<size_t>(config.Width * config.Rows), Cell());
    for (auto& [row, text] : config.ScreenText)
        for (size_t x = 0; x < text.size() && static_cast<int>(x) < config.Width; ++x)
            At(static_cast<int>(x), static_cast<int>(row)).Ch = text[x];
    for (const InputEvent& input : config.Input) {
        INPUT_RECORD record = {};
        record.EventType = input.Type;
        if (input.Type == KEY_EVENT) {
            record.Event.KeyEvent.bKeyDown = input.KeyDown;
            record.Event.KeyEvent.wVirtualKeyCode = input.Key;
            record.Event.KeyEvent.wRepeatCount = 1;
        } else {
            // What such records carry first: a mouse position, focus gained, a menu
            // command, the new buffer size. Read as a key record, it is a key press.
            DWORD first = input.Type == MOUSE_EVENT   ? 0x00050003u
                          : input.Type == FOCUS_EVENT ? 1u
                          : input.Type == MENU_EVENT  ? 0x100u
                                                      : 0x00190050u;
            std::memcpy(record.Event.Other, &first, sizeof first);
        }
        (input.Later ? M->Later : M->Queue).push_back(record);
    }
}

std::pair<int, int> Cursor() { return {M->CursorX, M->CursorY}; }

std::vector<std::string> ScreenRows() {
    std::vector<std::string> rows;
    for (int y = 0; y < M->Cfg.Rows; ++y) {
        std::string row;
        for (int x = 0; x < M->Cfg.Width; ++x) row += At(x, y).Ch;
        row.erase(row.find_last_not_of(' ') + 1);
        rows.push_back(row);
    }
    while (!rows.empty() && rows.back().empty()) rows.pop_back();
    return rows;
}

}  // namespace sim

using namespace sim;

namespace win {
extern "C" {

HANDLE GetStdHandle(DWORD which) {
    CallGuard guard;
    if (which == STD_INPUT_HANDLE) return StdHandle(0);
    if (which == STD_OUTPUT_HANDLE) return StdHandle(1);
    if (which == STD_ERROR_HANDLE) return StdHandle(2);
    LastError = ERROR_INVALID_HANDLE;
    return INVALID_HANDLE_VALUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes, DWORD* bytesWritten, OVERLAPPED*) {
    CallGuard guard;
    if (bytesWritten != nullptr) *bytesWritten = 0;
    int which = 0;
    StdKind kind = KindOfStd(file, &which);
    if (kind == StdKind::Closed) {
        if (Object* object = Find(file);
            object != nullptr && object->What != Kind::VolumeSearch && object->What != Kind::DeviceSet) {
            CountWrite("WriteFile to " + object->Name);
            return Fail(ERROR_ACCESS_DENIED);
        }
        Event("WriteFile invalid handle");
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (which == 0) return Fail(ERROR_ACCESS_DENIED);
    const char* text = static_cast<const char*>(buffer);
    // A full file or a pipe whose reader is gone: `fail at "write stdout"`.
    std::string call =
        std::string("write ") + (which == 1 ? "stdout" : "stderr") + " \"" + Escape(text, bytes, false) + "\"";
    if (DWORD error = InjectedError(call)) {
        Event(call + " -> fail " + std::to_string(error));
        return Fail(error);
    }
    WriteStd(which, kind, text, bytes);
    if (bytesWritten != nullptr) *bytesWritten = bytes;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    CallGuard guard;
    int which = 0;
    StdKind kind = KindOfStd(file, &which);
    Event("FlushFileBuffers");
    if (kind == StdKind::File || kind == StdKind::Pipe) return TRUE;
    return Fail(ERROR_INVALID_HANDLE);
}

DWORD GetFileType(HANDLE file) {
    CallGuard guard;
    int which = 0;
    switch (KindOfStd(file, &which)) {
        case StdKind::Console:
        case StdKind::Nul:
            return FILE_TYPE_CHAR;
        case StdKind::File:
            return FILE_TYPE_DISK;
        case StdKind::Pipe:
            return FILE_TYPE_PIPE;
        case StdKind::Closed:
            break;
    }
    if (Find(file) != nullptr) return FILE_TYPE_DISK;
    LastError = ERROR_INVALID_HANDLE;
    return FILE_TYPE_UNKNOWN;
}

BOOL WriteConsoleA(HANDLE console, const void* text, DWORD length, DWORD* written, void*) {
    CallGuard guard;
    int which = ConsoleOutput(console);
    if (which == 0) {
        Event("WriteConsoleA -> fail 6");
        return Fail(ERROR_INVALID_HANDLE);
    }
    WriteStd(which, StdKind::Console, static_cast<const char*>(text), length);
    if (written != nullptr) *written = length;
    return TRUE;
}

BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info) {
    CallGuard guard;
    if (ConsoleOutput(console) == 0) return Fail(ERROR_INVALID_HANDLE);
    info->dwSize = {static_cast<SHORT>(M->Cfg.Width), static_cast<SHORT>(M->Cfg.Rows)};
    info->dwCursorPosition = {static_cast<SHORT>(M->CursorX), static_cast<SHORT>(M->CursorY)};
    info->wAttributes = 7;
    info->srWindow = {0, 0, static_cast<SHORT>(M->Cfg.Width - 1), static_cast<SHORT>(M->Cfg.Rows - 1)};
    info->dwMaximumWindowSize = info->dwSize;
    return TRUE;
}

BOOL ReadConsoleOutputA(HANDLE console, CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT* region) {
    CallGuard guard;
    if (ConsoleOutput(console) == 0) return Fail(ERROR_INVALID_HANDLE);
    if (region->Top < 0 || region->Top >= M->Cfg.Rows || region->Left < 0) return Fail(ERROR_INVALID_PARAMETER);
    int right = std::min<int>(region->Right, M->Cfg.Width - 1);
    for (int x = region->Left; x <= right; ++x) {
        int index = origin.Y * size.X + (x - region->Left + origin.X);
        if (index >= size.X * size.Y) return Fail(ERROR_INVALID_PARAMETER);
        cells[index].Char.UnicodeChar = static_cast<unsigned char>(At(x, region->Top).Ch);
        cells[index].Attributes = At(x, region->Top).Attr;
    }
    region->Right = static_cast<SHORT>(right);
    region->Bottom = region->Top;
    return TRUE;
}

BOOL WriteConsoleOutputA(HANDLE console, const CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT* region) {
    CallGuard guard;
    if (ConsoleOutput(console) == 0) return Fail(ERROR_INVALID_HANDLE);
    // The cells written are clipped to the screen and to the caller's buffer of size.X by size.Y.
    int right = std::min<int>(region->Right, M->Cfg.Width - 1);
    if (origin.Y >= size.Y || origin.X >= size.X) right = region->Left - 1;
    right = std::min<int>(right, region->Left + size.X - origin.X - 1);
    for (int x = region->Left; x <= right; ++x) {
        int index = origin.Y * size.X + (x - region->Left + origin.X);
        At(x, region->Top).Ch = cells[index].Char.AsciiChar;
        At(x, region->Top).Attr = cells[index].Attributes;
    }
    region->Right = static_cast<SHORT>(right);
    Event("WriteConsoleOutputA row " + std::to_string(region->Top) + " columns " + std::to_string(region->Left) + "-" +
          std::to_string(right));
    return TRUE;
}

HWND GetConsoleWindow() {
    CallGuard guard;
    if (M->Cfg.ConsoleWindow == Window::None) return nullptr;
    return reinterpret_cast<HWND>(0xC0DE);
}

BOOL FlushConsoleInputBuffer(HANDLE input) {
    CallGuard guard;
    Event("FlushConsoleInputBuffer");
    int which = 0;
    if (KindOfStd(input, &which) != StdKind::Console || which != 0) return Fail(ERROR_INVALID_HANDLE);
    M->Queue.clear();
    return TRUE;
}

BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* records, DWORD length, DWORD* read) {
    CallGuard guard;
    Event("ReadConsoleInputA");
    int which = 0;
    if (KindOfStd(input, &which) != StdKind::Console || which != 0 || length == 0) return Fail(ERROR_INVALID_HANDLE);
    if (M->Queue.empty()) {  // what arrives after the flush arrives at once
        M->Queue = M->Later;
        M->Later.clear();
    }
    if (M->Queue.empty()) BlockForever();  // waits for input that never comes
    // As many of the waiting records as the buffer holds, as Windows gives them.
    DWORD count = 0;
    for (; count < length && !M->Queue.empty(); ++count) {
        records[count] = M->Queue.front();
        M->Queue.erase(M->Queue.begin());
    }
    *read = count;
    return TRUE;
}

UINT MapVirtualKeyA(UINT code, UINT mapType) {
    CallGuard guard;
    Bind("USER32.dll");
    if (mapType != MAPVK_VK_TO_VSC) return 0;
    // The letter keys of a US keyboard, row by row.
    const struct {
        const char* Keys;
        UINT First;
    } rows[] = {{"QWERTYUIOP", 0x10}, {"ASDFGHJKL", 0x1E}, {"ZXCVBNM", 0x2C}};
    for (const auto& row : rows)
        for (UINT i = 0; row.Keys[i] != 0; ++i)
            if (code == static_cast<unsigned char>(row.Keys[i])) return row.First + i;
    return 0;
}

void keybd_event(BYTE key, BYTE scan, DWORD flags, ULONG_PTR extra) {
    CallGuard guard;
    Bind("USER32.dll");
    Event("keybd_event " + Hex(key) + " scan " + Hex(scan) + " flags " + Hex(flags) + " extra " + Hex(extra));
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
    CallGuard guard;
    constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
    Bind("USER32.dll");
    if (window == nullptr) return Fail(ERROR_INVALID_WINDOW_HANDLE), 0;
    *processId = M->Cfg.ConsoleWindow == Window::Own ? kProcessId : kShellProcessId;
    return 77;
}

}  // extern "C"
}  // namespace win
