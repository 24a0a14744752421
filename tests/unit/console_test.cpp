// The two writers and the status-row control on the simulated console.
#include <string>
#include <vector>

#include "unit/fixture.h"

namespace {

std::vector<CHAR_INFO> ReadRow(SHORT row, SHORT width = 80) {
    std::vector<CHAR_INFO> cells(static_cast<size_t>(width));
    SMALL_RECT region = {0, row, static_cast<SHORT>(width - 1), row};
    EXPECT_TRUE(
        ReadConsoleOutputA(GetStdHandle(STD_OUTPUT_HANDLE), cells.data(), COORD{width, 1}, COORD{0, 0}, &region));
    return cells;
}

// ---- Print and PrintError ---------------------------------------------------

TEST(Print, LoneLineFeedsBecomeCrLf) {
    std::string feeds;
    for (int i = 0; i < 511; ++i) feeds += "\r\n";
    const std::string cases[][2] = {
        {"a\nb", "a\r\nb"},
        {"a\r\nb", "a\r\nb"},
        {"\n\n", "\r\n\r\n"},
        {"\nx", "\r\nx"},
        {"50%\r", "50%\r"},
        {"\r\r\n\n", "\r\r\n\r\n"},
        {"\n\r\n", "\r\n\r\n"},
        {"x\n\ry", "x\r\n\ry"},
        {"a\x01\nb", "a\x01\r\nb"},  // control bytes other than the line feed pass as they are
        {"\r\nx", "\r\nx"},
        {"", ""},
        // Long messages are cut at the limit; a line end that no longer fits
        // whole after the expansion is left off.
        {std::string(1500, 'x'), std::string(kMessageSize - 1, 'x')},
        {std::string(1020, 'y') + "\n\n", std::string(1020, 'y') + "\r\n"},
        {std::string(1021, 'z') + "\n", std::string(1021, 'z') + "\r\n"},
        {std::string(1023, '\n'), feeds},
    };
    for (const auto& [text, bytes] : cases) {
        BootMachine();
        EXPECT_EQ(Print("%s", text.c_str()), static_cast<int>(bytes.size())) << text;
        EXPECT_EQ(Stdout(), bytes) << text;
    }
}

TEST(Print, ExpandNewlinesStaysInsideItsBuffer) {
    BootMachine();
    char text[kMessageSize];
    for (int i = 0; i < kMessageSize - 1; ++i) text[i] = i % 2 == 0 ? 'a' : '\n';
    text[kMessageSize - 1] = 0;
    ExpandNewlines(text);
    // 341 times "a\r\n" fill the 1023 characters; the rest is left off.
    std::string result(text);
    EXPECT_EQ(result.size(), static_cast<size_t>(kMessageSize - 1));
    EXPECT_EQ(result.substr(0, 6), "a\r\na\r\n");
    EXPECT_EQ(result.substr(result.size() - 3), "a\r\n");
    EXPECT_EQ(text[kMessageSize - 1], 0);
}

TEST(PrintError, WritesTheTextAsFormatted) {
    BootMachine("stdout: file\nstderr: console\n");
    EXPECT_EQ(PrintError("failed with ERROR_%s\n", "CRC"), 22);
    EXPECT_EQ(Stderr(), "failed with ERROR_CRC\n");
    EXPECT_EQ(Stdout(), "");
    EXPECT_EQ(CountEvents("WriteConsoleA"), 0);  // the console write succeeded at once

    BootMachine("stdout: file\nstderr: file\n");
    EXPECT_EQ(PrintError("\ndifference found -> abort"), 26);
    EXPECT_EQ(PrintError("failed with ERROR_%s\n", "IO_DEVICE"), 28);
    EXPECT_EQ(Stderr(),
              "\ndifference found -> abort"
              "failed with ERROR_IO_DEVICE\n");
    EXPECT_EQ(PrintError("%s", std::string(3000, 'e').c_str()), kMessageSize - 1);
    EXPECT_EQ(Stderr().substr(54), std::string(kMessageSize - 1, 'e'));

    BootMachine("stdout: file\nstderr: pipe\n");
    EXPECT_EQ(PrintError("a\r\nb\n"), 5);
    EXPECT_EQ(Stderr(), "a\r\nb\n");

    BootMachine("stdout: file\nstderr: closed\n");
    EXPECT_EQ(PrintError("failed with ERROR_%s\n", "CRC"), -1);
    EXPECT_EQ(Stderr(), "");
}

TEST(Print, ClosedOutputFails) {
    BootMachine("stdout: closed\n");
    EXPECT_EQ(Print("lost\n"), -1);
}

// ---- EnsureLineStart and ClearStatusLine -------------------------------------

TEST(LineControl, EnsureLineStartBreaksOnlyARowThatShowsText) {
    BootMachine("stdout: console 80x25\n");
    EnsureLineStart();  // blank row, column 0
    EXPECT_EQ(Stdout(), "");

    Print("     ");  // column 5 of a row that is blank all the same
    EnsureLineStart();
    EXPECT_EQ(Stdout(), "     \r\n");
    EXPECT_EQ(sim::Cursor(), std::make_pair(0, 1));

    Print("12 MB  (3.0 MB/s)  -  ETA  1.0 minutes   \r");  // a status line
    EnsureLineStart();
    EXPECT_EQ(sim::Cursor(), std::make_pair(0, 2));
    EXPECT_EQ(Stdout().substr(Stdout().size() - 3), "\r\r\n");

    Print(" ");  // column 1 of a blank row
    EnsureLineStart();
    EXPECT_EQ(sim::Cursor(), std::make_pair(0, 3));
}

// Text anywhere in the cursor's row counts, up to its last column.
TEST(LineControl, TextAnywhereInTheRowCounts) {
    const std::string cases[][3] = {
        {"80x25", std::string(79, ' ') + "x", "columns 0-79"},
        {"80x25", "x", "columns 0-0"},
        {"60x10", std::string(59, ' ') + "x", "columns 0-59"},
        {"1x10", "x", "columns 0-0"},
    };
    for (const auto& [console, row, columns] : cases) {
        const std::string machine = "stdout: console " + console + "\nscreen 0: " + row + "\n";
        BootMachine(machine);
        EnsureLineStart();
        EXPECT_EQ(Stdout(), "\r\n") << console << " " << row.size();
        EXPECT_EQ(sim::LiveHeapBlocks(), 0u) << "the row's copy is freed";
        BootMachine(machine);
        ClearStatusLine();
        EXPECT_EQ(CountEvents("WriteConsoleOutputA row 0 " + columns), 1) << console << " " << row.size();
        EXPECT_TRUE(sim::ScreenRows().empty()) << console << " " << row.size();
        EXPECT_EQ(sim::LiveHeapBlocks(), 0u) << "the row's copy is freed";
        EXPECT_EQ(Stdout(), "\r");
    }
    BootMachine("stdout: console 80x25\nscreen 1: text below the cursor\n");
    EnsureLineStart();
    EXPECT_EQ(Stdout(), "");
}

TEST(LineControl, NothingToDoWithoutAConsole) {
    for (const std::string kind : {"file", "pipe", "nul"}) {
        BootMachine("stdout: " + kind + "\n");
        EXPECT_EQ(ConsoleWidth(), kind == "nul" ? 0 : 9000) << kind;
        EXPECT_EQ(CursorColumn(), 0) << kind;
        EnsureLineStart();
        EXPECT_EQ(Stdout(), "") << kind;
        EXPECT_EQ(CountEvents("write stdout"), 0) << kind;
        ClearStatusLine();
        EXPECT_EQ(Stdout(), kind == "nul" ? "" : "\r") << kind;
        EXPECT_EQ(CountEvents("HeapFree"), 0) << kind;
        EXPECT_EQ(CountEvents("write stdout"), kind == "nul" ? 0 : 1) << kind;
    }
}

TEST(LineControl, ClearStatusLineBlanksTheRowAndKeepsColours) {
    BootMachine("stdout: console 80x25\n");
    Print("\n\n");
    Print("%s\r", std::string(40, '#').c_str());  // text in columns 0 to 39, cursor at column 0 of row 2
    std::vector<CHAR_INFO> cells = ReadRow(2);
    for (int x = 0; x < 80; ++x) cells[static_cast<size_t>(x)].Attributes = static_cast<WORD>(0x10 + x);
    SMALL_RECT region = {0, 2, 79, 2};
    ASSERT_TRUE(WriteConsoleOutputA(GetStdHandle(STD_OUTPUT_HANDLE), cells.data(), COORD{80, 1}, COORD{0, 0}, &region));

    ClearStatusLine();
    const std::vector<std::string>& events = sim::CurrentRecord().Events;
    EXPECT_EQ(events.at(events.size() - 2), "WriteConsoleOutputA row 2 columns 0-39");
    EXPECT_EQ(events.back(), "write stdout \"\\r\"");
    std::vector<CHAR_INFO> after = ReadRow(2);
    for (int x = 0; x < 80; ++x) {
        EXPECT_EQ(after[static_cast<size_t>(x)].Char.AsciiChar, ' ') << x;
        EXPECT_EQ(after[static_cast<size_t>(x)].Attributes, 0x10 + x) << x;
    }
    EXPECT_EQ(sim::Cursor(), std::make_pair(0, 2));

    // An already blank row is not written, the carriage return still is.
    ClearStatusLine();
    EXPECT_EQ(CountEvents("WriteConsoleOutputA row 2"), 2);  // our own write and the first clear
    EXPECT_EQ(sim::CurrentRecord().Events.back(), "write stdout \"\\r\"");
}

TEST(ClosePrompt, KeysNextToTheModifiersEndIt) {
    for (const char* key : {"0x0F", "0x15"}) {
        // The 'A' after it ends a wait that the key did not.
        BootMachine(std::string("stdout: console 80x25\nwindow: own\nkey down ") + key +
                    " later\nkey down 0x41 later\n");
        WaitForKeyToClose();
        EXPECT_EQ(CountEvents("ReadConsoleInputA"), 1) << key;
    }
}

// Each key of the text is released, in order, with its whole scan code: other
// layouts put the C on an odd one (0x17 on a Dvorak keyboard), like the R here.
TEST(SendKeyUps, ReleasesEachKeyWithItsWholeScanCode) {
    BootMachine("stdout: console\n");
    SendKeyUps(u"CR");
    EXPECT_EQ(CountEvents("keybd_event"), 2);
    EXPECT_EQ(CountEvents("keybd_event 0x43 scan 0x2E flags 0x2 extra 0x0"), 1);
    EXPECT_EQ(CountEvents("keybd_event 0x52 scan 0x13 flags 0x2 extra 0x0"), 1);
}

TEST(LineControl, OwnsConsoleWindowOnlyForItsOwnWindow) {
    for (const std::string window : {"own", "shell", "none"}) {
        BootMachine("stdout: console\nwindow: " + window + "\n");
        EXPECT_EQ(OwnsConsoleWindow() != FALSE, window == "own") << window;
    }
}

}  // namespace
