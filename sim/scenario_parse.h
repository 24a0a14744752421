// What the scenario parser's two files share: its failure, the readers of
// values and the parsers of device lines. Private to sim/.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "sim/scenario.h"

namespace sim {
namespace parse {

// A mistake in a scenario; the parser names the line.
struct Failure {
    std::string What;
};

constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_NO_MORE_FILES = 18;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;

std::vector<std::string> Words(const std::string& line);
uint64_t Number(const std::string& text);
uint32_t ErrorCode(const std::string& text);
Range ParseRange(const std::string& text);
StdKind ParseStd(const std::string& text);
Answer ParseAnswer(const std::string& text, uint32_t* error);
int Count(const std::string& text);
uint32_t DriveType(const std::string& text);
uint32_t DeviceType(const std::string& text);
char DriveLetter(const std::string& text);
std::pair<std::string, std::string> KeyValue(const std::string& word);

template <typename T>
T OneOf(const std::string& text, std::initializer_list<std::pair<const char*, T>> choices) {
    std::string names;
    for (const auto& [name, value] : choices) {
        if (text == name) return value;
        names += names.empty() ? name : std::string("|") + name;
    }
    throw Failure{"'" + text + "' is not one of " + names};
}

Disk* DiskNumbered(Config& config, const std::string& text);
void ParseDisk(Config& config, const std::vector<std::string>& w);
void ParseVolume(Config& config, const std::vector<std::string>& w);
void ParseLetter(Config& config, const std::vector<std::string>& w);
void ParseFail(Config& config, const std::vector<std::string>& w);
void ParseControl(Config& config, const std::vector<std::string>& w);
void ParseInput(Config& config, const std::vector<std::string>& w);

}  // namespace parse
}  // namespace sim
