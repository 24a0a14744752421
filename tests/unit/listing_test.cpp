// Disk numbers behind paths, the trailing-character strip, and the disk table
// printed from a list built by hand.
#include <string>

#include "unit/fixture.h"

namespace {

const char kMachine[] = R"(stdout: file
disk 3 size=1GiB
disk 4 size=1GiB number=refused
interface \\?\usbstor#disk&ven_acme#3#{53f56307-b6bf-11d0-94f2-00a0c91efb8b} disk=3
volume \\?\Volume{00000000-0000-0000-0000-000000000001}\ disk=3 type=fixed letter=E
volume \\?\Volume{00000000-0000-0000-0000-000000000002}\ disk=3 type=fixed letter=F number=refused
)";

TEST(GetDiskNumber, ByEveryPathForm) {
    BootMachine(std::string(kMachine) + R"(disk 0 size=1MiB
volume \\?\Volume{00000000-0000-0000-0000-000000000003}\ disk=0 type=cdrom device=cdrom letter=G
letter H disk=0 type=cdrom device=dvd
letter I disk=0 type=fixed device=disk
)");
    const std::string longest = R"(\\?\)" + std::string(267, 'x');  // 271 characters: tried
    const std::pair<std::string, int> cases[] = {
        {R"(\\.\PhysicalDrive3)", 3},
        {R"(\\.\PhysicalDrive3\)", 3},
        {R"(\\.\E:)", 3},
        {R"(\\.\E:\)", 3},
        {R"(\\?\usbstor#disk&ven_acme#3#{53f56307-b6bf-11d0-94f2-00a0c91efb8b})", 3},
        {R"(\\?\usbstor#disk&ven_acme#3#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}\)", 3},
        {R"(\\?\Volume{00000000-0000-0000-0000-000000000001})", 3},
        {R"(\\?\Volume{00000000-0000-0000-0000-000000000001}\)", 3},
        {R"(\\.\PhysicalDrive4)", -1},  // the number request is refused
        {R"(\\.\F:)", -1},
        {R"(\\.\PhysicalDrive9)", -1},  // the open fails
        {R"(\\.\Q:\)", -1},
        {R"(\\.\G:)", -1},  // devices other than disks have no number
        {R"(\\?\Volume{00000000-0000-0000-0000-000000000003})", -1},
        {R"(\\.\H:)", -1},
        {R"(\\.\I:)", 0},
        {longest, -1},
        // Not opened: an empty path (what lies past its end is not read), and longer
        // ones, never cut down to a name of something else.
        {std::string("\0x", 2), -1},
        {longest + "y", -1},
        {longest + "\\", -1},
    };
    for (const auto& [path, number] : cases) EXPECT_EQ(GetDiskNumber(path.c_str()), number) << path;
    // A query-only open, and every handle is closed again.
    EXPECT_EQ(sim::CurrentRecord().Events[0], R"(CreateFileA \\.\PhysicalDrive3 access=0x0 share=3 flags=0x0 -> ok)");
    EXPECT_EQ(CountEvents("CreateFileA "), static_cast<int>(std::size(cases)) - 3);
    EXPECT_EQ(sim::OpenDevices(), 0);
    EXPECT_EQ(CountEvents("invalid"), 0);  // nothing asked of, or closed on, a failed open
}

TEST(StripTrailingChar, RemovesOneTrailingCharacterOnly) {
    const char* const cases[][2] = {{R"(C:\)", "C:"}, {R"(C:\\)", R"(C:\)"}, {"C:", "C:"}, {"\\", ""}};
    for (const auto& c : cases) {
        char text[8];
        CopyText(text, c[0], sizeof text);
        StripTrailingChar(text, '\\');
        EXPECT_STREQ(text, c[1]) << c[0];
    }
    char empty[4] = {'\\', 0, '\\', 0};  // an empty text: what lies either side of it stays
    StripTrailingChar(empty + 1, '\\');
    EXPECT_EQ(std::string(empty, 4), std::string("\\\0\\\0", 4));
}

DiskListEntry Entry(int number, const char* bus, const char* size, const char* description, const char* letters) {
    DiskListEntry entry;
    FillBytes(&entry, 0, sizeof entry);
    entry.DiskNumber = number;
    entry.BusName = bus;
    CopyText(entry.SizeText, size, kSizeTextSize);
    CopyText(entry.Description, description, kDescriptionSize);
    CopyText(entry.Letters, letters, kLettersSize);
    return entry;
}

TEST(PrintDiskTable, AllEntriesWhenNotOnlySized) {
    BootMachine();
    DiskListEntry entries[] = {
        Entry(3, "SATA", "500 GB", "ACME HD500", "C:"),
        Entry(1, nullptr, "", "", ""),  // never answered: no bus name at all
        Entry(3, "USB", "", "Card Reader", "E:"),
    };
    DiskList list = {3, 3, 3, entries};
    // Widths 4, 6 and 11; rows by number, entries of one number in list order.
    PrintDiskTable(&list, 0);
    EXPECT_EQ(Stdout(), "Disk1" + std::string(4 + 4 + 2 + 6 + 2 + 11 + 2, ' ') +
                            "\r\n"
                            "Disk3    SATA  500 GB  ACME HD500   C:\r\n"
                            "Disk3    USB           Card Reader  E:\r\n");
}

// A platform with device paths of its own gets their column after the number,
// as wide as the longest; an entry without one keeps the column blank.
TEST(PrintDiskTable, PlatformPathsGetTheirOwnColumn) {
    BootMachine();
    DiskListEntry entries[] = {
        Entry(0, "Virtual", "64 MB", "", "/mnt/a, /"),
        Entry(1, "NVMe", "512 GB", "ACME NV512", ""),
        Entry(2, "USB", "16 GB", "Stick", ""),
    };
    CopyText(entries[0].PlatformPath, "/dev/loop0", kDevicePathSize);
    CopyText(entries[1].PlatformPath, "/dev/nvme0n1", kDevicePathSize);
    DiskList list = {2, 3, 3, entries};
    PrintDiskTable(&list, 1);
    EXPECT_EQ(Stdout(),
              "Disk0    /dev/loop0    Virtual   64 MB              /mnt/a, /\r\n"
              "Disk1    /dev/nvme0n1  NVMe     512 GB  ACME NV512  \r\n"
              "Disk2                  USB       16 GB  Stick       \r\n");
}

// Columns that no entry fills take no room, and a device path of one
// character still gets its column.
TEST(PrintDiskTable, EmptyColumnsTakeNoRoom) {
    BootMachine();
    DiskListEntry entries[] = {Entry(2, "", "", "", "")};
    DiskList list = {2, 1, 1, entries};
    PrintDiskTable(&list, 0);
    CopyText(entries[0].PlatformPath, "/", kDevicePathSize);
    PrintDiskTable(&list, 0);
    EXPECT_EQ(Stdout(),
              "Disk2    "
              "      \r\n"
              "Disk2    /  "
              "      \r\n");
}

// A first path that is a drive root comes from the letter scan; any other,
// however short ("/") or root-like ("/:ab" has its colon second), is a mount
// point of the volume's disk, and a piece of one character is still followed
// by a separator. A platform that names disks by a path of its own lists it.
TEST(ListDisks, OnlyDriveRootsAreLeftToTheLetterScan) {
    BootMachine(R"(stdout: file
disk 0 size=1GiB
disk 1 size=1GiB platform-path=/dev/sdb
interface \\?\disk0 disk=0
interface \\?\disk1 disk=1
volume \\?\Volume{00000000-0000-0000-0000-000000000001}\ disk=0 type=fixed letter=C
volume \\?\Volume{00000000-0000-0000-0000-000000000002}\ disk=0 type=fixed mount=/
volume \\?\Volume{00000000-0000-0000-0000-000000000003}\ disk=0 type=fixed
volume \\?\Volume{00000000-0000-0000-0000-000000000004}\ disk=1 type=fixed mount=/
volume \\?\Volume{00000000-0000-0000-0000-000000000005}\ disk=1 type=fixed mount=/boot
volume \\?\Volume{00000000-0000-0000-0000-000000000006}\ disk=1 type=fixed mount=/:ab
)");
    DiskList list;
    FillBytes(&list, 0, sizeof list);
    ListDisks(&list);
    ASSERT_EQ(list.Count, 2);
    EXPECT_STREQ(list.Entries[0].Letters, "C:, /");
    EXPECT_STREQ(list.Entries[1].Letters, "/, /boot, /:ab");
    EXPECT_STREQ(list.Entries[0].PlatformPath, "");  // Windows names disks by number alone
    EXPECT_STREQ(list.Entries[1].PlatformPath, "/dev/sdb");
    FreeDiskList(&list);
}

}  // namespace
