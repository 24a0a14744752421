// The texts that name Windows-only things, and Windows' answer to the device
// path of a disk: none besides "\\.\PhysicalDriveN", which the number gives.
// Shared by the Windows build and the simulated machine, which models Windows.
#include "platform/win32.h"

namespace win {

const char kUsageVerifyLine[] = "Calls IOCTL_DISK_VERIFY over a whole disk device.\n";
const char kUsageDiskLine[] = "disknumber  a disk's number as shown in the disk management\n";
const char kVerifyHeaderFormat[] = "calling IOCTL_DISK_VERIFY for all of Disk %u (%s)...\n";

int PlatformDiskPath(int, char*, int) { return 0; }

}  // namespace win
