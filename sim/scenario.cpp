#include "sim/scenario.h"

#include <cctype>
#include <cstring>
#include <map>
#include <sstream>

namespace sim {
namespace {

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

const std::map<std::string, uint32_t> kControls = {
    {"c", 0}, {"break", 1}, {"close", 2}, {"logoff", 5}, {"shutdown", 6},
};

struct Failure {
    std::string What;
};

constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_NO_MORE_FILES = 18;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;

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

template <typename T>
T OneOf(const std::string& text, std::initializer_list<std::pair<const char*, T>> choices) {
    std::string names;
    for (const auto& [name, value] : choices) {
        if (text == name) return value;
        names += names.empty() ? name : std::string("|") + name;
    }
    throw Failure{"'" + text + "' is not one of " + names};
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

Disk* DiskNumbered(Config& config, const std::string& text) {
    int number = static_cast<int>(Number(text));
    for (Disk& disk : config.Disks)
        if (disk.Number == number) return &disk;
    throw Failure{"no disk " + text + " declared before this line"};
}

std::pair<std::string, std::string> KeyValue(const std::string& word) {
    size_t equals = word.find('=');
    if (equals == std::string::npos) return {word, ""};
    return {word.substr(0, equals), word.substr(equals + 1)};
}

void ParseDisk(Config& config, const std::vector<std::string>& w) {
    Disk disk;
    disk.Number = static_cast<int>(Number(w.at(1)));
    for (size_t i = 2; i < w.size(); ++i) {
        auto [key, value] = KeyValue(w[i]);
        if (key == "size")
            disk.Size = Number(value);
        else if (key == "sector") {
            disk.Sector = static_cast<uint32_t>(Number(value));
            if (disk.Sector == 0 || (disk.Sector & (disk.Sector - 1)) != 0 || disk.Sector > 0x10000)
                throw Failure{"a sector size is a power of two from 1 to 64KiB"};
        } else if (key == "open") {
            disk.ReadOpen = value == "ok";
            disk.QueryOpen = value == "ok" || value == "query-only";
            if (value != "ok" && value != "query-only" && value != "none") throw Failure{"open=ok|query-only|none"};
        } else if (key == "open-error")
            disk.OpenError = ErrorCode(value);
        else if (key == "length")
            disk.Length = ParseAnswer(value, &disk.LengthError);
        else if (key == "geometry")
            disk.Geometry = ParseAnswer(value, &disk.GeometryError);
        else if (key == "predict")
            disk.Predict = OneOf<Prediction>(
                value, {{"yes", Prediction::Yes}, {"no", Prediction::No}, {"unsupported", Prediction::Unsupported}});
        else if (key == "bus")
            disk.Bus = static_cast<uint32_t>(Number(value));
        else if (key == "vendor")
            disk.Vendor = value;
        else if (key == "product")
            disk.Product = value;
        else if (key == "descriptor")
            disk.DescriptorFails = value == "fail";
        else if (key == "vendor-offset")
            disk.VendorOffset = static_cast<int64_t>(Number(value));
        else if (key == "product-offset")
            disk.ProductOffset = static_cast<int64_t>(Number(value));
        else if (key == "descriptor-size")
            disk.DescriptorSize = static_cast<int64_t>(Number(value));
        else if (key == "power")
            disk.Power = OneOf<PowerState>(value, {{"awake", PowerState::Awake},
                                                   {"asleep", PowerState::Asleep},
                                                   {"unsupported", PowerState::Unsupported}});
        else if (key == "latency")
            disk.LatencyMs = static_cast<uint32_t>(Number(value));
        else if (key == "rate")
            disk.BytesPerMs = Number(value);
        else if (key == "number") {
            if (value == "refused")
                disk.NumberRefused = true;
            else
                disk.DeviceNumber = static_cast<int64_t>(Number(value));
        } else if (key == "seed")
            disk.Seed = Number(value);
        else
            throw Failure{"unknown disk key '" + key + "'"};
    }
    config.Disks.push_back(disk);
}

// The keys volumes and bare letters share: the disk, the drive type and the device type.
template <typename Device>
bool DeviceKey(Device& device, const std::string& key, const std::string& value) {
    if (key == "disk")
        device.DiskNumber = static_cast<int>(Number(value));
    else if (key == "type")
        device.Type = DriveType(value);
    else if (key == "device")
        device.DeviceType = DeviceType(value);
    else
        return false;
    return true;
}

void ParseVolume(Config& config, const std::vector<std::string>& w) {
    Volume volume;
    volume.Name = w.at(1);
    for (size_t i = 2; i < w.size(); ++i) {
        auto [key, value] = KeyValue(w[i]);
        if (DeviceKey(volume, key, value)) continue;
        if (key == "letter")
            volume.Letter = DriveLetter(value);
        else if (key == "mount")
            volume.Mounts.push_back(value);
        else if (key == "open")
            volume.OpenFails = value == "fail";
        else if (key == "lock")
            volume.LockFails = value == "fail";
        else if (key == "unlock")
            volume.UnlockFails = value == "fail";
        else if (key == "number")
            volume.NumberRefused = value == "refused";
        else
            throw Failure{"unknown volume key '" + key + "'"};
    }
    config.Volumes.push_back(volume);
}

void ParseLetter(Config& config, const std::vector<std::string>& w) {
    Letter letter;
    for (size_t i = 2; i < w.size(); ++i) {
        auto [key, value] = KeyValue(w[i]);
        if (!DeviceKey(letter, key, value)) throw Failure{"unknown letter key '" + key + "'"};
    }
    config.Letters[DriveLetter(w.at(1))] = letter;
}

// fail at "TEXT" [#N] ERROR [persist]
void ParseFail(Config& config, const std::vector<std::string>& w) {
    if (w.size() < 4 || w[1] != "at") throw Failure{"fail at \"TEXT\" [#N] ERROR [persist]"};
    FailRule rule;
    rule.Text = w[2];
    size_t next = 3;
    if (w[next][0] == '#') rule.Nth = Count(w[next++].substr(1));
    rule.Error = ErrorCode(w.at(next++));
    if (rule.Error == 0) throw Failure{"a failing call needs an error other than 0"};
    if (next < w.size() && w[next] == "persist") {
        rule.Persist = true;
        ++next;
    }
    if (next != w.size()) throw Failure{"unexpected '" + w[next] + "' after the error"};
    config.Fails.push_back(rule);
}

// The one-off failure settings of older scenarios, as fail rules.
void AddFails(Config& config, const std::string& text, int from, int to, uint32_t error, bool persist) {
    for (int n = from; n <= to; ++n) config.Fails.push_back({text, n, error, persist, 0});
}

void ParseControl(Config& config, const std::vector<std::string>& w) {
    auto type = kControls.find(w.at(1));
    ControlEvent event;
    event.Type = type != kControls.end() ? type->second : static_cast<uint32_t>(Number(w.at(1)));
    if (w.at(2) != "at") throw Failure{"ctrl TYPE at \"TEXT\" [#N] | ctrl TYPE at tick N"};
    if (w.at(3) == "tick") {
        event.AtTick = static_cast<int64_t>(Number(w.at(4)));
    } else {
        event.CallText = w.at(3);
        if (w.size() > 4) event.CallIndex = Count(w.at(4).substr(1));
    }
    config.Control.push_back(event);
}

void ParseInput(Config& config, const std::vector<std::string>& w) {
    InputEvent input;
    if (w[0] == "key") {
        input.KeyDown = w.at(1) == "down";
        input.Key = static_cast<uint16_t>(Number(w.at(2)));
    } else {
        input.Type = w[0] == "mouse" ? 2 : w[0] == "focus" ? 0x10 : w[0] == "menu" ? 8 : 4;
    }
    input.Later = w.back() == "later";
    config.Input.push_back(input);
}

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
            if (c.Width > 1000 || c.Rows > 1000) throw Failure{"a console is at most 1000x1000"};
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
        else if (w[0] == "alloc-failures")
            AddFails(c, "HeapAlloc", 1, n, ERROR_NOT_ENOUGH_MEMORY, false);
        else
            throw Failure{"heap: corrupt-after-alloc N | corrupt-after-free N | alloc-failures N"};
    } else if (key == "memory") {
        int n = static_cast<int>(Number(w.at(1)));
        if (w[0] == "reserve-fails")
            AddFails(c, "VirtualAlloc reserve", n, n, ERROR_NOT_ENOUGH_MEMORY, false);
        else if (w[0] == "commit-fails")
            AddFails(c, "VirtualAlloc commit", n, n, ERROR_NOT_ENOUGH_MEMORY, false);
        else
            throw Failure{"memory: reserve-fails N | commit-fails N"};
    } else if (key == "setupapi") {
        if (w.at(0) == "fails") AddFails(c, kSetupFailsText, 1, 1, ERROR_INVALID_PARAMETER, true);
    } else if (key == "volume-search") {
        if (w.at(0) == "fails") AddFails(c, kVolumeSearchFailsText, 1, 1, ERROR_NO_MORE_FILES, true);
    } else if (key == "wine")
        s.WineNote = value;
    else
        throw Failure{"unknown setting '" + key + "'"};
}

std::string ReadBlock(std::istringstream& in, int* lineNumber, bool joinAsBytes) {
    std::string out, line;
    while (std::getline(in, line)) {
        ++*lineNumber;
        if (line == ".") return out;
        if (!joinAsBytes) {
            out += line + "\n";
        } else if (!line.empty() && line.back() == '\\') {
            out += Unescape(line.substr(0, line.size() - 1));
        } else {
            out += Unescape(line) + "\r\n";
        }
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

bool ParseScenario(const std::string& text, Scenario* s, std::string* error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    try {
        while (std::getline(in, line)) {
            ++number;
            if (line.empty() || line[0] == '#') continue;
            std::vector<std::string> w = Words(line);
            if (w.empty()) continue;
            const std::string& head = w[0];
            if (head == "expect") {
                const std::string what = w.at(1);
                if (what == "exit") {
                    s->Expect.HasExit = true;
                    s->Expect.Exit = static_cast<uint32_t>(Number(w.at(2)));
                } else if (what == "abnormal")
                    s->Expect.Abnormal = true;
                else if (what == "hang")
                    s->Expect.Hang = true;
                else if (what == "stdout:") {
                    s->Expect.HasStdout = true;
                    s->Expect.Stdout = ReadBlock(in, &number, true);
                } else if (what == "stderr:") {
                    s->Expect.HasStderr = true;
                    s->Expect.Stderr = ReadBlock(in, &number, true);
                } else if (what == "screen:") {
                    s->Expect.HasScreen = true;
                    s->Expect.Screen = Lines(ReadBlock(in, &number, false));
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
