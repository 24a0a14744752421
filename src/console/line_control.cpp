// Status-row control on the console screen buffer, and the close prompt.
#include "sectorsweep.h"

namespace {

HANDLE Output() { return GetStdHandle(STD_OUTPUT_HANDLE); }

CONSOLE_SCREEN_BUFFER_INFO ScreenInfo() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    FillBytes(&info, 0, sizeof info);
    GetConsoleScreenBufferInfo(Output(), &info);
    return info;
}

// Reads the cursor's row into a fresh row buffer the caller frees; none when
// the console has no width.
CHAR_INFO* ReadCursorRow(SHORT* width, SHORT* row, BOOL* readOk) {
    *width = ConsoleWidth();
    if (*width <= 0) return nullptr;
    *row = CursorRow();
    CHAR_INFO* cells = static_cast<CHAR_INFO*>(AllocZeroed(sizeof(CHAR_INFO) * static_cast<ULONGLONG>(*width)));
    SMALL_RECT region = {0, *row, static_cast<SHORT>(*width - 1), *row};
    *readOk = ReadConsoleOutputA(Output(), cells, COORD{*width, 1}, COORD{0, 0}, &region);
    return cells;
}

bool IsQualifyingKey(const INPUT_RECORD& record) {
    if (record.EventType != KEY_EVENT) return false;
    WORD key = record.Event.KeyEvent.wVirtualKeyCode;
    return (key < 16 || key > 20) && record.Event.KeyEvent.bKeyDown;
}

}  // namespace

SHORT ConsoleWidth() {
    if (GetFileType(Output()) != FILE_TYPE_CHAR) return 9000;
    return ScreenInfo().dwSize.X;
}

SHORT CursorColumn() { return ScreenInfo().dwCursorPosition.X; }

SHORT CursorRow() { return ScreenInfo().dwCursorPosition.Y; }

void EnsureLineStart() {
    if (CursorColumn() > 0) {
        Print("\n");
        return;
    }
    SHORT width = 0, row = 0;
    BOOL readOk = FALSE;
    CHAR_INFO* cells = ReadCursorRow(&width, &row, &readOk);
    if (cells == nullptr) return;
    if (readOk) {
        for (SHORT column = 0; column < width; ++column) {
            if (cells[column].Char.AsciiChar != ' ') {
                Print("\n");
                break;
            }
        }
    }
    FreeChecked(cells);
}

void ClearStatusLine() {
    SHORT width = 0, row = 0;
    BOOL readOk = FALSE;
    CHAR_INFO* cells = ReadCursorRow(&width, &row, &readOk);
    if (cells == nullptr) return;
    if (readOk) {
        SHORT last = -1;
        for (SHORT column = 0; column < width; ++column) {
            if (cells[column].Char.UnicodeChar != 0x0020) {
                cells[column].Char.UnicodeChar = 0x0020;
                last = column;
            }
        }
        if (last >= 0) {
            SMALL_RECT region = {0, row, last, row};
            WriteConsoleOutputA(Output(), cells, COORD{width, 1}, COORD{0, 0}, &region);
        }
    }
    FreeChecked(cells);
    Print("\r");
}

bool OwnsConsoleWindow() {
    DWORD processId = 0;
    GetWindowThreadProcessId(GetConsoleWindow(), &processId);
    return processId == GetCurrentProcessId();
}

void WaitForKeyToClose() {
    if (GetFileType(Output()) != FILE_TYPE_CHAR) return;
    if (!OwnsConsoleWindow()) return;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    Sleep(300);
    FlushConsoleInputBuffer(input);
    Print("Press any key to close");
    for (;;) {
        Sleep(100);
        INPUT_RECORD record;
        FillBytes(&record, 0, sizeof record);
        DWORD read = 0;
        // Input that is not a console cannot deliver a key: stop waiting.
        if (!ReadConsoleInputA(input, &record, 1, &read)) return;
        if (read == 1 && IsQualifyingKey(record)) return;
    }
}
