// The shared formatter table through user32's own wvsprintfA (table_runner.h),
// built with mingw-w64 and run under Wine by compare.sh.
#include <windows.h>

static int FormatUnderTest(char* out, const char* format, va_list args) { return wvsprintfA(out, format, args); }

#include "table_runner.h"
