// The process entry routine and the command-line splitter.
#include "sectorsweep.h"

HANDLE ProcessHeap;

namespace {

char CommandLineCopy[kMaxCommandLine];
char EmptyText[1];

}  // namespace

void ParseCommandLine(int* count, char** words) {
    *count = 0;
    const char* line = GetCommandLineA();
    if (lstrlenA(line) >= kMaxCommandLine) {
        words[0] = EmptyText;
        return;
    }
    CopyText(CommandLineCopy, line, kMaxCommandLine);
    if (CommandLineCopy[0] == 0) return;
    char* walk = CommandLineCopy;
    words[0] = walk;
    int n = 1;
    while (*walk != 0) {
        if (*walk == '"') {
            char* close = walk + 1;
            while (*close != 0 && *close != '"') ++close;
            if (*close == 0) break;  // no partner: the rest belongs to this word
            walk = close + 1;
        } else if (*walk == ' ') {
            *walk++ = 0;
            while (*walk == ' ') ++walk;
            if (n == kMaxWords) {
                // The vector is full; a longer line is usage text all the same.
                if (*walk != 0) break;
                *count = n;
                return;
            }
            words[n++] = walk;
        } else {
            ++walk;
        }
    }
    if (n > 1 && *words[n - 1] == 0) --n;
    *count = n;
}

extern "C" [[noreturn]] void Entry() {
    ProcessHeap = GetProcessHeap();
    int count;
    char* words[kMaxWords];
    ParseCommandLine(&count, words);
    ExitProcess(RunMain(count, words));
}
