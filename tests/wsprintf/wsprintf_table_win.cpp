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
    DWORD written = 0;
    BOOL ok =
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    return ok && written == report.size() ? 0 : 1;
}
