// The output matched by form, and the checks of a run against its scenario and
// the test disk driver's counters.
#include <cstring>
#include <regex>

extern "C" {
#include "wine/driver/testdisk_ioctl.h"
}

#include "sim/escape.h"
#include "tests/wine/replay.h"

namespace replay {
namespace {

// Real time decides how many status lines a pass prints and what they say, the
// summary's speed and duration, and (through the chunk lengths) which read of
// the disk met a flaky byte and so the values listed for it.  Those are matched
// by form: a run of status lines becomes one token, the summary keeps its size
// (the disk's), a listed difference keeps its position.  The forms are the
// program's own formats, each text field any run of characters on one line.
std::string FormRegex(const std::string& format) {
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format.compare(i, 2, "%s") == 0) {
            out += "([^\\r\\n]*?)";
            ++i;
        } else if (format[i] == '\n') {
            out += "\\r\\n";  // Print writes a line end as CR LF
        } else if (format[i] == '\r') {
            out += "\\r";
        } else {
            if (std::strchr(".^$|()[]{}*+?\\", format[i]) != nullptr) out += '\\';
            out += format[i];
        }
    }
    return out;
}

// The summary with its size kept and the rest as real-time tokens.
std::string SummaryForm() {
    std::string out, format = kSummaryFormat;
    int field = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format.compare(i, 2, "%s") == 0) {
            out += field++ == 0 ? "$1" : "\x02";
            ++i;
        } else {
            out += format[i] == '\n' ? std::string("\r\n") : std::string(1, format[i]);
        }
    }
    return out;
}

const std::regex kStatusLine(FormRegex(kStatusLineFormat));
const std::regex kStatusRun("\x01+");
const std::regex kSummary(FormRegex(kSummaryFormat));
const std::regex kDifference(R"(([0-9A-F]{8}|[0-9A-F]{12}|[0-9A-F]{16}): [0-9A-F]{2} [0-9A-F]{2}\r\n)");

std::string Normalize(const std::string& text) {
    std::string out = std::regex_replace(text, kStatusLine, "\x01");
    out = std::regex_replace(out, kStatusRun, "\x01");
    out = std::regex_replace(out, kSummary, SummaryForm());
    return std::regex_replace(out, kDifference, "$1: \x03 \x03\r\n");
}

// The tokens of Normalize shown by name.
std::string Named(const std::string& form) {
    std::string out;
    for (char c : form) {
        if (c == 1)
            out += "<status lines>";
        else if (c == 2)
            out += "<real time>";
        else if (c == 3)
            out += "<byte>";
        else
            out += c;
    }
    return out;
}

void CompareOutput(const char* what, const std::string& expected, const std::string& actual,
                   std::vector<std::string>* failures) {
    sim::ReportDifference(std::string(what) + " (matched by form)", Named(Normalize(expected)),
                          Named(Normalize(actual)), failures);
}

// Record texts the driver's counters answer: the text, the counter, and
// whether each expected line stands for one request of its own (one-off
// queries) or only for "at least one" (chunks, whose number real time decides).
// The driver counts each request of a varied answer as KEY_queries.
struct CounterText {
    std::string Text;
    std::string Counter;
    bool PerLine;
};
const std::vector<CounterText> kCounterTexts = [] {
    struct Row {
        const char* Text;
        const char* Counter;
        int PerLine;
    };
#define COUNTER_ROW(name, text, perLine) {text, #name, perLine},
    const Row rows[] = {TESTDISK_DISK_COUNTERS(COUNTER_ROW)};
#undef COUNTER_ROW
    std::vector<CounterText> texts;
    for (const Row& row : rows)
        if (row.Text != nullptr) texts.push_back({row.Text, row.Counter, row.PerLine != 0});
#define ANSWER_COUNTER(name, key, request, zero, error) texts.push_back({#request, key "_queries", true});
    DISK_ANSWERS(ANSWER_COUNTER)
#undef ANSWER_COUNTER
    return texts;
}();

// The disk a record line names ("\\.\PhysicalDriveN"), or -1.
int NamedDisk(const std::string& line) {
    size_t at = line.find("PhysicalDrive");
    if (at == std::string::npos) return -1;
    at += 13;
    size_t end = at;
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
    return end > at ? std::stoi(line.substr(at, end - at)) : -1;
}

uint64_t Counter(const Stats& stats, const std::string& key) {
    auto it = stats.find(key);
    return it == stats.end() ? 0 : it->second;
}

// A disk counter, of one disk or summed over all.
uint64_t Sum(const Outcome& o, const std::string& counter, int disk = -1) {
    uint64_t total = 0;
    for (const auto& [key, value] : o.Driver) {
        if (key.rfind("disk.", 0) != 0 || key.size() < counter.size() + 1 ||
            key.compare(key.size() - counter.size() - 1, std::string::npos, "." + counter) != 0)
            continue;
        if (disk >= 0 && key != "disk." + std::to_string(disk) + "." + counter) continue;
        total += value;
    }
    return total;
}

bool Served(const Outcome& o, int disk) { return o.Driver.count("disk." + std::to_string(disk) + ".creates") != 0; }

void CheckCalls(const sim::Scenario& s, const Outcome& o, std::vector<std::string>* failures) {
    // Counted request kinds.
    std::map<std::pair<std::string, int>, uint64_t> wanted;  // (counter, disk) -> lines
    for (const std::string& line : s.Expect.Calls) {
        if (line.rfind("write ", 0) == 0) continue;
        for (const CounterText& c : kCounterTexts) {
            if (line.find(c.Text) == std::string::npos) continue;
            int disk = NamedDisk(line);
            if (disk >= 0 && !Served(o, disk)) break;  // a device the driver does not serve
            bool failed = line.find("-> fail") != std::string::npos;
            if (c.Counter == "creates" && failed) break;  // refused before the driver
            auto& count = wanted[{c.Counter, disk}];
            count = c.PerLine ? count + 1 : 1;
            if (failed && (c.Counter == "verifies" || c.Counter == "reads"))
                wanted[{c.Counter == "verifies" ? "verify_errors" : "read_errors", disk}] = 1;
            break;
        }
    }
    for (const auto& [key, lines] : wanted) {
        uint64_t have = Sum(o, key.first, key.second);
        if (have < lines)
            failures->push_back("expect calls: " + std::to_string(lines) + " " + key.first +
                                " expected, the driver counted " + std::to_string(have));
    }
    // Quoted output, in order within each stream, unless real time shapes it.
    size_t at[2] = {0, 0};
    std::string streams[2] = {sim::Escape(o.Run.Stdout.data(), o.Run.Stdout.size(), false),
                              sim::Escape(o.Run.Stderr.data(), o.Run.Stderr.size(), false)};
    for (const std::string& line : s.Expect.Calls) {
        int which;
        std::string quoted = QuotedWrite(line, &which);
        if (which < 0 || TimedText(quoted)) continue;
        size_t found = streams[which].find(quoted, at[which]);
        if (found == std::string::npos)
            failures->push_back("expect calls: not written in order: " + line);
        else
            at[which] = found + quoted.size();
    }
    for (const std::string& text : s.Expect.NoCalls) {
        for (const CounterText& c : kCounterTexts) {
            // Only a text that names a whole request kind (perhaps of one disk) says none was made.
            std::string kind = c.Text;
            bool whole =
                kind.rfind(text, 0) == 0 ||
                (text.rfind(kind, 0) == 0 && text.find_first_not_of("0123456789", kind.size()) == std::string::npos);
            if (!whole || text.size() < 8) continue;
            uint64_t have = Sum(o, c.Counter, NamedDisk(text));
            if (have != 0)
                failures->push_back("expect no-call " + text + ": the driver counted " + std::to_string(have));
        }
        for (int which : {0, 1}) {
            std::string record = std::string("write ") + (which ? "stderr" : "stdout") + " \"" + streams[which] + "\"";
            if (record.find(text) != std::string::npos)
                failures->push_back("expect no-call " + text + ": it was written");
        }
    }
}

// Each volume device: opened as often as the simulated machine's record opens
// it (by name or by drive letter, and once more for the drive type of every
// volume the search returns), every handle closed, the dismounts of the record
// received, nothing written.
void CheckVolumes(const sim::Config& m, const Plan& plan, const Outcome& o, std::vector<std::string>* failures) {
    struct Device {
        std::string Name;  // without its backslash
        char Letter;
        bool Folders;  // the simulated machine opens it once more for each folder Wine does not return
    };
    std::vector<Device> devices;
    for (const sim::Volume& v : m.Volumes)
        devices.push_back({v.Name.substr(0, v.Name.size() - 1), v.Letter, !v.Mounts.empty()});
    for (const auto& [letter, disk] : m.Letters) devices.push_back({"", letter, false});
    for (size_t i = 0; i < devices.size(); ++i) {
        const auto& [name, letter, folders] = devices[i];
        std::string key = "volume." + std::to_string(i) + ".";
        uint64_t opens = 0, dismounts = 0;
        std::string byLetter = std::string("CreateFileA \\\\.\\") + letter + ": ";
        for (const std::string& line : plan.Record) {
            bool named = !name.empty() && line.find(name) != std::string::npos;
            if ((named && line.rfind("CreateFileA ", 0) == 0) || (letter && line.rfind(byLetter, 0) == 0)) ++opens;
            if (named && (line.rfind("FindFirstVolumeA ", 0) == 0 || line.rfind("FindNextVolumeA ", 0) == 0)) ++opens;
            if (named && line.find("FSCTL_DISMOUNT_VOLUME") != std::string::npos) ++dismounts;
        }
        std::string what = name.empty() ? std::string("drive ") + letter + ":" : name;
        uint64_t creates = Counter(o.Driver, key + "creates"), closes = Counter(o.Driver, key + "closes");
        if (creates != opens && !folders)
            failures->push_back(what + ": opened " + std::to_string(creates) + " times, the simulated machine " +
                                std::to_string(opens));
        if (closes != creates)
            failures->push_back(what + ": " + std::to_string(creates - closes) + " handles left open");
        if (Counter(o.Driver, key + "dismounts") != dismounts)
            failures->push_back(what + ": " + std::to_string(Counter(o.Driver, key + "dismounts")) +
                                " dismount requests, the simulated machine " + std::to_string(dismounts));
        if (Counter(o.Driver, key + "writes") != 0)
            failures->push_back(what + ": " + std::to_string(Counter(o.Driver, key + "writes")) + " writes");
    }
}

// What holds after every run, whatever the scenario says.
void CheckDisks(const Plan& plan, const Outcome& o, std::vector<std::string>* failures) {
    std::vector<const sim::Disk*> active;
    for (const DiskPlan& d : plan.Disks) {
        int n = d.Disk->Number;
        if (!Served(o, n)) continue;
        std::string disk = "disk " + std::to_string(n) + ": ";
        if (Sum(o, "writes", n) != 0) failures->push_back(disk + std::to_string(Sum(o, "writes", n)) + " writes");
        if (Sum(o, "creates", n) != Sum(o, "closes", n))
            failures->push_back(disk + std::to_string(Sum(o, "creates", n) - Sum(o, "closes", n)) +
                                " handles still open at the end");
        if (Sum(o, "verifies", n) + Sum(o, "reads", n) != 0) active.push_back(d.Disk);
    }
    int code = o.Run.Exit;
    if (code >= 1 && code <= 5 && !active.empty())
        failures->push_back("exit " + std::to_string(code) + " but disk " + std::to_string(active[0]->Number) +
                            " was read or verified");
    if (code != 0 && code != 6 && code != 7) return;
    if (active.size() != 1) {
        if (code == 0 && active.size() > 1) failures->push_back("more than one disk was read or verified");
        return;
    }
    const sim::Disk& disk = *active[0];
    int n = disk.Number;
    bool verify = plan.Mode == Verify;
    uint64_t copies = plan.Mode == ReadTwice ? 2 : 1;
    uint64_t bytes = Sum(o, verify ? "verify_bytes" : "read_bytes", n);
    uint64_t errors = Sum(o, verify ? "verify_errors" : "read_errors", n);
    uint64_t off = Sum(o, verify ? "last_verify_offset" : "last_read_offset", n);
    uint64_t len = Sum(o, verify ? "last_verify_length" : "last_read_length", n);
    std::string name = "disk " + std::to_string(n) + ": ";
    if (Sum(o, verify ? "reads" : "verifies", n) != 0)
        failures->push_back(name + (verify ? "read in a Verify pass" : "verified in a read pass"));
    auto expectBytes = [&](uint64_t want, const char* what) {
        if (bytes != want)
            failures->push_back(name + std::to_string(bytes) + " bytes " + (verify ? "verified" : "read") +
                                ", expected " + std::to_string(want) + " (" + what + ")");
    };
    auto overlaps = [&](const sim::Range& r) { return off < r.Start + r.Length && r.Start < off + len; };
    if (code == 0) {
        expectBytes(disk.Size * copies, "every byte of the disk");
        if (errors != 0) failures->push_back(name + "a clean pass met " + std::to_string(errors) + " errors");
    } else if (code == 7) {
        if (errors != 0) failures->push_back(name + "a stopped pass met errors");
    } else {
        bool faulty = false, met = false;
        for (const sim::Fault& f : disk.Faults)
            if (verify ? f.Verify : f.Read) faulty = true, met = met || overlaps(f.Where);
        if (faulty) {
            // The pass stops at the first failing request, having moved every chunk before it.
            if (errors != 1) failures->push_back(name + std::to_string(errors) + " failed requests, expected 1");
            if (!met) failures->push_back(name + "the last request does not meet a fault range");
            if (bytes != off * copies && bytes != off * copies + len * (copies - 1))
                expectBytes(off * copies, "every chunk before the failing one");
        } else if (plan.Mode == ReadTwice && !disk.Flaky.empty()) {
            bool flaky = false;
            for (const sim::Range& r : disk.Flaky) flaky = flaky || overlaps(r);
            if (!flaky) failures->push_back(name + "the pass stopped on a chunk without flaky bytes");
            expectBytes((off + len) * 2, "both reads of every chunk up to the differing one");
        }
    }
}

}  // namespace

std::string QuotedWrite(const std::string& line, int* stream) {
    *stream = line.rfind("write stdout \"", 0) == 0 ? 0 : line.rfind("write stderr \"", 0) == 0 ? 1 : -1;
    if (*stream < 0) return "";
    std::string quoted = line.substr(14);
    if (!quoted.empty() && quoted.back() == '"' && (quoted.size() < 2 || quoted[quoted.size() - 2] != '\\'))
        quoted.pop_back();
    return quoted;
}

// Quoted output whose bytes vary with real time: (a piece of) a status line or
// the summary, the values of a listed difference.
bool TimedText(const std::string& quoted) {
    std::string text = sim::Unescape(quoted);
    for (const char* format : {kStatusLineFormat, kSummaryFormat}) {
        std::string f = format;
        for (size_t from = 0, at; from < f.size(); from = at + 2) {
            at = f.find("%s", from);
            if (at == std::string::npos) at = f.size();
            std::string piece = f.substr(from, at - from);
            if (piece.size() >= 3 && text.find(piece) != std::string::npos) return true;
        }
    }
    static const std::regex values(R"(^[0-9A-F]{2} [0-9A-F]{2})");
    return std::regex_search(text, values);
}

std::vector<std::string> Check(const sim::Scenario& s, const Plan& plan, const Outcome& o) {
    std::vector<std::string> failures;
    const sim::Expectations& e = s.Expect;
    const RunResult& r = o.Run;
    if (r.TimedOut) failures.push_back("no end within " + std::to_string(kRunSeconds) + " s of: " + r.Waited);
    if (plan.Event && r.CompanionExit != 0) {
        // The helper tells each step as it reaches it: all it said, on one line.
        std::string said = r.CompanionError;
        while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
        for (size_t at = 0; (at = said.find('\n', at)) != std::string::npos;) said.replace(at, 1, " | ");
        failures.push_back("the control event was not sent: testdiskctl event " + r.CompanionEnd +
                           (said.empty() ? " and said nothing" : "; it said: " + said));
    }
    if (plan.Event && Counter(o.Driver, "released") != 1) failures.push_back("the held request was not released");
    if (e.HasExit && r.Exit != static_cast<int>(e.Exit & 0xFF))
        failures.push_back("exit code " + std::to_string(r.Exit) + ", expected " + std::to_string(e.Exit));
    if (plan.SimBytesExpected) {
        CompareOutput("standard output (as the simulated machine writes it to a file)", plan.SimStdout, r.Stdout,
                      &failures);
        CompareOutput("standard error (as the simulated machine writes it to a file)", plan.SimStderr, r.Stderr,
                      &failures);
    } else {
        if (e.HasStdout) CompareOutput("standard output", e.Stdout, r.Stdout, &failures);
        if (e.HasStderr) CompareOutput("standard error", e.Stderr, r.Stderr, &failures);
    }
    for (auto it = std::sregex_iterator(r.Stdout.begin(), r.Stdout.end(), kDifference); it != std::sregex_iterator();
         ++it) {
        std::string line = it->str();
        size_t colon = line.find(':');
        if (line.substr(colon + 2, 2) == line.substr(colon + 5, 2))
            failures.push_back("a listed difference shows equal bytes: " +
                               sim::Escape(line.data(), line.size(), false));
    }
    CheckCalls(s, o, &failures);
    CheckDisks(plan, o, &failures);
    CheckVolumes(s.Machine, plan, o, &failures);
    return failures;
}

}  // namespace replay
