// What only the Linux platform decides: the errno table and the names the
// program prints for it, the transports' bus names, the natural order of kernel
// names, and mountinfo's escapes.
#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/linux/internal.h"
#include "sectorsweep.h"

namespace {

TEST(ErrnoTable, NamesAsOnWindows) {
    const struct {
        int Errno;
        const char* Name;
    } cases[] = {
        {ENOENT, "FILE_NOT_FOUND"},
        {EACCES, "ACCESS_DENIED"},
        {EPERM, "ACCESS_DENIED"},
        {EBUSY, "SHARING_VIOLATION"},
        {ENODATA, "CRC"},
        {EIO, "IO_DEVICE"},
        {ETIMEDOUT, "SEM_TIMEOUT"},
        {ENOMEDIUM, "NO_MEDIA_IN_DRIVE"},
        {ENODEV, "DEVICE_NOT_CONNECTED"},
        {ENXIO, "NO_SUCH_DEVICE"},
        {EROFS, "WRITE_PROTECT"},
        {EINVAL, "INVALID_PARAMETER"},
        {ENOSPC, "DISK_FULL"},
        {EOVERFLOW, "SECTOR_NOT_FOUND"},
        {ENOTTY, "INVALID_FUNCTION"},
        {ENOMEM, "8"},               // NOT_ENOUGH_MEMORY, which Windows prints as its number too
        {EHOSTDOWN, "GEN_FAILURE"},  // not in the table
        {4095, "GEN_FAILURE"},
        {0, "0"},
    };
    for (const auto& c : cases) EXPECT_STREQ(ErrorName(lin::Win32ErrorOf(c.Errno)), c.Name) << c.Errno;
}

TEST(BusType, FromTheSysfsDevicePath) {
    const struct {
        const char* Path;
        bool SdCard;
        const char* Bus;
    } cases[] = {
        {"../devices/pci0000:00/0000:00:04.0/nvme/nvme0/nvme0n1", false, "NVMe"},
        {"../devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb", false, "USB"},
        {"../devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block/sda", false, "SATA"},
        {"../devices/pci0000:00/0000:00:03.0/host0/port-0:0/end_device-0:0/target0:0:0/0:0:0:0/block/sdc", false,
         "SAS"},
        {"../devices/pci0000:00/0000:00:05.0/virtio2/host2/target2:0:0/2:0:0:0/block/sdd", false, "SCSI"},
        {"../devices/pseudo_0/adapter0/host3/target3:0:0/3:0:0:0/block/sde", false, "SCSI"},
        {"../devices/pci0000:00/0000:00:02.0/virtio1/block/vda", false, "Virtual"},
        {"../devices/platform/mmc_host/mmc0/mmc0:0001/block/mmcblk0", false, "MMC"},
        {"../devices/platform/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0", true, "SD"},
        {"../devices/virtual/block/loop3", false, "Virtual"},
        {"../devices/virtual/block/zram0", false, "Virtual"},
        {"../devices/virtual/block/md0", false, "RAID"},
        {"../devices/platform/something/block/xyz", false, "Unknown"},
    };
    for (const auto& c : cases) EXPECT_STREQ(BusTypeName(lin::BusTypeOfSysfsPath(c.Path, c.SdCard)), c.Bus) << c.Path;
}

TEST(NaturalCompare, CountsRunsOfDigitsAsNumbers) {
    const char* const ordered[] = {"loop0",    "loop2", "loop10", "mmcblk0", "nvme0n1", "nvme0n2", "nvme1n1",
                                   "nvme10n1", "sda",   "sdaa",   "sdb",     "vda",     "zram0"};
    for (size_t i = 0; i + 1 < sizeof ordered / sizeof ordered[0]; ++i) {
        EXPECT_LT(lin::NaturalCompare(ordered[i], ordered[i + 1]), 0) << ordered[i];
        EXPECT_GT(lin::NaturalCompare(ordered[i + 1], ordered[i]), 0) << ordered[i];
    }
    EXPECT_EQ(lin::NaturalCompare("sda1", "sda01"), 0);
}

TEST(MountPath, EscapesDecodedAndControlBytesMasked) {
    const struct {
        const char* Raw;
        const char* Shown;
    } cases[] = {
        {"/mnt/my\\040disk", "/mnt/my disk"},
        {"/mnt/back\\134slash", "/mnt/back\\slash"},
        {"/mnt/line\\012end\\033[2J", "/mnt/line?end?[2J"},
        {"/mnt/short\\04", "/mnt/short\\04"},  // not a whole escape: as it stands
        {"/mnt/nul\\000", "/mnt/nul?"},
        {"/mnt/caf\xc3\xa9", "/mnt/caf\xc3\xa9"},  // UTF-8 stays
    };
    for (const auto& c : cases) {
        std::string text = c.Raw;
        lin::DecodeMountPath(text.data());
        MaskControlBytes(text.data());  // as the table does
        EXPECT_STREQ(text.c_str(), c.Shown) << c.Raw;
    }
}

}  // namespace
