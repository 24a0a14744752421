/*
 * probe - opens \\.\PhysicalDriveN the way a disk tool does and prints what
 * each request returns, as key=value lines for test scripts.
 *
 *   probe N [command ...]      (no command: info)
 *
 *   info            open a read handle (GENERIC_READ, FILE_FLAG_NO_BUFFERING) and a
 *                   query handle (access 0); send each query to both; GetDevicePowerState
 *   seed:S          pattern seed used by the read checks below (default 0)
 *   read:OFF:LEN    ReadFile at OFF (OVERLAPPED offset on the synchronous handle)
 *   save:OFF:LEN:PATH  ReadFile at OFF and write the data to the file PATH
 *   plainread:LEN   ReadFile without an offset
 *   verify:OFF:LEN  IOCTL_DISK_VERIFY
 *   write:OFF:LEN   WriteFile on a handle opened for writing
 *   seek            SetFilePointerEx on the read handle
 *   scan:CHUNK      read the whole disk in CHUNK-byte reads
 *
 * Every key starts with the command, e.g. "read:0x1000:512.err=23".
 * `err` is 0 on success, else GetLastError().
 */
#include <fcntl.h>
#include <inttypes.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>

#define NO_HANDLE INVALID_HANDLE_VALUE

static int disk;
static uint64_t seed;
static HANDLE read_handle = NO_HANDLE;
static DWORD read_open_error;

static HANDLE open_disk(DWORD access, DWORD flags, DWORD* error) {
    WCHAR path[32];
    HANDLE h;

    swprintf(path, 32, L"\\\\.\\PhysicalDrive%d", disk);
    h = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, flags, NULL);
    *error = h == NO_HANDLE ? GetLastError() : 0;
    return h;
}

static HANDLE reader(void) {
    static int tried;
    if (!tried++) read_handle = open_disk(GENERIC_READ, FILE_FLAG_NO_BUFFERING, &read_open_error);
    return read_handle;
}

static DWORD ioctl(HANDLE h, DWORD code, void* in, DWORD in_len, void* out, DWORD out_len, DWORD* got) {
    *got = 0;
    return DeviceIoControl(h, code, in, in_len, out, out_len, got, NULL) ? 0 : GetLastError();
}

/* Sends one query and prints its error code under KEY.WHAT; returns the code. */
static DWORD ask(HANDLE h, const char* key, const char* what, DWORD code, void* in, DWORD in_len, void* out,
                 DWORD out_len, DWORD* got) {
    DWORD err = ioctl(h, code, in, in_len, out, out_len, got);
    printf("%s.%s.err=%lu\n", key, what, err);
    return err;
}

/* A descriptor text; offset 0 means the device has none. */
static void text(const char* key, const char* name, const BYTE* desc, DWORD offset) {
    printf("%s.property.%s=%s\n", key, name, offset ? (const char*)desc + offset : "(none)");
}

static void queries(HANDLE h, const char* key) {
    union {
        GET_LENGTH_INFORMATION length;
        DISK_GEOMETRY_EX geometry;
        STORAGE_PREDICT_FAILURE predict;
        STORAGE_DEVICE_NUMBER number;
        STORAGE_DESCRIPTOR_HEADER header;
        BYTE raw[1024];
    } out;
    STORAGE_PROPERTY_QUERY query = {StorageDeviceProperty, PropertyStandardQuery, {0}};
    STORAGE_DEVICE_DESCRIPTOR* desc = (STORAGE_DEVICE_DESCRIPTOR*)out.raw;
    DWORD got;

    if (!ask(h, key, "length", IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &out, sizeof(out.length), &got))
        printf("%s.length=%" PRId64 "\n", key, (int64_t)out.length.Length.QuadPart);

    if (!ask(h, key, "geometry", IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, NULL, 0, &out, sizeof(out), &got))
        printf("%s.geometry.size=%" PRId64 "\n%s.geometry.bps=%lu\n%s.geometry.bytes=%lu\n", key,
               (int64_t)out.geometry.DiskSize.QuadPart, key, out.geometry.Geometry.BytesPerSector, key, got);

    if (!ask(h, key, "property", IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &out, sizeof(out), &got)) {
        printf("%s.property.bus=%u\n%s.property.removable=%u\n%s.property.size=%lu\n%s.property.bytes=%lu\n", key,
               (unsigned)desc->BusType, key, desc->RemovableMedia, key, desc->Size, key, got);
        text(key, "vendor", out.raw, desc->VendorIdOffset);
        text(key, "product", out.raw, desc->ProductIdOffset);
        text(key, "revision", out.raw, desc->ProductRevisionOffset);
        text(key, "serial", out.raw, desc->SerialNumberOffset);
    }
    /* The size-only query callers make before allocating the full descriptor. */
    if (!ask(h, key, "header", IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), &out, sizeof(out.header), &got))
        printf("%s.header.size=%lu\n%s.header.bytes=%lu\n", key, out.header.Size, key, got);

    if (!ask(h, key, "predict", IOCTL_STORAGE_PREDICT_FAILURE, NULL, 0, &out, sizeof(out.predict), &got))
        printf("%s.predict=%lu\n", key, out.predict.PredictFailure);

    if (!ask(h, key, "number", IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0, &out, sizeof(out.number), &got))
        printf("%s.number.type=%lu\n%s.number.disk=%lu\n%s.number.partition=%lu\n", key, out.number.DeviceType, key,
               out.number.DeviceNumber, key, out.number.PartitionNumber);
}

static void info(void) {
    DWORD err;
    HANDLE query = open_disk(0, 0, &err);
    BOOL on = 0x5555;
    BOOL ret;

    reader();
    printf("open.read.err=%lu\nopen.query.err=%lu\n", read_open_error, err);
    if (read_handle != NO_HANDLE) queries(read_handle, "read");
    if (query != NO_HANDLE) {
        queries(query, "query");
        SetLastError(0);
        ret = GetDevicePowerState(query, &on);
        printf("power.ret=%d\npower.on=0x%x\npower.err=%lu\n", ret, on, ret ? 0 : GetLastError());
        CloseHandle(query);
    }
}

static uint64_t parse(const char** s) {
    char* end;
    uint64_t v = strtoull(*s, &end, 0);
    *s = *end == ':' ? end + 1 : end;
    return v;
}

/* Offset of the first 8-byte word that does not hold the pattern, or -1. */
static int64_t pattern_mismatch(const BYTE* buf, uint64_t offset, DWORD len) {
    DWORD i;
    for (i = 0; i + 8 <= len; i += 8)
        if (*(const uint64_t*)(buf + i) != ((offset + i) ^ seed)) return (int64_t)(offset + i);
    return -1;
}

static uint64_t fnv1a(const BYTE* buf, DWORD len) {
    uint64_t h = 0xcbf29ce484222325ull;
    DWORD i;
    for (i = 0; i < len; i++) h = (h ^ buf[i]) * 0x100000001b3ull;
    return h;
}

/* The file pointer of a device cannot be moved under Wine: each transfer names its offset. */
static OVERLAPPED at(uint64_t offset) {
    OVERLAPPED ov;

    memset(&ov, 0, sizeof(ov));
    ov.Offset = (DWORD)offset;
    ov.OffsetHigh = (DWORD)(offset >> 32);
    return ov;
}

static DWORD read_at(HANDLE h, void* buf, uint64_t offset, DWORD len, DWORD* got) {
    OVERLAPPED ov = at(offset);

    *got = 0;
    return ReadFile(h, buf, len, got, &ov) ? 0 : GetLastError();
}

static void report_data(const char* key, DWORD err, const BYTE* buf, uint64_t offset, DWORD got) {
    int64_t bad;

    printf("%s.err=%lu\n%s.bytes=%lu\n", key, err, key, got);
    if (err) return;
    printf("%s.sum=%016" PRIx64 "\n", key, fnv1a(buf, got));
    bad = pattern_mismatch(buf, offset, got);
    if (bad < 0)
        printf("%s.pattern=ok\n", key);
    else
        printf("%s.pattern=bad@0x%" PRIx64 "\n", key, (uint64_t)bad);
}

static BYTE* buffer(DWORD len) {
    BYTE* buf = VirtualAlloc(NULL, len ? len : 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!buf) exit(3);
    return buf;
}

static void command(const char* cmd) {
    const char* args = strchr(cmd, ':');
    HANDLE h = reader();
    DWORD got, err;

    args = args ? args + 1 : "";
    if (h == NO_HANDLE && strcmp(cmd, "info") && strncmp(cmd, "seed:", 5) && strncmp(cmd, "write:", 6)) {
        printf("%s.err=%lu\n", cmd, read_open_error);
        return;
    }

    if (!strcmp(cmd, "info"))
        info();
    else if (!strncmp(cmd, "seed:", 5))
        seed = parse(&args);
    else if (!strncmp(cmd, "read:", 5)) {
        uint64_t offset = parse(&args);
        DWORD len = (DWORD)parse(&args);
        BYTE* buf = buffer(len);

        err = read_at(h, buf, offset, len, &got);
        report_data(cmd, err, buf, offset, got);
        VirtualFree(buf, 0, MEM_RELEASE);
    } else if (!strncmp(cmd, "save:", 5)) {
        uint64_t offset = parse(&args);
        DWORD len = (DWORD)parse(&args), put = 0;
        BYTE* buf = buffer(len);
        HANDLE f;

        if (!(err = read_at(h, buf, offset, len, &got))) {
            f = CreateFileA(args, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
            if (f == NO_HANDLE || !WriteFile(f, buf, got, &put, NULL)) err = GetLastError();
            if (f != NO_HANDLE) CloseHandle(f);
        }
        printf("%s.err=%lu\n%s.bytes=%lu\n", cmd, err, cmd, put);
        VirtualFree(buf, 0, MEM_RELEASE);
    } else if (!strncmp(cmd, "plainread:", 10)) {
        DWORD len = (DWORD)parse(&args);
        BYTE* buf = buffer(len);

        err = ReadFile(h, buf, len, &got, NULL) ? 0 : GetLastError();
        printf("%s.err=%lu\n%s.bytes=%lu\n", cmd, err, cmd, got);
        if (!err && got >= 8) printf("%s.origin=0x%" PRIx64 "\n", cmd, *(uint64_t*)buf ^ seed);
        VirtualFree(buf, 0, MEM_RELEASE);
    } else if (!strncmp(cmd, "verify:", 7)) {
        VERIFY_INFORMATION v;
        v.StartingOffset.QuadPart = (LONGLONG)parse(&args);
        v.Length = (DWORD)parse(&args);
        printf("%s.err=%lu\n", cmd, ioctl(h, IOCTL_DISK_VERIFY, &v, sizeof(v), NULL, 0, &got));
    } else if (!strncmp(cmd, "write:", 6)) {
        uint64_t offset = parse(&args);
        DWORD len = (DWORD)parse(&args), open_err;
        HANDLE w = open_disk(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_NO_BUFFERING, &open_err);
        BYTE* buf = buffer(len);
        OVERLAPPED ov = at(offset);

        if (w == NO_HANDLE)
            err = open_err;
        else
            err = WriteFile(w, buf, len, &got, &ov) ? 0 : GetLastError();
        printf("%s.err=%lu\n", cmd, err);
        if (w != NO_HANDLE) CloseHandle(w);
        VirtualFree(buf, 0, MEM_RELEASE);
    } else if (!strcmp(cmd, "seek")) {
        LARGE_INTEGER to, now;
        to.QuadPart = 4096;
        printf("%s.err=%lu\n", cmd, SetFilePointerEx(h, to, &now, FILE_BEGIN) ? 0 : GetLastError());
    } else if (!strncmp(cmd, "scan:", 5)) {
        DWORD chunk = (DWORD)parse(&args), tick;
        GET_LENGTH_INFORMATION size;
        uint64_t offset = 0, bad = 0;
        BYTE* buf = buffer(chunk);

        err = ioctl(h, IOCTL_DISK_GET_LENGTH_INFO, NULL, 0, &size, sizeof(size), &got);
        tick = GetTickCount();
        while (!err && offset < (uint64_t)size.Length.QuadPart) {
            DWORD len = (DWORD)min((uint64_t)chunk, (uint64_t)size.Length.QuadPart - offset);
            if (!(err = read_at(h, buf, offset, len, &got)) && pattern_mismatch(buf, offset, got) >= 0) bad++;
            offset += got;
            if (!got) break;
        }
        printf("%s.err=%lu\n%s.bytes=%" PRIu64 "\n%s.bad_chunks=%" PRIu64 "\n%s.ms=%lu\n", cmd, err, cmd, offset, cmd,
               bad, cmd, GetTickCount() - tick);
        VirtualFree(buf, 0, MEM_RELEASE);
    } else {
        fprintf(stderr, "probe: unknown command %s\n", cmd);
        exit(2);
    }
}

int main(int argc, char** argv) {
    int i;

    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2) {
        fprintf(stderr, "usage: probe N [command ...]\n");
        return 2;
    }
    disk = atoi(argv[1]);
    if (argc == 2) command("info");
    for (i = 2; i < argc; i++) command(argv[i]);
    if (read_handle != NO_HANDLE) CloseHandle(read_handle);
    return 0;
}
