// Runs the shared formatter table through the simulated wvsprintfA and
// prints one line per case (see table_runner.h for the line layout).
#include <cstdio>

#include "platform/format/wsprintf.h"

static int FormatUnderTest(char* out, const char* format, va_list args) { return WsprintfV(out, format, args); }

#include "table_runner.h"

int main() {
    const std::string& report = table::RunAll();
    return std::fwrite(report.data(), 1, report.size(), stdout) == report.size() ? 0 : 1;
}
