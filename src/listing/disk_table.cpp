// The "-ld" command: one line per disk whose size is known.
#include "sectorsweep.h"

namespace {

int Widest(int width, const char* text) {
    int length = TextLength(text);
    return length > width ? length : width;
}

}  // namespace

void PrintDiskTable(const DiskList* list, int sizedOnly) {
    int pathWidth = 0;
    int busWidth = 0;
    int sizeWidth = 0;
    int descriptionWidth = 0;
    for (int i = 0; i < list->Count; ++i) {
        const DiskListEntry& entry = list->Entries[i];
        pathWidth = Widest(pathWidth, entry.PlatformPath);
        busWidth = Widest(busWidth, entry.BusName != nullptr ? entry.BusName : "");
        sizeWidth = Widest(sizeWidth, entry.SizeText);
        descriptionWidth = Widest(descriptionWidth, entry.Description);
    }
    // The platform's device paths get a column after the number when there are any.
    char pathField[16];
    if (pathWidth > 0)
        wsprintfA(pathField, "%%-%is  ", pathWidth);
    else
        CopyText(pathField, "%s", static_cast<int>(sizeof pathField));
    char row[80];
    wsprintfA(row, "Disk%%-4i %s%%-%is  %%%is  %%-%is  %%s\n", pathField, busWidth, sizeWidth, descriptionWidth);
    // Ascending disk numbers; entries that share one keep their enumeration order.
    long long previous = -1;
    for (;;) {
        long long next = -1;
        for (int i = 0; i < list->Count; ++i) {
            int number = list->Entries[i].DiskNumber;
            if (number > previous && (next < 0 || number < next)) next = number;
        }
        if (next < 0 || next > list->HighestNumber) break;
        for (int i = 0; i < list->Count; ++i) {
            const DiskListEntry& entry = list->Entries[i];
            if (entry.DiskNumber != next || (sizedOnly && entry.SizeText[0] == 0)) continue;
            Print(row, entry.DiskNumber, entry.PlatformPath, entry.BusName != nullptr ? entry.BusName : "",
                  entry.SizeText, entry.Description, entry.Letters);
        }
        previous = next;
    }
}

void FreeDiskList(DiskList* list) {
    if (list->Entries == nullptr) return;
    FreeChecked(list->Entries);
    list->Entries = nullptr;
}

void RunDiskListing() {
    DiskList list;
    FillBytes(&list, 0, sizeof list);
    ListDisks(&list);
    PrintDiskTable(&list, 1);
    FreeDiskList(&list);
}
