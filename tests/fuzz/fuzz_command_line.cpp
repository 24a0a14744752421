// libFuzzer: any command line is split without writing or reading out of bounds,
// and every word and argument reading keeps its promises.
#include <cstring>
#include <string>

#include "sectorsweep.h"
#include "sim/machine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool booted = false;
    if (!booted) {
        sim::Boot(sim::Config());
        booted = true;
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    sim::SetCommandLine(text);
    int count = -1;
    char* words[kMaxWords];
    ParseCommandLine(&count, words);
    if (count < 0 || count > kMaxWords) __builtin_trap();
    if (text.size() >= kMaxCommandLine && count != 0) __builtin_trap();
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += std::strlen(words[i]);
    if (total > text.size()) __builtin_trap();
    if (count >= 2) {
        int disk = -1;
        if (ReadDiskArgument(words[1], &disk) && disk < 0) __builtin_trap();
        if (count == 3) {
            PassMode mode = ReadModeWord(words[2]);
            if (mode != Verify && words[2][1] != 'R' && words[2][1] != 'r') __builtin_trap();
        }
    }
    return 0;
}
