// The process entry on Linux: the C library starts the process and hands over
// the arguments; the program's own entry routine takes it from there.
#include <signal.h>

#include "platform/linux/internal.h"

extern "C" [[noreturn]] void Entry();

int main(int count, char** words) {
    lin::SetArguments(count, words);
    // A closed pipe is an error of the write, as on Windows, not the end of the process.
    signal(SIGPIPE, SIG_IGN);
    Entry();
}
