// wsprintfA over wvsprintfA, the one formatter the program binds.
#include "platform/win32.h"

namespace win {
extern "C" int wsprintfA(char* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int count = wvsprintfA(out, format, args);
    va_end(args);
    return count;
}
}  // namespace win
