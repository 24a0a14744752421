// The device lines of a scenario: disks and their ranges, volumes, letters,
// calls made to fail, control events and console input.
#include <map>

#include "sim/scenario_parse.h"

namespace sim {
namespace parse {
namespace {

const std::map<std::string, uint32_t> kControls = {
    {"c", 0}, {"break", 1}, {"close", 2}, {"logoff", 5}, {"shutdown", 6},
};

// A key of sim/disk_answers.h: KEY=ok|fail[:ERR], and KEY=zero|short where the
// answer is a size.
bool DiskAnswer(Disk& disk, const std::string& key, const std::string& value) {
#define ANSWER_WORDS(name, key, request, zero, error) {key, (zero) != 0},
    static const std::pair<const char*, bool> kAnswers[] = {DISK_ANSWERS(ANSWER_WORDS)};
#undef ANSWER_WORDS
    for (size_t i = 0; i < DISK_ANSWER_COUNT; ++i) {
        if (key != kAnswers[i].first) continue;
        disk.Answers[i].Mode = ParseAnswer(value, &disk.Answers[i].Error);
        Answer mode = disk.Answers[i].Mode;
        if ((mode == Answer::Zero || mode == Answer::Short) && !kAnswers[i].second)
            throw Failure{key + "=ok|fail[:ERR], neither zero nor short"};
        return true;
    }
    return false;
}

}  // namespace

Disk* DiskNumbered(Config& config, const std::string& text) {
    int number = static_cast<int>(Number(text));
    for (Disk& disk : config.Disks)
        if (disk.Number == number) return &disk;
    throw Failure{"no disk " + text + " declared before this line"};
}

void ParseDisk(Config& config, const std::vector<std::string>& w) {
    Disk disk;
    disk.Number = static_cast<int>(Number(w.at(1)));
    for (size_t i = 2; i < w.size(); ++i) {
        auto [key, value] = KeyValue(w[i]);
        if (DiskAnswer(disk, key, value)) continue;
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
        else if (key == "predict")
            disk.Predict = OneOf<Prediction>(
                value, {{"yes", Prediction::Yes}, {"no", Prediction::No}, {"unsupported", Prediction::Unsupported}});
        else if (key == "bus")
            disk.Bus = static_cast<uint32_t>(Number(value));
        else if (key == "vendor")
            disk.Vendor = value;
        else if (key == "product")
            disk.Product = value;
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
        else if (key == "platform-path")
            disk.PlatformPath = value;
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
        if (key == "target")
            letter.Target = value;
        else if (!DeviceKey(letter, key, value))
            throw Failure{"unknown letter key '" + key + "'"};
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

}  // namespace parse
}  // namespace sim
