/*
 * testdisk.sys - read-only disks made up in memory, for testing disk tools.
 *
 * The control device \Device\SectorsweepTestDiskCtl takes the requests of
 * testdisk_ioctl.h.  Each configured disk N is a device
 * \Device\SectorsweepTestDiskN reachable as \\.\PhysicalDriveN.  Its data
 * is a pattern computed from the offset (or an image file), with optional
 * faults; every request is counted, and anything that would write is
 * counted and failed.
 *
 * The I/O manager this driver is built for dispatches requests one at a
 * time on a single thread, so the disk state is not locked.
 */
// clang-format off
#include <ntddk.h>
#include <ntdddisk.h>
#include <ntddstor.h>
// clang-format on

#include "testdisk_ioctl.h"

#ifndef STATUS_NONEXISTENT_SECTOR
#define STATUS_NONEXISTENT_SECTOR ((NTSTATUS)0xC0000015)
#endif

/* FILE_OBJECT.FsContext of an open disk handle */
#define HANDLE_ACCESS_KNOWN 0x1
#define HANDLE_CAN_READ 0x2
#define HANDLE_REFUSED 0x4

struct disk {
    struct testdisk_config cfg;
    struct testdisk_stats stats;
    HANDLE image;
    UNICODE_STRING link;
    WCHAR link_buffer[48];
};

static DEVICE_OBJECT* control_device;
static DEVICE_OBJECT* disks[TESTDISK_MAX_DISKS];

static NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static struct disk* disk_of(DEVICE_OBJECT* device) { return device == control_device ? NULL : device->DeviceExtension; }

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

/* Checks a transfer against the disk's geometry, as the disk class driver does. */
static NTSTATUS check_range(const struct disk* d, ULONGLONG offset, ULONG length) {
    ULONG mask = d->cfg.sector_size - 1;

    if ((offset & mask) || (length & mask)) return STATUS_INVALID_PARAMETER;
    if (offset > d->cfg.size || length > d->cfg.size - offset)
        return length ? d->cfg.past_end_status : STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

static void delay(const struct disk* d) {
    LARGE_INTEGER interval;

    if (!d->cfg.latency_us) return;
    interval.QuadPart = -(LONGLONG)d->cfg.latency_us * 10;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

static NTSTATUS fill(struct disk* d, UCHAR* buffer, ULONGLONG offset, ULONG length) {
    ULONG i;
    UCHAR flip = (UCHAR)(d->stats.reads % 255 + 1);

    if (d->image) {
        IO_STATUS_BLOCK io;
        LARGE_INTEGER pos;
        NTSTATUS status;

        pos.QuadPart = (LONGLONG)offset;
        status = ZwReadFile(d->image, NULL, NULL, NULL, &io, buffer, length, &pos, NULL);
        if (!NT_SUCCESS(status)) return status;
        if (io.Information != length) return STATUS_DEVICE_DATA_ERROR;
    } else {
        ULONGLONG* word = (ULONGLONG*)buffer;
        for (i = 0; i < length / 8; i++) word[i] = (offset + (ULONGLONG)i * 8) ^ d->cfg.seed;
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
    return STATUS_SUCCESS;
}

/* ---- disk requests ----------------------------------------------------- */

static NTSTATUS disk_create(struct disk* d, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    IO_SECURITY_CONTEXT* security = sp->Parameters.Create.SecurityContext;
    ULONG options = sp->Parameters.Create.Options;
    ULONG_PTR handle = 0;
    BOOLEAN wants_data;

    d->stats.creates++;
    d->stats.last_create_options = options;
    d->stats.last_create_share = sp->Parameters.Create.ShareAccess;
    d->stats.last_create_access = security ? security->DesiredAccess : TESTDISK_ACCESS_UNKNOWN;

    if (security) {
        handle = HANDLE_ACCESS_KNOWN;
        if (security->DesiredAccess & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) handle |= HANDLE_CAN_READ;
        wants_data = (handle & HANDLE_CAN_READ) != 0;
    } else {
        /* Without the requested access, an unbuffered open is taken as one that wants the data. */
        wants_data = (options & FILE_NO_INTERMEDIATE_BUFFERING) != 0;
    }

    if (d->cfg.open_rule == TESTDISK_OPEN_DENIED || (d->cfg.open_rule == TESTDISK_OPEN_READ_DENIED && wants_data)) {
        /* Marked as well, in case the handle is handed out anyway. */
        sp->FileObject->FsContext = (void*)HANDLE_REFUSED;
        d->stats.creates_refused++;
        return complete(irp, STATUS_ACCESS_DENIED, 0);
    }
    sp->FileObject->FsContext = (void*)handle;
    d->stats.open_handles++;
    return complete(irp, STATUS_SUCCESS, FILE_OPENED);
}

static BOOLEAN modifies_disk(const IO_STACK_LOCATION* sp) {
    switch (sp->MajorFunction) {
        case IRP_MJ_WRITE:
        case IRP_MJ_SET_INFORMATION:
        case IRP_MJ_SET_EA:
        case IRP_MJ_SET_VOLUME_INFORMATION:
        case IRP_MJ_FILE_SYSTEM_CONTROL:
        case IRP_MJ_SET_SECURITY:
            return TRUE;
        case IRP_MJ_DEVICE_CONTROL:
            return ((sp->Parameters.DeviceIoControl.IoControlCode >> 14) & FILE_WRITE_ACCESS) != 0;
    }
    return FALSE;
}

static NTSTATUS disk_read(struct disk* d, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    ULONGLONG offset = (ULONGLONG)sp->Parameters.Read.ByteOffset.QuadPart;
    ULONG length = sp->Parameters.Read.Length;
    UCHAR* buffer;
    NTSTATUS status;

    d->stats.reads++;
    d->stats.last_read_offset = offset;
    d->stats.last_read_length = length;
    delay(d);

    status = check_range(d, offset, length);
    if (NT_SUCCESS(status)) status = fault_status(d, TESTDISK_FAULT_READ, offset, length);
    if (NT_SUCCESS(status) && length) {
        buffer = irp->MdlAddress ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority) : NULL;
        status = buffer ? fill(d, buffer, offset, length) : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        d->stats.read_errors++;
        return complete(irp, status, 0);
    }
    d->stats.read_bytes += length;
    return complete(irp, STATUS_SUCCESS, length);
}

static NTSTATUS disk_verify(struct disk* d, const VERIFY_INFORMATION* v) {
    ULONGLONG offset = (ULONGLONG)v->StartingOffset.QuadPart;
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
    static UCHAR buffer[sizeof(STORAGE_DEVICE_DESCRIPTOR) + 160];
    STORAGE_DEVICE_DESCRIPTOR* desc = (STORAGE_DEVICE_DESCRIPTOR*)buffer;
    ULONG at = FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);

    if (out_len < sizeof(STORAGE_DESCRIPTOR_HEADER)) return STATUS_INFO_LENGTH_MISMATCH;
    RtlZeroMemory(buffer, sizeof(buffer));
    desc->Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    desc->DeviceType = 0; /* direct-access block device */
    desc->RemovableMedia = d->cfg.removable != 0;
    desc->CommandQueueing = TRUE;
    desc->BusType = d->cfg.bus_type;
    desc->VendorIdOffset = put_text(buffer, &at, d->cfg.vendor);
    desc->ProductIdOffset = put_text(buffer, &at, d->cfg.product);
    desc->ProductRevisionOffset = put_text(buffer, &at, d->cfg.revision);
    desc->SerialNumberOffset = put_text(buffer, &at, d->cfg.serial);
    desc->Size = at;
    *info = min(out_len, at);
    RtlCopyMemory(out, buffer, *info);
    return STATUS_SUCCESS;
}

static NTSTATUS query_property(struct disk* d, UCHAR* buf, ULONG in_len, ULONG out_len, ULONG_PTR* info) {
    const STORAGE_PROPERTY_QUERY* q = (const STORAGE_PROPERTY_QUERY*)buf;

    d->stats.property_queries++;
    if (in_len < FIELD_OFFSET(STORAGE_PROPERTY_QUERY, AdditionalParameters)) return STATUS_INVALID_PARAMETER;
    if (d->cfg.property.mode == TESTDISK_REPLY_FAIL) return d->cfg.property.status;
    if (q->PropertyId != StorageDeviceProperty && q->PropertyId != StorageAccessAlignmentProperty)
        return STATUS_NOT_SUPPORTED;
    if (q->QueryType == PropertyExistsQuery) return STATUS_SUCCESS;
    if (q->QueryType != PropertyStandardQuery) return STATUS_INVALID_PARAMETER;

    if (q->PropertyId == StorageDeviceProperty) return device_descriptor(d, buf, out_len, info);

    {
        STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR a;

        if (out_len < sizeof(STORAGE_DESCRIPTOR_HEADER)) return STATUS_INFO_LENGTH_MISMATCH;
        RtlZeroMemory(&a, sizeof(a));
        a.Version = a.Size = sizeof(a);
        a.BytesPerCacheLine = 64;
        a.BytesPerLogicalSector = a.BytesPerPhysicalSector = d->cfg.sector_size;
        *info = min(out_len, sizeof(a));
        RtlCopyMemory(buf, &a, *info);
        return STATUS_SUCCESS;
    }
}

static void geometry(const struct disk* d, DISK_GEOMETRY* g, ULONGLONG size) {
    g->BytesPerSector = d->cfg.sector_size;
    g->SectorsPerTrack = 63;
    g->TracksPerCylinder = 255;
    g->Cylinders.QuadPart = (LONGLONG)(size / (63ull * 255 * d->cfg.sector_size));
    g->MediaType = d->cfg.removable ? RemovableMedia : FixedMedia;
}

static NTSTATUS disk_ioctl(struct disk* d, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR handle = (ULONG_PTR)sp->FileObject->FsContext;
    UCHAR* buf = irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR info = 0;
    NTSTATUS status;

    d->stats.ioctls++;
    if (modifies_disk(sp)) {
        d->stats.writes++;
        return complete(irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
    }

    switch (code) {
        case IOCTL_DISK_GET_LENGTH_INFO:
            d->stats.length_queries++;
            if ((handle & HANDLE_ACCESS_KNOWN) && !(handle & HANDLE_CAN_READ))
                status = STATUS_ACCESS_DENIED;
            else if (d->cfg.length.mode == TESTDISK_REPLY_FAIL)
                status = d->cfg.length.status;
            else if (out_len < sizeof(GET_LENGTH_INFORMATION))
                status = STATUS_BUFFER_TOO_SMALL;
            else {
                GET_LENGTH_INFORMATION* len = (GET_LENGTH_INFORMATION*)buf;
                len->Length.QuadPart = d->cfg.length.mode == TESTDISK_REPLY_ZERO ? 0 : (LONGLONG)d->cfg.size;
                info = sizeof(*len);
                status = STATUS_SUCCESS;
            }
            break;

        case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
            BOOLEAN ex = code == IOCTL_DISK_GET_DRIVE_GEOMETRY_EX;
            ULONG need = ex ? FIELD_OFFSET(DISK_GEOMETRY_EX, Data) : sizeof(DISK_GEOMETRY);
            ULONGLONG size = d->cfg.geometry.mode == TESTDISK_REPLY_ZERO ? 0 : d->cfg.size;

            d->stats.geometry_queries++;
            if (d->cfg.geometry.mode == TESTDISK_REPLY_FAIL)
                status = d->cfg.geometry.status;
            else if (out_len < need)
                status = STATUS_BUFFER_TOO_SMALL;
            else {
                RtlZeroMemory(buf, need);
                geometry(d, (DISK_GEOMETRY*)buf, size);
                if (ex) ((DISK_GEOMETRY_EX*)buf)->DiskSize.QuadPart = (LONGLONG)size;
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
            if (out_len < sizeof(STORAGE_DEVICE_NUMBER))
                status = STATUS_BUFFER_TOO_SMALL;
            else {
                STORAGE_DEVICE_NUMBER* n = (STORAGE_DEVICE_NUMBER*)buf;
                n->DeviceType = FILE_DEVICE_DISK;
                n->DeviceNumber = d->cfg.disk;
                n->PartitionNumber = 0;
                info = sizeof(*n);
                status = STATUS_SUCCESS;
            }
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

/* ---- disk management --------------------------------------------------- */

static void close_image(struct disk* d) {
    if (d->image) ZwClose(d->image);
    d->image = NULL;
}

static NTSTATUS open_image(struct disk* d) {
    OBJECT_ATTRIBUTES attr;
    UNICODE_STRING path;
    IO_STATUS_BLOCK io;
    FILE_STANDARD_INFORMATION info;
    NTSTATUS status;

    RtlInitUnicodeString(&path, (const WCHAR*)d->cfg.image);
    InitializeObjectAttributes(&attr, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwCreateFile(&d->image, GENERIC_READ | SYNCHRONIZE, &attr, &io, NULL, 0, FILE_SHARE_READ, FILE_OPEN,
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
    if (!NT_SUCCESS(status)) {
        d->image = NULL;
        return status;
    }
    status = ZwQueryInformationFile(d->image, &io, &info, sizeof(info), FileStandardInformation);
    if (NT_SUCCESS(status)) {
        ULONGLONG have = (ULONGLONG)info.EndOfFile.QuadPart & ~(ULONGLONG)(d->cfg.sector_size - 1);
        if (!d->cfg.size)
            d->cfg.size = have;
        else if (d->cfg.size > have)
            status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) close_image(d);
    return status;
}

static NTSTATUS check_config(struct testdisk_config* c) {
    ULONG i;

    if (c->disk >= TESTDISK_MAX_DISKS || c->fault_count > TESTDISK_MAX_FAULTS) return STATUS_INVALID_PARAMETER;
    if (!c->sector_size) c->sector_size = 512;
    if (c->sector_size < 512 || c->sector_size > 65536 || (c->sector_size & (c->sector_size - 1)))
        return STATUS_INVALID_PARAMETER;
    if (c->size % c->sector_size || (!c->size && !c->image[0])) return STATUS_INVALID_PARAMETER;
    if (c->open_rule > TESTDISK_OPEN_DENIED) return STATUS_INVALID_PARAMETER;
    if (!c->past_end_status) c->past_end_status = STATUS_NONEXISTENT_SECTOR;
    for (i = 0; i < c->fault_count; i++)
        if (!c->faults[i].length || c->faults[i].offset + c->faults[i].length < c->faults[i].offset)
            return STATUS_INVALID_PARAMETER;
    c->vendor[sizeof(c->vendor) - 1] = 0;
    c->product[sizeof(c->product) - 1] = 0;
    c->revision[sizeof(c->revision) - 1] = 0;
    c->serial[sizeof(c->serial) - 1] = 0;
    c->image[ARRAYSIZE(c->image) - 1] = 0;
    return STATUS_SUCCESS;
}

static void remove_disk(ULONG n) {
    DEVICE_OBJECT* device = disks[n];
    struct disk* d;

    if (!device) return;
    d = device->DeviceExtension;
    IoDeleteSymbolicLink(&d->link);
    close_image(d);
    IoDeleteDevice(device);
    disks[n] = NULL;
}

/* Creates disk N, or gives an existing one a new configuration and fresh counters. */
static NTSTATUS add_disk(DRIVER_OBJECT* driver, const struct testdisk_config* request) {
    struct testdisk_config cfg = *request;
    DEVICE_OBJECT* device;
    struct disk* d;
    UNICODE_STRING name;
    WCHAR name_buffer[48];
    NTSTATUS status;

    if (!NT_SUCCESS(status = check_config(&cfg))) return status;

    if (!(device = disks[cfg.disk])) {
        make_name(&name, name_buffer, sizeof(name_buffer), TESTDISK_DEVICE_PREFIX, cfg.disk);
        status = IoCreateDevice(driver, sizeof(struct disk), &name, FILE_DEVICE_DISK, 0, FALSE, &device);
        if (!NT_SUCCESS(status)) return status;
        d = device->DeviceExtension;
        RtlZeroMemory(d, sizeof(*d));
        make_name(&d->link, d->link_buffer, sizeof(d->link_buffer), TESTDISK_LINK_PREFIX, cfg.disk);
        status = IoCreateSymbolicLink(&d->link, &name);
        if (!NT_SUCCESS(status)) {
            /* Wine's mount manager links PhysicalDrive0 to a disk of its own: the test disk takes the name over. */
            IoDeleteSymbolicLink(&d->link);
            status = IoCreateSymbolicLink(&d->link, &name);
        }
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(device);
            return status;
        }
        device->Flags |= DO_DIRECT_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        disks[cfg.disk] = device;
    }

    d = device->DeviceExtension;
    close_image(d);
    d->cfg = cfg;
    RtlZeroMemory(&d->stats, sizeof(d->stats));
    if (cfg.image[0] && !NT_SUCCESS(status = open_image(d))) {
        remove_disk(cfg.disk);
        return status;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS control_ioctl(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    ULONG in_len = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_len = sp->Parameters.DeviceIoControl.OutputBufferLength;
    void* buf = irp->AssociatedIrp.SystemBuffer;
    ULONG n, i;

    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_TESTDISK_ADD:
            if (in_len < sizeof(struct testdisk_config)) return complete(irp, STATUS_INVALID_PARAMETER, 0);
            return complete(irp, add_disk(device->DriverObject, buf), 0);

        case IOCTL_TESTDISK_REMOVE:
            if (in_len < sizeof(uint32_t) || (n = *(uint32_t*)buf) >= TESTDISK_MAX_DISKS)
                return complete(irp, STATUS_INVALID_PARAMETER, 0);
            if (!disks[n]) return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
            remove_disk(n);
            return complete(irp, STATUS_SUCCESS, 0);

        case IOCTL_TESTDISK_RESET:
            for (i = 0; i < TESTDISK_MAX_DISKS; i++) remove_disk(i);
            return complete(irp, STATUS_SUCCESS, 0);

        case IOCTL_TESTDISK_STATS:
            if (in_len < sizeof(uint32_t) || (n = *(uint32_t*)buf) >= TESTDISK_MAX_DISKS)
                return complete(irp, STATUS_INVALID_PARAMETER, 0);
            if (!disks[n]) return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
            if (out_len < sizeof(struct testdisk_stats)) return complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
            RtlCopyMemory(buf, &((struct disk*)disks[n]->DeviceExtension)->stats, sizeof(struct testdisk_stats));
            return complete(irp, STATUS_SUCCESS, sizeof(struct testdisk_stats));
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* ---- dispatch ---------------------------------------------------------- */

static NTSTATUS NTAPI dispatch(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* sp = IoGetCurrentIrpStackLocation(irp);
    struct disk* d = disk_of(device);
    BOOLEAN refused;

    if (!d) {
        switch (sp->MajorFunction) {
            case IRP_MJ_CREATE:
            case IRP_MJ_CLOSE:
            case IRP_MJ_CLEANUP:
                return complete(irp, STATUS_SUCCESS, 0);
            case IRP_MJ_DEVICE_CONTROL:
                return control_ioctl(device, irp);
        }
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }

    if (sp->MajorFunction == IRP_MJ_CREATE) return disk_create(d, irp);
    refused = sp->FileObject && ((ULONG_PTR)sp->FileObject->FsContext & HANDLE_REFUSED);

    switch (sp->MajorFunction) {
        case IRP_MJ_CLOSE:
            d->stats.closes++;
            if (!refused && d->stats.open_handles) d->stats.open_handles--;
            return complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_CLEANUP:
            return complete(irp, STATUS_SUCCESS, 0);
    }

    if (refused) {
        if (modifies_disk(sp)) d->stats.writes++;
        d->stats.refused_requests++;
        return complete(irp, STATUS_ACCESS_DENIED, 0);
    }

    switch (sp->MajorFunction) {
        case IRP_MJ_FLUSH_BUFFERS:
            return complete(irp, STATUS_SUCCESS, 0);
        case IRP_MJ_READ:
            return disk_read(d, irp);
        case IRP_MJ_DEVICE_CONTROL:
            return disk_ioctl(d, irp);
    }
    if (modifies_disk(sp)) {
        d->stats.writes++;
        return complete(irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void NTAPI unload(DRIVER_OBJECT* driver) {
    UNICODE_STRING link;
    ULONG i;

    (void)driver;
    for (i = 0; i < TESTDISK_MAX_DISKS; i++) remove_disk(i);
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
    return STATUS_SUCCESS;
}
