#include "sim/scenario.h"

#include "sim/scenario_parse.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>

namespace sim {
namespace parse {

const std::map<std::string, uint32_t> kErrors = {
    {"INVALID_FUNCTION", 1},
    {"FILE_NOT_FOUND", 2},
    {"ACCESS_DENIED", 5},
    {"NOT_ENOUGH_MEMORY", 8},
    {"OUTOFMEMORY", 14},
    {"NO_MORE_FILES", 18},
    {"NOT_READY", 21},
    {"CRC", 23},
    {"SECTOR_NOT_FOUND", 27},
    {"GEN_FAILURE", 31},
    {"NOT_SUPPORTED", 50},
    {"INVALID_PARAMETER", 87},
    {"SEM_TIMEOUT", 121},
    {"DEVICE_HARDWARE_ERROR", 483},
    {"IO_DEVICE", 1117},
    {"NO_MEDIA_IN_DRIVE", 1112},
    {"DEVICE_NOT_CONNECTED", 1167},
};

// Blank-separated words; a stretch in double or single quotes keeps its blanks
// (and the other kind of quote) and loses its own quotes.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    char quote = 0;
    bool quoted = false, any = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if ((c == '"' || c == '\'') && (!quoted || c == quote)) {
            quoted = !quoted;
            quote = c;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) words.push_back(Unescape(word));
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(Unescape(word));
    return words;
}

uint64_t Number(const std::string& text) {
    if (text.empty()) throw Failure{"a number is missing"};
    size_t used = 0;
    uint64_t value = 0;
    if (text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0])))
        throw Failure{"'" + text + "' is not a number"};
    try {
        value = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
        throw Failure{"'" + text + "' is not a number"};
    }
    std::string unit = text.substr(used);
    if (unit == "KiB")
        value <<= 10;
    else if (unit == "MiB")
        value <<= 20;
    else if (unit == "GiB")
        value <<= 30;
    else if (unit == "TiB")
        value <<= 40;
    else if (!unit.empty())
        throw Failure{"unknown unit in '" + text + "'"};
    return value;
}

uint32_t ErrorCode(const std::string& text) {
    auto it = kErrors.find(text);
    if (it != kErrors.end()) return it->second;
    return static_cast<uint32_t>(Number(text));
}

Range ParseRange(const std::string& text) {
    size_t plus = text.find('+');
    if (plus == std::string::npos) throw Failure{"a range is START+LENGTH: '" + text + "'"};
    return {Number(text.substr(0, plus)), Number(text.substr(plus + 1))};
}

StdKind ParseStd(const std::string& text) {
    if (text == "console") return StdKind::Console;
    if (text == "file") return StdKind::File;
    if (text == "pipe") return StdKind::Pipe;
    if (text == "nul") return StdKind::Nul;
    if (text == "closed") return StdKind::Closed;
    throw Failure{"unknown handle kind '" + text + "'"};
}

Answer ParseAnswer(const std::string& text, uint32_t* error) {
    if (text == "ok") return Answer::Ok;
    if (text == "zero") return Answer::Zero;
    if (text == "short") return Answer::Short;
    if (text.rfind("fail", 0) == 0) {
        if (text.size() > 5) *error = ErrorCode(text.substr(5));
        return Answer::Fail;
    }
    throw Failure{"unknown answer '" + text + "'"};
}

// A whole number from 1 up, as counts and sizes of things are.
int Count(const std::string& text) {
    uint64_t value = Number(text);
    if (value == 0 || value > 0x7FFFFFFF) throw Failure{"'" + text + "' is not a count from 1 up"};
    return static_cast<int>(value);
}

uint32_t DriveType(const std::string& text) {
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) return static_cast<uint32_t>(Number(text));
    return OneOf<uint32_t>(text, {{"removable", 2}, {"fixed", 3}, {"remote", 4}, {"cdrom", 5}, {"ramdisk", 6}});
}

// FILE_DEVICE_* as a device number request answers it.
uint32_t DeviceType(const std::string& text) {
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0]))) return static_cast<uint32_t>(Number(text));
    return OneOf<uint32_t>(text, {{"disk", kDeviceTypeDisk}, {"cdrom", 2}, {"dvd", 0x33}, {"virtual-disk", 0x24}});
}

char DriveLetter(const std::string& text) {
    char letter = text.empty() ? 0 : static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    if (letter < 'A' || letter > 'Z' || (text.size() > 1 && text.substr(1) != ":"))
        throw Failure{"a drive letter is A to Z: '" + text + "'"};
    return letter;
}

std::pair<std::string, std::string> KeyValue(const std::string& word) {
    size_t equals = word.find('=');
    if (equals == std::string::npos) return {word, ""};
    return {word.substr(0, equals), word.substr(equals + 1)};
}

}  // namespace parse

namespace {

using namespace parse;

void ParseSetting(Scenario& s, const std::string& key, const std::string& value) {
    Config& c = s.Machine;
    std::vector<std::string> w = Words(value);
    if (key == "args")
        c.CommandLine = "sectorsweep.exe " + value;
    else if (key == "cmdline")
        c.CommandLine = Unescape(value);
    else if (key == "stdout") {
        c.Stdout = ParseStd(w.at(0));
        if (w.size() > 1) {
            size_t x = w[1].find('x');
            if (x == std::string::npos) throw Failure{"a console's size is WIDTHxROWS"};
            c.Width = Count(w[1].substr(0, x));
            c.Rows = Count(w[1].substr(x + 1));
            // A console's sizes are SHORTs; the screen is kept whole, so at most 16M cells.
            if (c.Width > 32767 || c.Rows > 32767 || c.Width * c.Rows > (1 << 24))
                throw Failure{"a console is at most 32767 wide and high, and 16M cells"};
        }
    } else if (key == "stderr")
        c.Stderr = ParseStd(w.at(0));
    else if (key == "stdin")
        c.StdinConsole = w.at(0) == "console";
    else if (key == "window")
        c.ConsoleWindow = w.at(0) == "own" ? Window::Own : w.at(0) == "shell" ? Window::Shell : Window::None;
    else if (key == "tick")
        c.StartTick = static_cast<uint32_t>(Number(w.at(0)));
    else if (key == "dll-default-dirs")
        c.DefaultDirs = OneOf<Presence>(
            w.at(0), {{"ok", Presence::Works}, {"fails", Presence::Fails}, {"absent", Presence::Absent}});
    else if (key == "dll-set-directory")
        c.SetDllDirectory = w.at(0) == "present";
    else if (key == "heap") {
        int n = static_cast<int>(Number(w.at(1)));
        if (w[0] == "corrupt-after-alloc")
            c.HeapCorruptAfterAlloc = n;
        else if (w[0] == "corrupt-after-free")
            c.HeapCorruptBeforeFree = n;
        else
            throw Failure{"heap: corrupt-after-alloc N | corrupt-after-free N"};
    } else if (key == "wine")
        s.WineNote = value;
    else
        throw Failure{"unknown setting '" + key + "'"};
}

// An output line's bytes: CR LF at its end, unless it ends in a lone backslash.
std::string Bytes(const std::string& line) {
    if (!line.empty() && line.back() == '\\') return Unescape(line.substr(0, line.size() - 1));
    return Unescape(line) + "\r\n";
}

std::string ReadBlock(std::istringstream& in, int* lineNumber, bool joinAsBytes) {
    std::string out, line;
    while (std::getline(in, line)) {
        ++*lineNumber;
        if (line == ".") return out;
        out += joinAsBytes ? Bytes(line) : line + "\n";
    }
    throw Failure{"a block has no closing '.' line"};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

}  // namespace

std::string Unescape(const std::string& text) {
    // Only \r \n \t and \xHH are escapes, so Windows paths stand as they are.
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char next = i + 1 < text.size() ? text[i + 1] : 0;
        if (text[i] == '\\' && (next == 'r' || next == 'n' || next == 't')) {
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : '\t';
            ++i;
        } else if (text[i] == '\\' && next == 'x' && i + 3 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> ScenarioCases(const std::string& text) {
    std::vector<std::string> lines = Lines(text);
    std::vector<std::string> names;
    std::vector<size_t> caseOf(lines.size(), 0);  // 0: the head, N: the Nth case
    bool inBlock = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        bool starts = !inBlock && line.rfind("case ", 0) == 0;
        if (starts) names.push_back(line.substr(5));
        caseOf[i] = starts ? SIZE_MAX : names.size();
        inBlock = inBlock ? line != "." : line.rfind("expect ", 0) == 0 && line.back() == ':';
    }
    if (names.empty()) return {{"", text}};
    std::vector<std::pair<std::string, std::string>> cases;
    for (size_t n = 1; n <= names.size(); ++n) {
        std::string own;
        for (size_t i = 0; i < lines.size(); ++i) own += (caseOf[i] == 0 || caseOf[i] == n ? lines[i] : "") + "\n";
        cases.push_back({names[n - 1], own});
    }
    return cases;
}

bool ParseScenario(const std::string& text, Scenario* s, std::string* error) {
    std::istringstream in(text);
    std::string line;
    std::vector<std::string> repeated;  // what an `each FIRST..LAST: LINE` stands for, the last first
    int number = 0;
    try {
        while (!repeated.empty() || std::getline(in, line)) {
            if (repeated.empty()) {
                ++number;
            } else {
                line = repeated.back();
                repeated.pop_back();
            }
            if (line.empty() || line[0] == '#') continue;
            if (line.rfind("each ", 0) == 0) {  // LINE for each number, written in place of its '%'
                size_t dots = line.find(".."), colon = line.find(": ");
                if (dots > colon || colon == std::string::npos) throw Failure{"each FIRST..LAST: LINE"};
                uint64_t first = Number(line.substr(5, dots - 5)),
                         last = Number(line.substr(dots + 2, colon - dots - 2));
                for (uint64_t n = last + 1; n-- > first;) {
                    std::string one = line.substr(colon + 2);
                    for (size_t at; (at = one.find('%')) != std::string::npos;) one.replace(at, 1, std::to_string(n));
                    repeated.push_back(one);
                }
                continue;
            }
            std::vector<std::string> w = Words(line);
            if (w.empty()) continue;
            const std::string& head = w[0];
            if (head == "expect") {
                std::string what = w.at(1);
                bool more = what.size() > 2 && what.substr(what.size() - 2) == "+:";  // goes on from the block before
                if (more) what.erase(what.size() - 2, 1);
                auto bytes = [&] {  // an output block of one line may stand after the colon
                    size_t at = line.find(": ");
                    return at == std::string::npos ? ReadBlock(in, &number, true) : Bytes(line.substr(at + 2));
                };
                if (what == "exit") {
                    s->Expect.HasExit = true;
                    s->Expect.Exit = static_cast<uint32_t>(Number(w.at(2)));
                } else if (what == "abnormal")
                    s->Expect.Abnormal = true;
                else if (what == "hang")
                    s->Expect.Hang = true;
                else if (what == "stdout:") {
                    s->Expect.HasStdout = true;
                    s->Expect.Stdout = (more ? s->Expect.Stdout : "") + bytes();
                } else if (what == "stderr:") {
                    s->Expect.HasStderr = true;
                    s->Expect.Stderr = (more ? s->Expect.Stderr : "") + bytes();
                } else if (what == "screen:") {
                    s->Expect.HasScreen = true;
                    if (!more) s->Expect.Screen.clear();
                    for (const std::string& row : Lines(ReadBlock(in, &number, false))) s->Expect.Screen.push_back(row);
                } else if (what == "calls:") {
                    for (const std::string& call : Lines(ReadBlock(in, &number, false)))
                        s->Expect.Calls.push_back(call);
                } else if (what == "no-call")
                    s->Expect.NoCalls.push_back(w.at(2));
                else if (what == "cursor") {
                    s->Expect.CursorX = static_cast<int>(Number(w.at(2)));
                    s->Expect.CursorY = static_cast<int>(Number(w.at(3)));
                } else
                    throw Failure{"unknown expectation '" + what + "'"};
            } else if (head == "disk")
                ParseDisk(s->Machine, w);
            else if (head == "fault") {
                Fault fault;
                fault.Verify = w.at(2) == "verify" || w.at(2) == "both";
                fault.Read = w.at(2) == "read" || w.at(2) == "both";
                fault.Where = ParseRange(w.at(3));
                fault.Error = ErrorCode(w.at(4));
                DiskNumbered(s->Machine, w.at(1))->Faults.push_back(fault);
            } else if (head == "flaky")
                DiskNumbered(s->Machine, w.at(1))->Flaky.push_back(ParseRange(w.at(2)));
            else if (head == "slow")
                DiskNumbered(s->Machine, w.at(1))
                    ->Slow.push_back({ParseRange(w.at(2)), static_cast<uint32_t>(Number(w.at(3)))});
            else if (head == "short")
                DiskNumbered(s->Machine, w.at(1))->ShortAt.push_back(Number(w.at(2)));
            else if (head == "volume")
                ParseVolume(s->Machine, w);
            else if (head == "interface") {
                Interface device;
                device.Path = w.at(1);
                for (size_t i = 2; i < w.size(); ++i) {
                    auto [key, value] = KeyValue(w[i]);
                    if (key == "disk")
                        device.DiskNumber = static_cast<int>(Number(value));
                    else if (key == "late")
                        device.Late = true;
                    else if (key == "detail-fails")
                        device.DetailFails = true;
                    else
                        throw Failure{"unknown interface key '" + key + "'"};
                }
                s->Machine.Interfaces.push_back(device);
            } else if (head == "letter") {
                ParseLetter(s->Machine, w);
            } else if (head == "fail") {
                ParseFail(s->Machine, w);
            } else if (head == "key" || head == "mouse" || head == "focus" || head == "menu" || head == "resize") {
                ParseInput(s->Machine, w);
            } else if (head == "ctrl") {
                ParseControl(s->Machine, w);
            } else if (head == "screen") {
                size_t colon = line.find(':');
                s->Machine.ScreenText.push_back(
                    {Number(w.at(1).substr(0, w.at(1).find(':'))), Unescape(line.substr(colon + 2))});
            } else if (head.back() == ':') {
                size_t colon = line.find(':');
                std::string value = colon + 1 < line.size() ? line.substr(colon + 1) : "";
                value.erase(0, value.find_first_not_of(' '));
                ParseSetting(*s, head.substr(0, head.size() - 1), value);
            } else {
                throw Failure{"unknown line"};
            }
        }
    } catch (const Failure& failure) {
        *error = "line " + std::to_string(number) + ": " + failure.What;
        return false;
    } catch (const std::exception& e) {
        *error = "line " + std::to_string(number) + ": " + e.what();
        return false;
    }
    return true;
}

}  // namespace sim
