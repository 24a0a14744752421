// What every scenario checks without being asked, and the machines the
// simulator refuses: the guards the scenarios rely on.
#include "fixture.h"

namespace {

std::vector<std::string> Failures() {
    sim::Scenario none;
    return sim::CheckScenario(none, sim::CurrentRecord(), {}, {0, 0}, 0);
}

bool Mentions(const std::vector<std::string>& failures, const std::string& text) {
    for (const std::string& failure : failures)
        if (failure.find(text) != std::string::npos) return true;
    return false;
}

constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

TEST(Guards, AnyRightToChangeADiskOrVolumeFailsTheScenario) {
    const DWORD rights[] = {0x40000000u, 0x10000000u, 0x02000000u, 0x2, 0x4, 0x10, 0x100, 0x10000, 0x40000, 0x80000};
    const char* paths[] = {"\\\\.\\PhysicalDrive1", "\\\\?\\Volume{1}", "\\\\.\\E:"};
    for (const char* path : paths) {
        for (DWORD right : rights) {
            BootMachine("stdout: file\ndisk 1 size=1MiB\nvolume \\\\?\\Volume{1}\\ disk=1 letter=E\n");
            HANDLE handle = CreateFileA(path, GENERIC_READ | right, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            CloseHandle(handle);
            EXPECT_TRUE(Mentions(Failures(), "opened one for writing")) << path << " " << right;
        }
        BootMachine("stdout: file\ndisk 1 size=1MiB\nvolume \\\\?\\Volume{1}\\ disk=1 letter=E\n");
        CloseHandle(CreateFileA(path, GENERIC_READ, kShare, nullptr, OPEN_EXISTING, 0, nullptr));
        CloseHandle(CreateFileA(path, 0, kShare, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(Failures().empty()) << path;
    }
}

TEST(Guards, WritesAndUnknownRequestsFailTheScenario) {
    BootMachine("stdout: file\ndisk 1 size=1MiB\n");
    HANDLE disk = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD returned = 0;
    BYTE data[512] = {};
    EXPECT_FALSE(WriteFile(disk, data, sizeof data, &returned, nullptr));
    EXPECT_TRUE(Mentions(Failures(), "opened one for writing, 1 times"));

    BootMachine("stdout: file\ndisk 1 size=1MiB\n");
    disk = CreateFileA("\\\\.\\PhysicalDrive1", GENERIC_READ, kShare, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD IOCTL_DISK_SET_DRIVE_LAYOUT_EX = 0x7C054;  // asks for write access
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, data, 64, nullptr, 0, &returned, nullptr));
    EXPECT_TRUE(Mentions(Failures(), "opened one for writing, 1 times"));
    EXPECT_FALSE(Mentions(Failures(), "does not model"));

    const DWORD IOCTL_DISK_GET_DRIVE_LAYOUT_EX = 0x70050;  // a read the machine does not model
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, data, 64, &returned, nullptr));
    EXPECT_TRUE(Mentions(Failures(), "does not model: control code 0x70050 sent to \\\\.\\PhysicalDrive1"));
    CloseHandle(disk);
}

TEST(Guards, ImpossibleMachinesAreRefusedByLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"disk 1 size=1MiB sector=0", "line 2: a sector size is a power of two"},
        {"disk 1 size=1MiB sector=768", "line 2: a sector size is a power of two"},
        {"disk 1 size=1MiB sector=131072", "line 2: a sector size is a power of two"},
        {"stdout: console 0x25", "line 2: '0' is not a count from 1 up"},
        {"stdout: console 80", "line 2: a console's size is WIDTHxROWS"},
        {"stdout: console 40000x25", "line 2: a console is at most 32767 wide and high"},
        {"stdout: console 30000x30000", "line 2: a console is at most 32767 wide and high, and 16M cells"},
        {"disk 1 size=lots", "line 2: 'lots' is not a number"},
        {"disk 1 size=-1", "line 2: '-1' is not a number"},
        {"disk 1 predict=maybe", "line 2: 'maybe' is not one of yes|no|unsupported"},
        {"disk 1 descriptor=zero", "line 2: descriptor=ok|fail[:ERR], neither zero nor short"},
        {"letter 7 disk=1", "line 2: a drive letter is A to Z"},
        {"fail at HeapAlloc #0 CRC", "line 2: '0' is not a count from 1 up"},
        {"fail at HeapAlloc 0", "line 2: a failing call needs an error other than 0"},
        {"fail at HeapAlloc CRC often", "line 2: unexpected 'often' after the error"},
        {"ctrl c at ReadFile #0", "line 2: '0' is not a count from 1 up"},
    };
    for (const auto& [line, message] : cases) {
        sim::Scenario scenario;
        std::string error;
        EXPECT_FALSE(sim::ParseScenario(std::string("args: 1\n") + line + "\n", &scenario, &error)) << line;
        EXPECT_EQ(error.rfind(message, 0), 0u) << line << " gave: " << error;
    }
}

TEST(Guards, FailRulesCountTheirOwnCalls) {
    BootMachine(
        "stdout: file\nfail at \"VirtualAlloc commit\" #2 NOT_ENOUGH_MEMORY persist\n"
        "fail at VirtualAlloc #1 CRC\n");
    EXPECT_EQ(VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), 23u);
    BYTE* base = static_cast<BYTE*>(VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(VirtualAlloc(base, 0x1000, MEM_COMMIT, PAGE_READWRITE), base);
    for (int later = 0; later < 3; ++later) {
        EXPECT_EQ(VirtualAlloc(base, 0x1000, MEM_COMMIT, PAGE_READWRITE), nullptr);
        EXPECT_EQ(GetLastError(), 8u);
    }
}

}  // namespace
