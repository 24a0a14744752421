// Runs the shared formatter table through user32's own wvsprintfA and prints
// one line per case, byte for byte like the host program.  Built with
// mingw-w64 and run under Wine by compare.sh.
#include <windows.h>

#include <cstdio>

static int FormatUnderTest(char* out, const char* format, va_list args) { return wvsprintfA(out, format, args); }

#include "table_runner.h"

int main() {
    const std::string& report = table::RunAll();
    // WriteFile rather than stdio so no CR is inserted before each LF.
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    const char* p = report.data();
    size_t left = report.size();
    while (left > 0) {
        DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return 1;
        p += written;
        left -= written;
    }
    return 0;
}
