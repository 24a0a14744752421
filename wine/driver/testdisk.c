/*
 * testdisk.sys - read-only disks made up in memory, for testing disk tools.
 *
 * The control device \Device\SectorsweepTestDiskCtl takes the requests of
 * testdisk_ioctl.h.  Each configured disk N is reachable as \\.\PhysicalDriveN.
 * Its data is a pattern computed from the offset, with optional faults; every
 * request is counted, and anything that would write is counted and failed.
 * Around the disks the driver stands in for the rest of a machine's storage:
 * disk interfaces that the device setup API lists, volumes with names and
 * drive letters, and a mount manager that lists those volumes.  One disk
 * request can be held pending until the control program releases it.
 *
 * The I/O manager this driver is built for dispatches requests one at a
 * time on a single thread, so the state is not locked.
 */
// clang-format off
#include <ntddk.h>
#include <mountmgr.h>
// clang-format on

/* The requests and records of the program itself, not the SDK's storage headers: one layout for both. */
#include "../../src/platform/device_requests.h"
#include "testdisk_ioctl.h"

#ifndef STATUS_NONEXISTENT_SECTOR
#define STATUS_NONEXISTENT_SECTOR ((NTSTATUS)0xC0000015)
#endif
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6

/* The interfaces' device and instance IDs: ROOT\SECTORSWEEPTESTDISK\0000 and on. */
#define INTERFACE_DEVICE_ID L"ROOT\\SECTORSWEEPTESTDISK"
#define INTERFACE_ENUM_KEY L"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\SECTORSWEEPTESTDISK"
#define INTERFACE_CLASS_KEY \
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses\\{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"
#define INTERFACE_CLASS_PREFIX L"##?#ROOT#SECTORSWEEPTESTDISK#"
#define MOUNTMGR_LINK L"\\??\\MountPointManager"
#define STAND_IN_DEVICE L"\\Device\\SectorsweepMountManager"

static const GUID disk_interface_class = {
    0x53f56307L, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

enum device_kind { KIND_DISK = 1, KIND_VOLUME, KIND_INTERFACE, KIND_MOUNTMGR };

struct disk {
    ULONG kind;
    struct testdisk_config cfg;
    struct testdisk_stats stats;
    UNICODE_STRING link;
    WCHAR link_buffer[40];
};

struct volume {
    ULONG kind;
    struct testdisk_volume_config cfg;
    struct testdisk_volume_stats stats;
    UNICODE_STRING name_link, letter_link;
    WCHAR name_buffer[TESTDISK_VOLUME_NAME], letter_buffer[8];
    WCHAR device_buffer[48];
    UNICODE_STRING device_name;
};

struct disk_interface {
    ULONG kind;
    ULONG index;
    DEVICE_OBJECT* disk;
    UNICODE_STRING link; /* from IoRegisterDeviceInterface */
};

/* A symbolic link taken away for a while, and where it led. */
struct saved_link {
    WCHAR name[24];
    WCHAR target[128];
};

static DEVICE_OBJECT* control_device;
static DEVICE_OBJECT* disks[TESTDISK_MAX_DISKS];
static DEVICE_OBJECT* volumes[TESTDISK_MAX_VOLUMES];
static DEVICE_OBJECT* interfaces[TESTDISK_MAX_INTERFACES];
static DEVICE_OBJECT* stand_in;
static ULONG stand_in_mode;
static struct saved_link saved_links[27]; /* the mount manager's link, then drive letters */
static ULONG saved_count;

static struct testdisk_hold hold;
static ULONG hold_seen;
static IRP* held_irp;
static DEVICE_OBJECT* held_device;
static ULONG released;

static NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static ULONG kind_of(DEVICE_OBJECT* device) { return device == control_device ? 0 : *(ULONG*)device->DeviceExtension; }

static void make_name(UNICODE_STRING* name, WCHAR* buffer, USHORT bytes, const WCHAR* prefix, ULONG n) {
    WCHAR digits[12];
    UNICODE_STRING number = {0, sizeof(digits), digits};

    name->Buffer = buffer;
    name->Length = 0;
    name->MaximumLength = bytes;
    RtlAppendUnicodeToString(name, prefix);
    RtlIntegerToUnicodeString(n, 10, &number);
    RtlAppendUnicodeStringToString(name, &number);
}

/* Creates a link; a link of that name made by someone else is replaced. */
static NTSTATUS take_link(UNICODE_STRING* link, UNICODE_STRING* target) {
    NTSTATUS status = IoCreateSymbolicLink(link, target);

    if (NT_SUCCESS(status)) return status;
    IoDeleteSymbolicLink(link);
    return IoCreateSymbolicLink(link, target);
}

static NTSTATUS new_device(DRIVER_OBJECT* driver, ULONG size, UNICODE_STRING* name, DEVICE_TYPE type,
                           DEVICE_OBJECT** device) {
    NTSTATUS status = IoCreateDevice(driver, size, name, type, 0, FALSE, device);

    if (!NT_SUCCESS(status)) return status;
    RtlZeroMemory((*device)->DeviceExtension, size);
    (*device)->Flags |= DO_DIRECT_IO;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* ---- data -------------------------------------------------------------- */

static BOOLEAN overlaps(const struct testdisk_fault* f, ULONGLONG offset, ULONGLONG length) {
    return offset < f->offset + f->length && f->offset < offset + length;
}

static NTSTATUS fault_status(const struct disk* d, ULONG kind, ULONGLONG offset, ULONGLONG length) {
    ULONG i;

    for (i = 0; i < d->cfg.fault_count; i++) {
        const struct testdisk_fault* f = &d->cfg.faults[i];
        if ((f->kinds & kind) && overlaps(f, offset, length)) return f->status;
    }
    return STATUS_SUCCESS;
}

/*
 * Checks a transfer against the disk's geometry, as the disk class driver does;
 * a disk whose size is not whole sectors ends in a partial sector, which a
 * transfer up to the end may take.
 */
static NTSTATUS check_range(const struct disk* d, ULONGLONG offset, ULONG length) {
    ULONG mask = d->cfg.sector_size - 1;

    if ((offset & mask) || ((length & mask) && offset + length != d->cfg.size)) return STATUS_INVALID_PARAMETER;
    if (offset > d->cfg.size || length > d->cfg.size - offset)
        return length ? STATUS_NONEXISTENT_SECTOR : STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

static void delay(const struct disk* d) {
    LARGE_INTEGER interval;

    if (!d->cfg.latency_us) return;
    interval.QuadPart = -(LONGLONG)d->cfg.latency_us * 10;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

static void fill(struct disk* d, UCHAR* buffer, ULONGLONG offset, ULONG length) {
    ULONG i;
    UCHAR flip = (UCHAR)(d->stats.reads % 255 + 1);
    ULONGLONG* word = (ULONGLONG*)buffer;

    for (i = 0; i < length / 8; i++) word[i] = (offset + (ULONGLONG)i * 8) ^ d->cfg.seed;
    if (length % 8) {
        ULONGLONG last = (offset + (ULONGLONG)i * 8) ^ d->cfg.seed;
        RtlCopyMemory(buffer + (ULONGLONG)i * 8, &last, length % 8);
    }

    /* Every byte of a flaky range reads back differently on every read. */
    for (i = 0; i < d->cfg.fault_count; i++) {
        const struct testdisk_fault* f = &d->cfg.faults[i];
        ULONGLONG from, to, p;

        if (!(f->kinds & TESTDISK_FAULT_FLAKY) || !overlaps(f, offset, length)) continue;
        from = max(f->offset, offset);
        to = min(f->offset + f->length, offset + length);
        for (p = from; p < to; p++) buffer[p - offset] ^= flip;
    }
}

/* ---- held requests ----------------------------------------------------- */

/* Whether this request is the one to hold; counts the requests of its kind. */
static BOOLEAN to_hold(const struct disk* d, ULONG kind, ULONGLONG offset) {
    if (!hold.ordinal || hold.disk != d->cfg.disk || hold.kind != kind) return FALSE;
    if ((kind == TESTDISK_HOLD_VERIFY || kind == TESTDISK_HOLD_READ) && offset != hold.offset) return FALSE;
    if (++hold_seen != hold.ordinal) return FALSE;
    hold.ordinal = 0;
    return TRUE;
}

static NTSTATUS hold_request(DEVICE_OBJECT* device, IRP* irp) {
    IoMarkIrpPending(irp);
    held_irp = irp;
    held_device = device;
    return STATUS_PENDING;
}

/* ---- disk requests ----------------------------------------------------- */

static BOOLEAN modifies(const IO_STACK_LOCATION* sp) {
    switch (sp->MajorFunction) {
        case IRP_MJ_WRITE:
        case IRP_MJ_SET_INFORMATION:
        case IRP_MJ_SET_EA:
        case IRP_MJ_SET_VOLUME_INFORMATION:
        case IRP_MJ_SET_SECURITY:
            return TRUE;
        case IRP_MJ_DEVICE_CONTROL:
            return ((sp->Parameters.DeviceIoControl.IoControlCode >> 14) & FILE_WRITE_ACCESS) != 0;
    }
    return FALSE;
}

static NTSTATUS disk_read(DEVICE_OBJECT* device, struct disk* d, IRP* irp, BOOLEAN may_hold) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    ULONGLONG offset = (ULONGLONG)sp->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = sp->Parameters.Read.Length;
    UCHAR* buffer;
    NTSTATUS status;

    if (may_hold && to_hold(d, TESTDISK_HOLD_READ, offset)) return hold_request(device, irp);
    d->stats.reads++;
    d->stats.last_read_offset = offset;
    d->stats.last_read_length = length;
    delay(d);

    status = check_range(d, offset, length);
    if (NT_SUCCESS(status)) status = fault_status(d, TESTDISK_FAULT_READ, offset, length);
    if (NT_SUCCESS(status) && length) {
        buffer = irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : NULL;
        if (buffer)
            fill(d, buffer, offset, length);
        else
            status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        d->stats.read_errors++;
        return complete(irp, status, 0);
    }
    d->stats.read_bytes += length;
    return complete(irp, STATUS_SUCCESS, length);
}

static NTSTATUS disk_verify(struct disk* d, const VERIFY_INFORMATION* v) {
    ULONGLONG offset = (ULONGLONG)v->StartingOffset;
    NTSTATUS status;

    d->stats.verifies++;
    d->stats.last_verify_offset = offset;
    d->stats.last_verify_length = v->Length;
    delay(d);

    status = check_range(d, offset, v->Length);
    if (NT_SUCCESS(status)) status = fault_status(d, TESTDISK_FAULT_VERIFY, offset, v->Length);
    if (NT_SUCCESS(status))
        d->stats.verify_bytes += v->Length;
    else
        d->stats.verify_errors++;
    return status;
}

/* Appends a text to a descriptor; an empty one is reported absent, at offset 0. */
static ULONG put_text(UCHAR* out, ULONG* at, const char* text) {
    ULONG start = *at, n = 0;

    if (!text[0]) return 0;
    while (text[n]) n++;
    RtlCopyMemory(out + start, text, n + 1);
    *at = start + n + 1;
    return start;
}

static NTSTATUS device_descriptor(const struct disk* d, UCHAR* out, ULONG out_len, ULONG_PTR* info) {
    /* Built whole in a scratch buffer; the caller may take only the start of it. */
    static UCHAR buffer[sizeof(STORAGE_DEVICE_DESCRIPTOR) + 96];
    STORAGE_DEVICE_DESCRIPTOR* desc = (STORAGE_DEVICE_DESCRIPTOR*)buffer;
    ULONG at = FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);

    if (out_len < offsetof(STORAGE_DEVICE_DESCRIPTOR, DeviceType)) return STATUS_INFO_LENGTH_MISMATCH;
    RtlZeroMemory(buffer, sizeof(buffer));
    desc->Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    desc->DeviceType = 0; /* direct-access block device */
    desc->CommandQueueing = TRUE;
    desc->BusType = d->cfg.bus_type;
    desc->VendorIdOffset = put_text(buffer, &at, d->cfg.vendor);
    desc->ProductIdOffset = put_text(buffer, &at, d->cfg.product);
    desc->Size = at;
    *info = min(out_len, at);
    RtlCopyMemory(out, buffer, *info);
    return STATUS_SUCCESS;
}

static NTSTATUS query_property(struct disk* d, UCHAR* buf, ULONG in_len, ULONG out_len, ULONG_PTR* info) {
    const STORAGE_PROPERTY_QUERY* q = (const STORAGE_PROPERTY_QUERY*)buf;

    if (in_len < FIELD_OFFSET(STORAGE_PROPERTY_QUERY, AdditionalParameters)) return STATUS_INVALID_PARAMETER;
    /* Only the device descriptor (0), and that itself (0). */
    if (q->PropertyId != 0) return STATUS_NOT_SUPPORTED;
    if (q->QueryType != 0) return STATUS_INVALID_PARAMETER;
    return device_descriptor(d, buf, out_len, info);
}

static NTSTATUS device_number(const struct testdisk_number* answer, UCHAR* buf, ULONG out_len, ULONG_PTR* info) {
    STORAGE_DEVICE_NUMBER* n = (STORAGE_DEVICE_NUMBER*)buf;

    if (answer->refused) return STATUS_INVALID_DEVICE_REQUEST;
    if (out_len < sizeof(*n)) return STATUS_BUFFER_TOO_SMALL;
    n->DeviceType = FILE_DEVICE_DISK;
    n->DeviceNumber = answer->number;
    n->PartitionNumber = 0;
    *info = sizeof(*n);
    return STATUS_SUCCESS;
}

static NTSTATUS disk_ioctl(DEVICE_OBJECT* device, struct disk* d, IRP* irp, BOOLEAN may_hold) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buf = irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR info = 0;
    NTSTATUS status;

    if (may_hold) {
        ULONG kind = code == IOCTL_DISK_GET_LENGTH_INFO     ? TESTDISK_HOLD_LENGTH
                     : code == IOCTL_STORAGE_QUERY_PROPERTY ? TESTDISK_HOLD_PROPERTY
                     : code == IOCTL_DISK_VERIFY            ? TESTDISK_HOLD_VERIFY
                                                            : 0;
        ULONGLONG offset = kind == TESTDISK_HOLD_VERIFY && in_len >= sizeof(VERIFY_INFORMATION)
                               ? (ULONGLONG)((const VERIFY_INFORMATION*)buf)->StartingOffset
                               : 0;
        if (kind && to_hold(d, kind, offset)) return hold_request(device, irp);
    }

    /* The answers a setup may vary: each request counted, and failed here when told to. */
#define VARIED_ANSWER(name, key, request, zero, error)                          \
    if (code == request) {                                                      \
        d->stats.answer_queries[DISK_ANSWER_##name]++;                          \
        if (d->cfg.answers[DISK_ANSWER_##name].mode == TESTDISK_REPLY_FAIL)     \
            return complete(irp, d->cfg.answers[DISK_ANSWER_##name].status, 0); \
    }
    DISK_ANSWERS(VARIED_ANSWER)
#undef VARIED_ANSWER

    switch (code) {
        case IOCTL_DISK_GET_LENGTH_INFO:
            if (out_len < sizeof(GET_LENGTH_INFORMATION))
                status = STATUS_BUFFER_TOO_SMALL;
            else {
                GET_LENGTH_INFORMATION* len = (GET_LENGTH_INFORMATION*)buf;
                len->Length =
                    d->cfg.answers[DISK_ANSWER_LENGTH].mode == TESTDISK_REPLY_ZERO ? 0 : (LONGLONG)d->cfg.size;
                info = sizeof(*len);
                status = STATUS_SUCCESS;
            }
            break;

        case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
            ULONG need = FIELD_OFFSET(DISK_GEOMETRY_EX, Data);
            ULONGLONG size = d->cfg.answers[DISK_ANSWER_GEOMETRY].mode == TESTDISK_REPLY_ZERO ? 0 : d->cfg.size;

            if (out_len < need)
                status = STATUS_BUFFER_TOO_SMALL;
            else {
                DISK_GEOMETRY_EX* g = (DISK_GEOMETRY_EX*)buf;
                RtlZeroMemory(buf, need);
                g->Geometry.BytesPerSector = d->cfg.sector_size;
                g->Geometry.SectorsPerTrack = 63;
                g->Geometry.TracksPerCylinder = 255;
                g->Geometry.Cylinders = (LONGLONG)(size / (63ull * 255 * d->cfg.sector_size));
                g->Geometry.MediaType = 12; /* FixedMedia */
                g->DiskSize = (LONGLONG)size;
                info = need;
                status = STATUS_SUCCESS;
            }
            break;
        }

        case IOCTL_STORAGE_QUERY_PROPERTY:
            status = query_property(d, buf, in_len, out_len, &info);
            break;

        case IOCTL_STORAGE_PREDICT_FAILURE:
            d->stats.predict_queries++;
            if (d->cfg.predict.mode == TESTDISK_REPLY_FAIL)
                status = d->cfg.predict.status;
            else if (out_len < sizeof(STORAGE_PREDICT_FAILURE))
                status = STATUS_BUFFER_TOO_SMALL;
            else {
                STORAGE_PREDICT_FAILURE* p = (STORAGE_PREDICT_FAILURE*)buf;
                RtlZeroMemory(p, sizeof(*p));
                p->PredictFailure = d->cfg.predict_failure;
                info = sizeof(*p);
                status = STATUS_SUCCESS;
            }
            break;

        case IOCTL_STORAGE_GET_DEVICE_NUMBER:
            d->stats.number_queries++;
            status = device_number(&d->cfg.number, buf, out_len, &info);
            break;

        case IOCTL_DISK_VERIFY:
            if (in_len < sizeof(VERIFY_INFORMATION))
                status = STATUS_INVALID_PARAMETER;
            else
                status = disk_verify(d, (const VERIFY_INFORMATION*)buf);
            break;

        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    return complete(irp, status, NT_SUCCESS(status) ? info : 0);
}

/* Opens, closes and whatever would write, counted alike on disks and volumes; FALSE for the rest. */
static BOOLEAN counted_request(IRP* irp, uint64_t* creates, uint64_t* closes, uint64_t* writes, NTSTATUS* status) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);

    if (modifies(sp)) {
        (*writes)++;
        *status = complete(irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
        return TRUE;
    }
    switch (sp->MajorFunction) {
        case IRP_MJ_CREATE:
            (*creates)++;
            *status = complete(irp, STATUS_SUCCESS, FILE_OPENED);
            return TRUE;
        case IRP_MJ_CLOSE:
            (*closes)++;
            *status = complete(irp, STATUS_SUCCESS, 0);
            return TRUE;
        case IRP_MJ_CLEANUP:
        case IRP_MJ_FLUSH_BUFFERS:
            *status = complete(irp, STATUS_SUCCESS, 0);
            return TRUE;
    }
    return FALSE;
}

static NTSTATUS disk_dispatch(DEVICE_OBJECT* device, IRP* irp, BOOLEAN may_hold) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    struct disk* d = device->DeviceExtension;
    NTSTATUS status;

    if (counted_request(irp, &d->stats.creates, &d->stats.closes, &d->stats.writes, &status)) return status;
    switch (sp->MajorFunction) {
        case IRP_MJ_READ:
            return disk_read(device, d, irp, may_hold);
        case IRP_MJ_DEVICE_CONTROL:
            return disk_ioctl(device, d, irp, may_hold);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* ---- volumes ----------------------------------------------------------- */

static NTSTATUS volume_device_info(const struct volume* v, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    FILE_FS_DEVICE_INFORMATION* info = irp->AssociatedIrp.SystemBuffer;

    if (sp->Parameters.QueryVolume.FsInformationClass != FileFsDeviceInformation)
        return complete(irp, STATUS_INVALID_INFO_CLASS, 0);
    if (sp->Parameters.QueryVolume.Length < sizeof(*info)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    info->Characteristics = 0;
    switch (v->cfg.drive_type) {
        case DRIVE_CDROM:
            info->DeviceType = FILE_DEVICE_CD_ROM_FILE_SYSTEM;
            break;
        case DRIVE_RAMDISK:
            info->DeviceType = FILE_DEVICE_VIRTUAL_DISK;
            break;
        case DRIVE_REMOTE:
            info->DeviceType = FILE_DEVICE_NETWORK_FILE_SYSTEM;
            break;
        case DRIVE_REMOVABLE:
            info->DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
            info->Characteristics = FILE_REMOVABLE_MEDIA;
            break;
        default:
            info->DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
            break;
    }
    return complete(irp, STATUS_SUCCESS, sizeof(*info));
}

static NTSTATUS volume_dispatch(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    struct volume* v = device->DeviceExtension;
    ULONG_PTR info = 0;
    NTSTATUS status;

    if (counted_request(irp, &v->stats.creates, &v->stats.closes, &v->stats.writes, &status)) return status;
    switch (sp->MajorFunction) {
        case IRP_MJ_QUERY_VOLUME_INFORMATION:
            return volume_device_info(v, irp);
        case IRP_MJ_DEVICE_CONTROL:
            /* Wine's ntdll hands a volume's file system requests to its device as device requests. */
            if (sp->Parameters.DeviceIoControl.IoControlCode == FSCTL_DISMOUNT_VOLUME) {
                v->stats.dismounts++;
                return complete(irp, STATUS_SUCCESS, 0);
            }
            if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_STORAGE_GET_DEVICE_NUMBER) break;
            status = device_number(&v->cfg.number, irp->AssociatedIrp.SystemBuffer,
                                   sp->Parameters.DeviceIoControl.OutputBufferLength, &info);
            return complete(irp, status, NT_SUCCESS(status) ? info : 0);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void remove_volume(ULONG i) {
    struct volume* v;

    if (!volumes[i]) return;
    v = volumes[i]->DeviceExtension;
    if (v->name_link.Length) IoDeleteSymbolicLink(&v->name_link);
    if (v->letter_link.Length) IoDeleteSymbolicLink(&v->letter_link);
    IoDeleteDevice(volumes[i]);
    volumes[i] = NULL;
}

static NTSTATUS add_volume(DRIVER_OBJECT* driver, const struct testdisk_volume_config* cfg) {
    DEVICE_OBJECT* device;
    struct volume* v;
    NTSTATUS status;
    ULONG i;

    for (i = 0; i < TESTDISK_MAX_VOLUMES && volumes[i]; i++) continue;
    if (i == TESTDISK_MAX_VOLUMES || (cfg->letter && (cfg->letter < 'A' || cfg->letter > 'Z')))
        return STATUS_INVALID_PARAMETER;

    {
        UNICODE_STRING name;
        WCHAR buffer[48];
        make_name(&name, buffer, sizeof(buffer), L"\\Device\\SectorsweepVolume", i);
        status = new_device(driver, sizeof(struct volume), &name, FILE_DEVICE_DISK, &device);
        if (!NT_SUCCESS(status)) return status;
        v = device->DeviceExtension;
        v->kind = KIND_VOLUME;
        v->cfg = *cfg;
        v->cfg.name[TESTDISK_VOLUME_NAME - 1] = 0;
        RtlCopyMemory(v->device_buffer, buffer, name.Length);
        v->device_name.Buffer = v->device_buffer;
        v->device_name.Length = name.Length;
        v->device_name.MaximumLength = sizeof(v->device_buffer);
    }
    volumes[i] = device;

    if (v->cfg.name[0]) {
        RtlCopyMemory(v->name_buffer, v->cfg.name, sizeof(v->name_buffer));
        RtlInitUnicodeString(&v->name_link, v->name_buffer);
        status = take_link(&v->name_link, &v->device_name);
        if (!NT_SUCCESS(status)) v->name_link.Length = 0;
    }
    if (NT_SUCCESS(status) && v->cfg.letter) {
        RtlCopyMemory(v->letter_buffer, L"\\??\\X:", sizeof(L"\\??\\X:"));
        v->letter_buffer[4] = (WCHAR)v->cfg.letter;
        RtlInitUnicodeString(&v->letter_link, v->letter_buffer);
        status = take_link(&v->letter_link, &v->device_name);
        if (!NT_SUCCESS(status)) v->letter_link.Length = 0;
    }
    if (!NT_SUCCESS(status)) remove_volume(i);
    return status;
}

/* ---- the mount manager stand-in ---------------------------------------- */

static ULONG text_length(const WCHAR* text) {
    ULONG n = 0;

    while (text[n]) n++;
    return n;
}

static void save_and_delete_link(const WCHAR* name) {
    struct saved_link* s = &saved_links[saved_count];
    UNICODE_STRING link, target;
    OBJECT_ATTRIBUTES attr;
    HANDLE handle;
    BOOLEAN saved = FALSE;

    RtlInitUnicodeString(&link, name);
    InitializeObjectAttributes(&attr, &link, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attr))) return;
    target.Buffer = s->target;
    target.Length = 0;
    target.MaximumLength = sizeof(s->target) - sizeof(WCHAR);
    if (NT_SUCCESS(ZwQuerySymbolicLinkObject(handle, &target, NULL))) {
        s->target[target.Length / sizeof(WCHAR)] = 0;
        RtlCopyMemory(s->name, name, (text_length(name) + 1) * sizeof(WCHAR));
        saved_count++;
        saved = TRUE;
    }
    ZwClose(handle);
    if (saved) IoDeleteSymbolicLink(&link);
}

static void restore_links(void) {
    ULONG i;

    for (i = 0; i < saved_count; i++) {
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, saved_links[i].name);
        RtlInitUnicodeString(&target, saved_links[i].target);
        IoDeleteSymbolicLink(&link);
        IoCreateSymbolicLink(&link, &target);
    }
    saved_count = 0;
}

static BOOLEAN volume_lettered(WCHAR letter) {
    ULONG i;

    for (i = 0; i < TESTDISK_MAX_VOLUMES; i++)
        if (volumes[i] && ((struct volume*)volumes[i]->DeviceExtension)->cfg.letter == letter) return TRUE;
    return FALSE;
}

static NTSTATUS start_stand_in(DRIVER_OBJECT* driver, ULONG mode) {
    UNICODE_STRING name, link;
    WCHAR letter[] = L"\\??\\A:";
    NTSTATUS status;

    if (mode != TESTDISK_MOUNTMGR_SERVE && mode != TESTDISK_MOUNTMGR_FAIL) return STATUS_INVALID_PARAMETER;
    if (!stand_in) {
        RtlInitUnicodeString(&name, STAND_IN_DEVICE);
        status = new_device(driver, sizeof(ULONG), &name, FILE_DEVICE_UNKNOWN, &stand_in);
        if (!NT_SUCCESS(status)) return status;
        *(ULONG*)stand_in->DeviceExtension = KIND_MOUNTMGR;
        saved_count = 0;
        save_and_delete_link(MOUNTMGR_LINK);
        /* Wine's own drives would join the disks of the scenario. */
        for (letter[4] = 'A'; letter[4] <= 'Z'; letter[4]++)
            if (!volume_lettered(letter[4])) save_and_delete_link(letter);
        RtlInitUnicodeString(&link, MOUNTMGR_LINK);
        status = take_link(&link, &name);
        if (!NT_SUCCESS(status)) return status;
    }
    stand_in_mode = mode;
    return STATUS_SUCCESS;
}

static void stop_stand_in(void) {
    if (!stand_in) return;
    restore_links();
    IoDeleteDevice(stand_in);
    stand_in = NULL;
}

/* Appends one mount point to a reply that has room for it. */
static void put_mount_point(UCHAR* out, ULONG index, ULONG* at, const UNICODE_STRING* link,
                            const UNICODE_STRING* device) {
    MOUNTMGR_MOUNT_POINT* p = &((MOUNTMGR_MOUNT_POINTS*)out)->MountPoints[index];

    p->SymbolicLinkNameOffset = *at;
    p->SymbolicLinkNameLength = link->Length;
    RtlCopyMemory(out + *at, link->Buffer, link->Length);
    p->DeviceNameOffset = *at + link->Length;
    p->DeviceNameLength = device->Length;
    RtlCopyMemory(out + *at + link->Length, device->Buffer, device->Length);
    p->UniqueIdOffset = 0;
    p->UniqueIdLength = 0;
    *at += link->Length + device->Length;
}

static BOOLEAN same_text(const UCHAR* base, ULONG offset, USHORT length, const UNICODE_STRING* s) {
    UNICODE_STRING text;

    if (!offset) return TRUE;
    text.Buffer = (WCHAR*)(base + offset);
    text.Length = text.MaximumLength = length;
    return RtlEqualUnicodeString(&text, s, TRUE);
}

/* IOCTL_MOUNTMGR_QUERY_POINTS over the volumes of the driver. */
static NTSTATUS query_points(IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buf = irp->AssociatedIrp.SystemBuffer;
    static UCHAR input[1024];
    const MOUNTMGR_MOUNT_POINT* point = (const MOUNTMGR_MOUNT_POINT*)input;
    ULONG count = 0, at, i, pass;

    if (stand_in_mode == TESTDISK_MOUNTMGR_FAIL) return complete(irp, STATUS_NOT_SUPPORTED, 0);
    if (in_len < sizeof(*point) || in_len > sizeof(input) || out_len < sizeof(MOUNTMGR_MOUNT_POINTS))
        return complete(irp, STATUS_INVALID_PARAMETER, 0);
    RtlCopyMemory(input, buf, in_len);
    if (point->SymbolicLinkNameOffset + point->SymbolicLinkNameLength > in_len ||
        point->DeviceNameOffset + point->DeviceNameLength > in_len || point->UniqueIdOffset)
        return complete(irp, STATUS_INVALID_PARAMETER, 0);

    /* Counted first, then written when the reply has room. */
    for (pass = 0; pass < 2; pass++) {
        ULONG strings = 0;
        at = FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints[count]);
        count = 0;
        for (i = 0; i < TESTDISK_MAX_VOLUMES; i++) {
            struct volume* v = volumes[i] ? volumes[i]->DeviceExtension : NULL;
            ULONG k;
            for (k = 0; v && k < 2; k++) {
                const UNICODE_STRING* link = k ? &v->letter_link : &v->name_link;
                if (!link->Length ||
                    !same_text(input, point->SymbolicLinkNameOffset, point->SymbolicLinkNameLength, link) ||
                    !same_text(input, point->DeviceNameOffset, point->DeviceNameLength, &v->device_name))
                    continue;
                if (pass)
                    put_mount_point(buf, count, &at, link, &v->device_name);
                else
                    strings += link->Length + v->device_name.Length;
                count++;
            }
        }
        if (pass == 0 && FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints[count]) + strings > out_len) {
            ((MOUNTMGR_MOUNT_POINTS*)buf)->Size = FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints[count]) + strings;
            return complete(irp, STATUS_BUFFER_OVERFLOW, sizeof(ULONG));
        }
    }
    ((MOUNTMGR_MOUNT_POINTS*)buf)->Size = at;
    ((MOUNTMGR_MOUNT_POINTS*)buf)->NumberOfMountPoints = count;
    return complete(irp, STATUS_SUCCESS, at);
}

static NTSTATUS stand_in_dispatch(IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);

    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_MOUNTMGR_QUERY_POINTS)
        return query_points(irp);
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* ---- disk interfaces --------------------------------------------------- */

static WCHAR* pool_text(const WCHAR* text) {
    SIZE_T bytes = (text_length(text) + 1) * sizeof(WCHAR);
    WCHAR* copy = ExAllocatePool(PagedPool, bytes);

    if (copy) RtlCopyMemory(copy, text, bytes);
    return copy;
}

static NTSTATUS interface_dispatch(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    struct disk_interface* f = device->DeviceExtension;
    struct disk* d = f->disk->DeviceExtension;
    ULONG_PTR info = 0;
    NTSTATUS status;

    switch (sp->MajorFunction) {
        case IRP_MJ_PNP:
            if (sp->MinorFunction != IRP_MN_QUERY_ID) break;
            if (sp->Parameters.QueryId.IdType == BusQueryDeviceID) {
                WCHAR* id = pool_text(INTERFACE_DEVICE_ID);
                return complete(irp, id ? STATUS_SUCCESS : STATUS_NO_MEMORY, (ULONG_PTR)id);
            }
            if (sp->Parameters.QueryId.IdType == BusQueryInstanceID) {
                WCHAR text[8] = L"0000";
                WCHAR* id;
                text[2] = (WCHAR)('0' + f->index / 10);
                text[3] = (WCHAR)('0' + f->index % 10);
                id = pool_text(text);
                return complete(irp, id ? STATUS_SUCCESS : STATUS_NO_MEMORY, (ULONG_PTR)id);
            }
            break;
        case IRP_MJ_DEVICE_CONTROL:
            if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_STORAGE_GET_DEVICE_NUMBER) break;
            d->stats.number_queries++;
            status = device_number(&d->cfg.number, irp->AssociatedIrp.SystemBuffer,
                                   sp->Parameters.DeviceIoControl.OutputBufferLength, &info);
            return complete(irp, status, NT_SUCCESS(status) ? info : 0);
    }
    status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static HANDLE open_key(const WCHAR* path, HANDLE root) {
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attr;
    HANDLE key;

    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&attr, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, NULL);
    return NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attr)) ? key : NULL;
}

/* Deletes a registry key with everything below it. */
static void delete_tree(HANDLE key) {
    static UCHAR buffer[512];
    KEY_BASIC_INFORMATION* info = (KEY_BASIC_INFORMATION*)buffer;
    ULONG got;

    while (NT_SUCCESS(ZwEnumerateKey(key, 0, KeyBasicInformation, info, sizeof(buffer) - sizeof(WCHAR), &got))) {
        HANDLE child;
        info->Name[info->NameLength / sizeof(WCHAR)] = 0;
        child = open_key(info->Name, key);
        if (!child) break;
        delete_tree(child);
    }
    ZwDeleteKey(key);
    ZwClose(key);
}

/* Takes away the keys the device setup API made for the interfaces. */
static void delete_interface_keys(void) {
    static UCHAR buffer[512];
    KEY_BASIC_INFORMATION* info = (KEY_BASIC_INFORMATION*)buffer;
    HANDLE key = open_key(INTERFACE_ENUM_KEY, NULL), classes;
    ULONG got, index = 0;
    UNICODE_STRING prefix, name;

    if (key) delete_tree(key);
    if (!(classes = open_key(INTERFACE_CLASS_KEY, NULL))) return;
    RtlInitUnicodeString(&prefix, INTERFACE_CLASS_PREFIX);
    while (
        NT_SUCCESS(ZwEnumerateKey(classes, index, KeyBasicInformation, info, sizeof(buffer) - sizeof(WCHAR), &got))) {
        info->Name[info->NameLength / sizeof(WCHAR)] = 0;
        RtlInitUnicodeString(&name, info->Name);
        if (RtlPrefixUnicodeString(&prefix, &name, TRUE) && (key = open_key(info->Name, classes)))
            delete_tree(key);
        else
            index++;
    }
    ZwClose(classes);
}

static void remove_interface(ULONG i) {
    struct disk_interface* f;

    if (!interfaces[i]) return;
    f = interfaces[i]->DeviceExtension;
    if (f->link.Buffer) {
        IoSetDeviceInterfaceState(&f->link, FALSE);
        RtlFreeUnicodeString(&f->link);
    }
    IoDeleteDevice(interfaces[i]);
    interfaces[i] = NULL;
}

static DEVICE_OBJECT* disk_numbered(ULONG number) {
    ULONG i;

    for (i = 0; i < TESTDISK_MAX_DISKS; i++)
        if (disks[i] && ((struct disk*)disks[i]->DeviceExtension)->cfg.disk == number) return disks[i];
    return NULL;
}

static NTSTATUS add_interface(DRIVER_OBJECT* driver, ULONG disk) {
    DEVICE_OBJECT *device, *target = disk_numbered(disk);
    struct disk_interface* f;
    NTSTATUS status;
    ULONG i;

    for (i = 0; i < TESTDISK_MAX_INTERFACES && interfaces[i]; i++) continue;
    if (i == TESTDISK_MAX_INTERFACES || !target) return STATUS_INVALID_PARAMETER;
    {
        UNICODE_STRING name;
        WCHAR buffer[48];
        make_name(&name, buffer, sizeof(buffer), L"\\Device\\SectorsweepInterface", i);
        status = new_device(driver, sizeof(struct disk_interface), &name, FILE_DEVICE_DISK, &device);
        if (!NT_SUCCESS(status)) return status;
    }
    device->Flags |= DO_BUS_ENUMERATED_DEVICE;
    f = device->DeviceExtension;
    f->kind = KIND_INTERFACE;
    f->index = i;
    f->disk = target;
    interfaces[i] = device;
    status = IoRegisterDeviceInterface(device, &disk_interface_class, NULL, &f->link);
    if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&f->link, TRUE);
    if (!NT_SUCCESS(status)) remove_interface(i);
    return status;
}

/* ---- disk management --------------------------------------------------- */

static NTSTATUS check_config(struct testdisk_config* c) {
    ULONG i;

    if (c->fault_count > TESTDISK_MAX_FAULTS) return STATUS_INVALID_PARAMETER;
    if (!c->sector_size) c->sector_size = 512;
    if (c->sector_size < 512 || c->sector_size > 65536 || (c->sector_size & (c->sector_size - 1)))
        return STATUS_INVALID_PARAMETER;
    if (!c->size) return STATUS_INVALID_PARAMETER;
    for (i = 0; i < c->fault_count; i++)
        if (!c->faults[i].length || c->faults[i].offset + c->faults[i].length < c->faults[i].offset)
            return STATUS_INVALID_PARAMETER;
    c->vendor[sizeof(c->vendor) - 1] = 0;
    c->product[sizeof(c->product) - 1] = 0;
    return STATUS_SUCCESS;
}

static void remove_disk(ULONG slot) {
    DEVICE_OBJECT* device = disks[slot];

    if (!device) return;
    IoDeleteSymbolicLink(&((struct disk*)device->DeviceExtension)->link);
    IoDeleteDevice(device);
    disks[slot] = NULL;
}

/* Creates disk N, or gives an existing one a new configuration and fresh counters. */
static NTSTATUS add_disk(DRIVER_OBJECT* driver, const struct testdisk_config* request) {
    struct testdisk_config cfg = *request;
    DEVICE_OBJECT* device;
    struct disk* d;
    NTSTATUS status;
    ULONG slot;

    if (!NT_SUCCESS(status = check_config(&cfg))) return status;

    if (!(device = disk_numbered(cfg.disk))) {
        UNICODE_STRING name;
        WCHAR name_buffer[48];

        for (slot = 0; slot < TESTDISK_MAX_DISKS && disks[slot]; slot++) continue;
        if (slot == TESTDISK_MAX_DISKS) return STATUS_INSUFFICIENT_RESOURCES;
        make_name(&name, name_buffer, sizeof(name_buffer), L"\\Device\\SectorsweepTestDisk", slot);
        status = new_device(driver, sizeof(struct disk), &name, FILE_DEVICE_DISK, &device);
        if (!NT_SUCCESS(status)) return status;
        d = device->DeviceExtension;
        d->kind = KIND_DISK;
        make_name(&d->link, d->link_buffer, sizeof(d->link_buffer), L"\\??\\PhysicalDrive", cfg.disk);
        /* Wine's mount manager links PhysicalDrive0 to a disk of its own: the test disk takes the name over. */
        status = take_link(&d->link, &name);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(device);
            return status;
        }
        disks[slot] = device;
    }

    d = device->DeviceExtension;
    d->cfg = cfg;
    RtlZeroMemory(&d->stats, sizeof(d->stats));
    return STATUS_SUCCESS;
}

/* Completes a held request as if it had just come in. */
static void release_held(void) {
    IRP* irp = held_irp;

    if (!irp) return;
    held_irp = NULL;
    released++;
    disk_dispatch(held_device, irp, FALSE);
}

static void reset(void) {
    ULONG i;

    if (held_irp) {
        complete(held_irp, STATUS_CANCELLED, 0);
        held_irp = NULL;
    }
    RtlZeroMemory(&hold, sizeof(hold));
    hold_seen = released = 0;
    for (i = 0; i < TESTDISK_MAX_INTERFACES; i++) remove_interface(i);
    delete_interface_keys();
    for (i = 0; i < TESTDISK_MAX_VOLUMES; i++) remove_volume(i);
    for (i = 0; i < TESTDISK_MAX_DISKS; i++) remove_disk(i);
    stop_stand_in();
}

static NTSTATUS report(void* buf, ULONG out_len, ULONG_PTR* info) {
    struct testdisk_report* r = buf;
    ULONG i;

    if (out_len < sizeof(*r)) return STATUS_BUFFER_TOO_SMALL;
    RtlZeroMemory(r, sizeof(*r));
    for (i = 0; i < TESTDISK_MAX_DISKS; i++) {
        struct disk* d = disks[i] ? disks[i]->DeviceExtension : NULL;
        if (!d) continue;
        r->disk_numbers[r->disk_count] = d->cfg.disk;
        r->disks[r->disk_count++] = d->stats;
    }
    for (i = 0; i < TESTDISK_MAX_VOLUMES && volumes[i]; i++)
        r->volumes[r->volume_count++] = ((struct volume*)volumes[i]->DeviceExtension)->stats;
    r->held = held_irp != NULL;
    r->released = released;
    *info = sizeof(*r);
    return STATUS_SUCCESS;
}

static NTSTATUS control_ioctl(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    void* buf = irp->AssociatedIrp.SystemBuffer;
    DRIVER_OBJECT* driver = device->DriverObject;
    ULONG_PTR info = 0;
    NTSTATUS status;

    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_TESTDISK_ADD:
            if (in_len < sizeof(struct testdisk_config)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
            return complete(irp, add_disk(driver, buf), 0);

        case IOCTL_TESTDISK_VOLUME:
            if (in_len < sizeof(struct testdisk_volume_config)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
            return complete(irp, add_volume(driver, buf), 0);

        case IOCTL_TESTDISK_INTERFACE:
            if (in_len < sizeof(uint32_t)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
            return complete(irp, add_interface(driver, *(uint32_t*)buf), 0);

        case IOCTL_TESTDISK_MOUNTMGR:
            if (in_len < sizeof(uint32_t)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
            return complete(irp, start_stand_in(driver, *(uint32_t*)buf), 0);

        case IOCTL_TESTDISK_HOLD:
            if (in_len < sizeof(struct testdisk_hold)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
            hold = *(struct testdisk_hold*)buf;
            hold_seen = 0;
            return complete(irp, STATUS_SUCCESS, 0);

        case IOCTL_TESTDISK_RELEASE:
            if (!held_irp) return complete(irp, STATUS_INVALID_DEVICE_STATE, 0);
            release_held();
            return complete(irp, STATUS_SUCCESS, 0);

        case IOCTL_TESTDISK_RESET:
            reset();
            return complete(irp, STATUS_SUCCESS, 0);

        case IOCTL_TESTDISK_STATS:
            status = report(buf, out_len, &info);
            return complete(irp, status, info);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* ---- dispatch ---------------------------------------------------------- */

static NTSTATUS NTAPI dispatch(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    ULONG kind = kind_of(device);

    if (kind == KIND_DISK) return disk_dispatch(device, irp, TRUE);
    if (kind == KIND_VOLUME) return volume_dispatch(device, irp);
    /* The other devices are opened and closed without counting. */
    switch (sp->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return complete(irp, STATUS_SUCCESS, 0);
    }
    if (kind == KIND_INTERFACE) return interface_dispatch(device, irp);
    if (kind == KIND_MOUNTMGR) return stand_in_dispatch(irp);
    if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) return control_ioctl(device, irp);
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void NTAPI unload(DRIVER_OBJECT* driver) {
    UNICODE_STRING link;

    (void)driver;
    reset();
    RtlInitUnicodeString(&link, TESTDISK_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(control_device);
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
    UNICODE_STRING name, link;
    NTSTATUS status;
    ULONG i;

    (void)registry;
    RtlInitUnicodeString(&name, TESTDISK_CONTROL_DEVICE);
    RtlInitUnicodeString(&link, TESTDISK_CONTROL_LINK);
    status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control_device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control_device);
        return status;
    }
    control_device->Flags &= ~DO_DEVICE_INITIALIZING;

    for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) driver->MajorFunction[i] = dispatch;
    driver->DriverUnload = unload;
    /* A driver loaded earlier in this session may have left keys behind. */
    delete_interface_keys();
    return STATUS_SUCCESS;
}
