// Checking a run against its scenario, and showing a run as a scenario.
#include "sim/scenario.h"

namespace sim {
namespace {

// An output block as an `expect stdout:` block writes it: CR LF ends a line,
// a lone backslash ends a line that has none.
std::string Block(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            out += "\n";
            ++i;
        } else if (bytes[i] == '\n') {
            out += "\\n\\\n";
        } else if (bytes[i] == '\\' || bytes[i] == '"') {
            out += bytes[i];  // a block quotes nothing but control bytes
        } else {
            out += Escape(&bytes[i], 1, false);
        }
    }
    if (!out.empty() && out.back() != '\n') out += "\\\n";
    return out;
}

}  // namespace

std::string Shown(const std::string& bytes) { return Escape(bytes.data(), bytes.size(), true); }

void ReportDifference(const std::string& what, const std::string& expected, const std::string& actual,
                      std::vector<std::string>* failures) {
    if (expected == actual) return;
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    size_t from = at > 60 ? at - 60 : 0;
    failures->push_back(std::string(what) + " differs at byte " + std::to_string(at) + "\n--- expected (from byte " +
                        std::to_string(from) + ")\n" + Shown(expected.substr(from, 400)) + "\n--- actual\n" +
                        Shown(actual.substr(from, 400)));
}

std::string ShowRun(const Record& record, const std::vector<std::string>& screen) {
    std::string out = "expect exit " + std::to_string(record.ExitCode) + "\nexpect stdout:\n" + Block(record.Stdout) +
                      ".\nexpect stderr:\n" + Block(record.Stderr) + ".\n# screen\n";
    for (const std::string& row : screen) out += "# |" + row + "|\n";
    out += "# calls\n";
    for (const std::string& event : record.Events) out += "# " + event + "\n";
    return out;
}

std::vector<std::string> CheckScenario(const Scenario& s, const Record& r, const std::vector<std::string>& screen,
                                       std::pair<int, int> cursor, int openDevices) {
    std::vector<std::string> failures;
    const Expectations& e = s.Expect;
    if (r.Hang != e.Hang)
        failures.push_back(r.Hang ? "the program hung: " + r.HangReason : "expected a hang, the program ended");
    if (r.Abnormal != e.Abnormal)
        failures.push_back(r.Abnormal ? "the program ended abnormally" : "expected an abnormal end");
    if (e.HasExit && (!r.Exited || r.ExitCode != e.Exit))
        failures.push_back("exit code " + (r.Exited ? std::to_string(r.ExitCode) : std::string("none")) +
                           ", expected " + std::to_string(e.Exit));
    if (e.HasStdout) ReportDifference("standard output", e.Stdout, r.Stdout, &failures);
    if (e.HasStderr) ReportDifference("standard error", e.Stderr, r.Stderr, &failures);
    if (e.HasScreen && screen != e.Screen) {
        std::string shown = "screen differs\n--- expected\n";
        for (const std::string& row : e.Screen) shown += "|" + row + "|\n";
        shown += "--- actual\n";
        for (const std::string& row : screen) shown += "|" + row + "|\n";
        failures.push_back(shown);
    }
    if (e.CursorX >= 0 && (cursor.first != e.CursorX || cursor.second != e.CursorY))
        failures.push_back("cursor at " + std::to_string(cursor.first) + "," + std::to_string(cursor.second));
    size_t at = 0;
    for (const std::string& call : e.Calls) {
        while (at < r.Events.size() && r.Events[at].find(call) == std::string::npos) ++at;
        if (at == r.Events.size()) {
            failures.push_back("call not found in order: " + call);
            break;
        }
        ++at;
    }
    for (const std::string& call : e.NoCalls)
        for (const std::string& event : r.Events)
            if (event.find(call) != std::string::npos) failures.push_back("unexpected call: " + event);
    if (r.DiskWrites != 0)
        failures.push_back("the program wrote to a disk or volume, or opened one for writing, " +
                           std::to_string(r.DiskWrites) + " times (see the WRITE lines of the record)");
    for (const std::string& request : r.Unmodelled)
        failures.push_back("the program sent a request the simulated machine does not model: " + request);
    if (!r.Abnormal && !r.Hang && !r.EndedByEvent && openDevices != 0)
        failures.push_back(std::to_string(openDevices) + " disk or volume handles still open at the end");
    return failures;
}

}  // namespace sim
