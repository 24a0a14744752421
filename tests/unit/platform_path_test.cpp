// A platform that names disks by a device path of its own (Linux) shows it where
// Windows has only the number: in the open message and in a header whose disk
// names itself nothing. The simulated machine stands for one with disks that
// carry a platform path.
#include "unit/fixture.h"

namespace {

TEST(PlatformPath, NamesTheDiskInTheOpenMessage) {
    BootMachine("stdout: file\ndisk 1 size=8MiB open=query-only platform-path=/dev/sdb\n");
    EXPECT_EQ(RunDiskPass(1, Read), 5u);
    EXPECT_EQ(Stdout(),
              "Error ACCESS_DENIED opening /dev/sdb -> abort\r\n"
              "Hint: reading from a disk device requires admin privileges.\r\n");
    // The open itself still goes by the number.
    EXPECT_EQ(CountEvents(R"(CreateFileA \\.\PhysicalDrive1 access=0x80000000)"), 1);
}

TEST(PlatformPath, NamesADiskThatNamesItselfNothing) {
    BootMachine(
        "stdout: file\ndisk 1 size=8MiB platform-path=/dev/loop3\ndisk 2 size=8MiB vendor=ACME product=Disk "
        "platform-path=/dev/sdc\n");
    EXPECT_EQ(RunDiskPass(1, Read), 0u);
    EXPECT_NE(Stdout().find("reading for all of Disk 1 (/dev/loop3)...\r\n"), std::string::npos) << Stdout();
    BootMachine("stdout: file\ndisk 2 size=8MiB vendor=ACME product=Disk platform-path=/dev/sdc\n");
    EXPECT_EQ(RunDiskPass(2, Read), 0u);
    EXPECT_NE(Stdout().find("reading for all of Disk 2 (ACME Disk)...\r\n"), std::string::npos) << Stdout();
}

}  // namespace
