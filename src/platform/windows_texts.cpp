// The texts that name Windows-only things. Shared by the Windows build and the
// simulated machine, which models Windows.
#include "platform/win32.h"

namespace win {

const char kUsageVerifyLine[] = "Calls IOCTL_DISK_VERIFY over a whole disk device.\n";
const char kUsageDiskLine[] = "disknumber  a disk's number as shown in the disk management\n";
const char kVerifyHeaderFormat[] = "calling IOCTL_DISK_VERIFY for all of Disk %u (%s)...\n";

}  // namespace win
