// The output matched by form, and the checks of a run against its scenario and
// the test disk driver's counters.
#include <algorithm>
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
// by form, from the program's own formats: a run of status lines becomes one
// token, the summary keeps its size (the disk's), a listed difference keeps its
// position.
std::string FormRegex(std::string format) {
    format = std::regex_replace(format, std::regex(R"([.^$|()[\]{}*+?\\])"), "\\$&");
    format = std::regex_replace(format, std::regex("%s"), "([^\r\n]*?)");
    return std::regex_replace(format, std::regex("\n"), "\r\n");  // Print ends a line with CR LF
}

std::string SummaryForm() {
    std::string form = std::regex_replace(std::string(kSummaryFormat), std::regex("\n"), "\r\n");
    form.replace(form.find("%s"), 2, "$1");
    return std::regex_replace(form, std::regex("%s"), "<real time>");
}

const std::regex kStatusLine(FormRegex(kStatusLineFormat)), kStatusRun("(<status lines>)+"),
    kSummary(FormRegex(kSummaryFormat));
const std::regex kDifference(R"(([0-9A-F]{8}|[0-9A-F]{12}|[0-9A-F]{16}): [0-9A-F]{2} [0-9A-F]{2}\r\n)"),
    kSameBytes(R"((?:[0-9A-F]{8}|[0-9A-F]{12}|[0-9A-F]{16}): ([0-9A-F]{2}) \1\r\n)");

std::string Normalize(const std::string& text) {
    std::string out = std::regex_replace(text, kStatusLine, "<status lines>");
    out = std::regex_replace(out, kStatusRun, "<status lines>");
    out = std::regex_replace(out, kSummary, SummaryForm());
    return std::regex_replace(out, kDifference, "$1: <byte> <byte>\r\n");
}

// Record texts the driver's counters answer: the text, the counter, and
// whether each expected line stands for one request of its own (one-off
// queries) or only for "at least one" (chunks, whose number real time decides).
// The driver counts each request of a varied answer as KEY_queries.
struct CounterText {
    const char* Text;  // none: no record line stands for the counter
    std::string Counter;
    bool PerLine;
};
#define COUNTER_ROW(name, text, perLine) {text, #name, perLine},
#define ANSWER_COUNTER(name, key, request, zero, error) {#request, key "_queries", true},
const CounterText kCounterTexts[] = {TESTDISK_DISK_COUNTERS(COUNTER_ROW) DISK_ANSWERS(ANSWER_COUNTER)};
#undef COUNTER_ROW
#undef ANSWER_COUNTER

// The disk a record line names ("\\.\PhysicalDriveN"), or -1.
int NamedDisk(const std::string& line) {
    static const std::regex drive(R"(PhysicalDrive(\d+))");
    std::smatch m;
    return std::regex_search(line, m, drive) ? std::stoi(m[1]) : -1;
}

uint64_t Counter(const Stats& stats, const std::string& key) { return stats.count(key) ? stats.at(key) : 0; }

// A disk counter, of one disk or (disk -1) summed over all.
uint64_t Sum(const Outcome& o, const std::string& counter, int disk = -1) {
    if (disk >= 0) return Counter(o.Driver, "disk." + std::to_string(disk) + "." + counter);
    uint64_t total = 0;
    for (const auto& [key, value] : o.Driver)
        if (key.starts_with("disk.") && key.ends_with("." + counter)) total += value;
    return total;
}

bool Served(const Outcome& o, int disk) { return o.Driver.count("disk." + std::to_string(disk) + ".creates") != 0; }

void CheckCalls(const sim::Scenario& s, const Outcome& o, std::vector<std::string>* failures) {
    std::map<std::pair<std::string, int>, uint64_t> wanted;  // (counter, disk) -> lines
    for (const std::string& line : s.Expect.Calls) {
        if (line.rfind("write ", 0) == 0) continue;
        for (const CounterText& c : kCounterTexts) {
            if (!c.Text || line.find(c.Text) == std::string::npos) continue;
            int disk = NamedDisk(line);
            bool failed = line.find("-> fail") != std::string::npos;
            // Not a device the driver serves, or an open refused before the driver.
            if ((disk >= 0 && !Served(o, disk)) || (c.Counter == "creates" && failed)) break;
            auto& count = wanted[{c.Counter, disk}];
            count = c.PerLine ? count + 1 : 1;
            if (failed && (c.Counter == "verifies" || c.Counter == "reads"))
                wanted[{c.Counter == "verifies" ? "verify_errors" : "read_errors", disk}] = 1;
            break;
        }
    }
    for (const auto& [key, lines] : wanted)
        if (Sum(o, key.first, key.second) < lines)
            failures->push_back("expect calls: " + std::to_string(lines) + " " + key.first +
                                " expected, the driver counted " + std::to_string(Sum(o, key.first, key.second)));
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
            std::string kind = c.Text ? c.Text : "";
            bool whole =
                !kind.empty() &&
                (kind.starts_with(text) ||
                 (text.starts_with(kind) && text.find_first_not_of("0123456789", kind.size()) == std::string::npos));
            uint64_t have = whole && text.size() >= 8 ? Sum(o, c.Counter, NamedDisk(text)) : 0;
            if (have != 0)
                failures->push_back("expect no-call " + text + ": the driver counted " + std::to_string(have));
        }
        for (int which : {0, 1})
            if ((std::string("write ") + (which ? "stderr" : "stdout") + " \"" + streams[which] + "\"").find(text) !=
                std::string::npos)
                failures->push_back("expect no-call " + text + ": it was written");
    }
}

// Each volume device: opened as often as the simulated machine's record opens
// it (by name or by drive letter, and once more for the drive type of every
// volume the search returns), the dismounts of the record received, nothing
// written. (Whether every handle was closed only the host scenarios can tell:
// Wine closes what a program leaves open when it ends.)
void CheckVolumes(const sim::Config& m, const Plan& plan, const Outcome& o, std::vector<std::string>* failures) {
    size_t index = 0;
    // `name` without its backslash; with `folders` the simulated machine opens it once more for
    // each mount-point folder, which Wine does not return.
    auto check = [&](const std::string& name, char letter, bool folders) {
        std::string volume = "volume." + std::to_string(index++) + ".";
        uint64_t opens = 0, dismounts = 0;
        std::string byLetter = std::string("CreateFileA \\\\.\\") + letter + ": ";
        for (const std::string& line : plan.Record) {
            bool named = !name.empty() && line.find(name) != std::string::npos;
            if ((named && line.rfind("CreateFileA ", 0) == 0) || (letter && line.rfind(byLetter, 0) == 0)) ++opens;
            if (named && (line.rfind("FindFirstVolumeA ", 0) == 0 || line.rfind("FindNextVolumeA ", 0) == 0)) ++opens;
            if (named && line.find("FSCTL_DISMOUNT_VOLUME") != std::string::npos) ++dismounts;
        }
        auto expect = [&](const char* counter, uint64_t want) {
            uint64_t have = Counter(o.Driver, volume + counter);
            if (have != want)
                failures->push_back((name.empty() ? std::string("drive ") + letter + ":" : name) + ": " +
                                    std::to_string(have) + " " + counter + ", expected " + std::to_string(want));
        };
        if (!folders) expect("creates", opens);
        expect("dismounts", dismounts);
        expect("writes", 0);
    };
    for (const sim::Volume& v : m.Volumes) check(v.Name.substr(0, v.Name.size() - 1), v.Letter, !v.Mounts.empty());
    for (const auto& [letter, disk] : m.Letters) check("", letter, false);
}

// What holds after every run, whatever the scenario says.
void CheckDisks(const sim::Config& m, const Plan& plan, const Outcome& o, std::vector<std::string>* failures) {
    std::vector<const sim::Disk*> active;
    for (const sim::Disk& d : m.Disks) {
        int n = d.Number;
        if (!Served(o, n)) continue;
        std::string disk = "disk " + std::to_string(n) + ": ";
        if (Sum(o, "writes", n) != 0) failures->push_back(disk + std::to_string(Sum(o, "writes", n)) + " writes");
        if (Sum(o, "verifies", n) + Sum(o, "reads", n) != 0) active.push_back(&d);
    }
    int code = o.Run.Exit;
    if (code >= 1 && code <= 5 && !active.empty())
        failures->push_back("exit " + std::to_string(code) + " but disk " + std::to_string(active[0]->Number) +
                            " was read or verified");
    if (code == 0 && active.size() > 1) failures->push_back("more than one disk was read or verified");
    if ((code != 0 && code != 6 && code != 7) || active.size() != 1) return;
    const sim::Disk& disk = *active[0];
    int n = disk.Number;
    bool verify = plan.Mode == Verify;
    uint64_t copies = plan.Mode == ReadTwice ? 2 : 1;
    std::string kind = verify ? "verify" : "read";
    uint64_t bytes = Sum(o, kind + "_bytes", n), errors = Sum(o, kind + "_errors", n);
    uint64_t off = Sum(o, "last_" + kind + "_offset", n), len = Sum(o, "last_" + kind + "_length", n);
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

bool TimedText(const std::string& quoted) {
    std::string text = sim::Unescape(quoted);
    for (std::string format : {kStatusLineFormat, kSummaryFormat}) {
        for (size_t from = 0, at; from < format.size(); from = at + 2) {
            at = std::min(format.find("%s", from), format.size());
            if (at - from >= 3 && text.find(format.substr(from, at - from)) != std::string::npos) return true;
        }
    }
    static const std::regex values(R"(^[0-9A-F]{2} [0-9A-F]{2})");
    return std::regex_search(text, values);
}

std::vector<std::string> Check(const sim::Scenario& s, const Plan& plan, const Outcome& o) {
    std::vector<std::string> failures;
    const sim::Expectations& e = s.Expect;
    const RunResult& r = o.Run;
    if (r.TimedOut) failures.push_back("no end within " + std::to_string(kRunSeconds) + " s");
    if (plan.Event && !r.CompanionEnd.empty())
        failures.push_back("the control event was not sent: testdiskctl event " + r.CompanionEnd +
                           "; it said: " + std::regex_replace(r.CompanionError, std::regex("[\r\n]+"), " | "));
    if (plan.Event && Counter(o.Driver, "released") != 1) failures.push_back("the held request was not released");
    if (e.HasExit && r.Exit != static_cast<int>(e.Exit & 0xFF))
        failures.push_back("exit code " + std::to_string(r.Exit) + ", expected " + std::to_string(e.Exit));
    auto compare = [&](const std::string& what, const std::string& expected, const std::string& actual) {
        std::string files = plan.SimBytesExpected ? " (as the simulated machine writes it to a file)" : "";
        sim::ReportDifference(what + files + " (matched by form)", Normalize(expected), Normalize(actual), &failures);
    };
    if (plan.SimBytesExpected || e.HasStdout)
        compare("standard output", plan.SimBytesExpected ? plan.SimStdout : e.Stdout, r.Stdout);
    if (plan.SimBytesExpected || e.HasStderr)
        compare("standard error", plan.SimBytesExpected ? plan.SimStderr : e.Stderr, r.Stderr);
    std::smatch same;
    if (std::regex_search(r.Stdout, same, kSameBytes))
        failures.push_back("a listed difference shows equal bytes: " +
                           sim::Escape(same.str().data(), same.length(), false));
    CheckCalls(s, o, &failures);
    CheckDisks(s.Machine, plan, o, &failures);
    CheckVolumes(s.Machine, plan, o, &failures);
    return failures;
}

}  // namespace replay
