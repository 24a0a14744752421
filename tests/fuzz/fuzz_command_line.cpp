// libFuzzer: any command line is split without writing or reading out of bounds,
// and the whole dispatch, run on a simulated machine, ends as a short model of
// the command-line rules of its own says: the exit code, which disk is opened,
// with which access, and in which mode.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sectorsweep.h"
#include "sim/machine.h"
#include "sim/scenario.h"

namespace {

// Disk 0 can be read, disk 1 only queried (no administrator rights); there is
// no other. Both are smaller than a chunk, so every pass is one request.
const char kMachine[] = R"(
stdout: file
disk 0 size=4096
disk 1 size=4096 open=query-only
)";

// ---- the model ------------------------------------------------------------------

// Blanks separate words outside double quotes; a quote without a partner takes
// the rest of the line; a line ending in blanks has no empty last word.
std::vector<std::string> ModelWords(const std::string& line) {
    std::vector<std::string> words;
    if (line.empty() || line.size() >= kMaxCommandLine) return words;
    std::string word;
    size_t i = 0;
    while (i < line.size()) {
        if (line[i] == '"') {
            size_t close = line.find('"', i + 1);
            if (close == std::string::npos) {
                word += line.substr(i);
                break;
            }
            word += line.substr(i, close + 1 - i);
            i = close + 1;
        } else if (line[i] == ' ') {
            words.push_back(word);
            word.clear();
            while (i < line.size() && line[i] == ' ') ++i;
        } else {
            word += line[i++];
        }
    }
    words.push_back(word);
    if (words.size() > 1 && words.back().empty()) words.pop_back();
    return words;
}

// Drops `prefix` from the front of `text`, in any case.
void SkipCaseless(std::string* text, const char* prefix) {
    if (strncasecmp(text->c_str(), prefix, std::strlen(prefix)) == 0) text->erase(0, std::strlen(prefix));
}

// The disk number, or -1 when the word is not a disk argument.
long long ModelDisk(std::string word) {
    SkipCaseless(&word, "disk");
    SkipCaseless(&word, "\\\\.\\pd");
    SkipCaseless(&word, "\\\\.\\PhysicalDrive");
    long long value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
        if (value > 0x7FFFFFFF) return -1;  // would name another disk
    }
    return value;
}

struct Outcome {
    DWORD Code = 0;
    bool Usage = false;
    bool Listing = false;
    int Mode = -1;  // the pass's mode, -1 for none
    std::vector<std::string> Opens;
    bool operator==(const Outcome&) const = default;
};

Outcome Model(const std::string& line) {
    Outcome out;
    std::vector<std::string> words = ModelWords(line);
    if (words.size() <= 1 || words.size() > 3) {
        out.Usage = true;
        out.Code = words.size() > 3 ? 2 : 1;
        return out;
    }
    if (strcasecmp(words[1].c_str(), "-ld") == 0) {
        out.Listing = true;
        return out;
    }
    long long disk = ModelDisk(words[1]);
    if (disk < 0) {
        out.Usage = true;
        out.Code = 1;
        return out;
    }
    out.Mode = Verify;
    if (words.size() == 3 && words[2].size() >= 2 && (words[2][1] == 'R' || words[2][1] == 'r'))
        out.Mode = words[2].size() >= 3 && words[2][2] == '2' ? ReadTwice : Read;
    std::string path = "\\\\.\\PhysicalDrive" + std::to_string(disk);
    out.Opens.push_back(path + " access=0x80000000");
    if (disk == 0) return out;
    if (out.Mode != Verify) {
        out.Code = 5;
        return out;
    }
    out.Opens.push_back(path + " access=0x0");
    out.Code = disk == 1 ? 0 : 3;
    return out;
}

// ---- what the program did ---------------------------------------------------------

bool Holds(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

Outcome Observed(DWORD code) {
    const sim::Record& record = sim::CurrentRecord();
    Outcome out;
    out.Code = code;
    out.Usage = Holds(record.Stdout, "Usage:\r\n");
    int reserves = 0;
    for (const std::string& event : record.Events) {
        const std::string open = "CreateFileA \\\\.\\PhysicalDrive";
        if (event.compare(0, open.size(), open) == 0) out.Opens.push_back(event.substr(12, event.find(" share=") - 12));
        out.Listing |= Holds(event, "SetupDiGetClassDevsA");
        reserves += Holds(event, "VirtualAlloc reserve");
    }
    bool header = Holds(record.Stdout, " all of Disk ");
    if (header != (reserves == 0   ? Holds(record.Stdout, "calling IOCTL_DISK_VERIFY for all of Disk ")
                   : reserves == 1 ? Holds(record.Stdout, "reading for all of Disk ")
                                   : Holds(record.Stdout, "reading twice all of Disk ")))
        out.Mode = -2;  // the header names another mode than the buffers say
    else if (!out.Opens.empty())
        out.Mode = reserves;
    return out;
}

std::string Describe(const Outcome& o) {
    std::string text = "exit " + std::to_string(o.Code) + (o.Usage ? " usage" : "") + (o.Listing ? " listing" : "") +
                       " mode " + std::to_string(o.Mode);
    for (const std::string& open : o.Opens) text += "\n  open " + open;
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sim::Scenario machine;
    static bool parsed = false;
    if (!parsed) {
        std::string error;
        if (!sim::ParseScenario(kMachine, &machine, &error)) __builtin_trap();
        parsed = true;
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    sim::Boot(machine.Machine);
    ProcessHeap = GetProcessHeap();
    sim::SetCommandLine(text);

    int count = -1;
    char* words[kMaxWords];
    ParseCommandLine(&count, words);
    if (count < 0 || count > kMaxWords) __builtin_trap();
    if (text.size() >= kMaxCommandLine && count != 0) __builtin_trap();
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += std::strlen(words[i]);
    if (total > text.size()) __builtin_trap();

    Outcome expected = Model(text);
    Outcome seen = Observed(RunMain(count, words));
    if (seen != expected) {
        std::fprintf(stderr, "command line [%s]\nexpected %s\nseen     %s\n", text.c_str(), Describe(expected).c_str(),
                     Describe(seen).c_str());
        __builtin_trap();
    }
    return 0;
}
