// The shared formatter table through the host's wvsprintfA (table_runner.h).
#include "platform/format/wsprintf.h"

static int FormatUnderTest(char* out, const char* format, va_list args) { return WsprintfV(out, format, args); }

#include "table_runner.h"
