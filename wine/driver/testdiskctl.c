/*
 * testdiskctl - configures the disks of testdisk.sys and reads their counters.
 *
 *   testdiskctl add N [key=value ...]   create disk N (\\.\PhysicalDriveN) or replace its setup
 *   testdiskctl remove N
 *   testdiskctl reset                   remove every disk
 *   testdiskctl stats N                 print the counters of disk N as key=value lines
 *
 * Keys of `add` (numbers are decimal or 0x hex, sizes may end in K, M, G or T):
 *   size=BYTES sector=BYTES seed=NUM image=PATH latency-us=NUM
 *   bus=NUM|NAME vendor=TEXT product=TEXT revision=TEXT serial=TEXT removable=yes|no
 *   open=any|read-denied|denied
 *   length=ok|zero|fail[:STATUS]  geometry=ok|zero|fail[:STATUS]
 *   property=ok|fail[:STATUS]     predict=yes|no|fail[:STATUS]
 *   read-fault=OFF+LEN[:STATUS]   verify-fault=OFF+LEN[:STATUS]   fault=OFF+LEN[:STATUS]
 *   flaky=OFF+LEN                 past-end=STATUS
 * STATUS is a name (crc, data-error, sector, io, not-ready, timeout, hardware, not-supported,
 * invalid-parameter, invalid-request, access-denied) or an NTSTATUS number.  Faults fail with
 * crc unless told, `fail` answers with invalid-request, and past-end defaults to sector.
 * Texts are empty (absent from the descriptor) unless given.
 */
#include <fcntl.h>
#include <inttypes.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>

#include "testdisk_ioctl.h"

static const struct {
    const char* name;
    uint32_t value;
} statuses[] = {
    {"crc", 0xC000003F},               /* STATUS_CRC_ERROR            -> 23 */
    {"data-error", 0xC000009C},        /* STATUS_DEVICE_DATA_ERROR    -> 23 */
    {"sector", 0xC0000015},            /* STATUS_NONEXISTENT_SECTOR   -> 27 */
    {"io", 0xC0000185},                /* STATUS_IO_DEVICE_ERROR      -> 1117 */
    {"not-ready", 0xC00000A3},         /* STATUS_DEVICE_NOT_READY     -> 21 */
    {"timeout", 0xC00000B5},           /* STATUS_IO_TIMEOUT           -> 121 */
    {"hardware", 0xC0000186},          /* STATUS_DEVICE_HARDWARE_ERROR -> 483 */
    {"not-supported", 0xC00000BB},     /* STATUS_NOT_SUPPORTED        -> 50 */
    {"invalid-parameter", 0xC000000D}, /* STATUS_INVALID_PARAMETER    -> 87 */
    {"invalid-request", 0xC0000010},   /* STATUS_INVALID_DEVICE_REQUEST -> 1 */
    {"access-denied", 0xC0000022},     /* STATUS_ACCESS_DENIED        -> 5 */
};

static const struct {
    const char* name;
    uint32_t value;
} buses[] = {
    {"scsi", 1}, {"atapi", 2}, {"ata", 3}, {"usb", 7},  {"raid", 8},     {"iscsi", 9},
    {"sas", 10}, {"sata", 11}, {"sd", 12}, {"mmc", 13}, {"virtual", 14}, {"nvme", 17},
};

static const char* arg0 = "testdiskctl";

static void die(const char* what, const char* detail) {
    fprintf(stderr, "%s: %s%s%s\n", arg0, what, detail ? ": " : "", detail ? detail : "");
    exit(2);
}

/* Names compare without regard to case, '-' and '_' being the same. */
static int same_name(const char* a, const char* b, size_t len) {
    size_t i;
    for (i = 0; i < len; i++) {
        char x = a[i] == '_' ? '-' : (char)(a[i] | 0x20), y = b[i];
        if (!y || x != y) return 0;
    }
    return !b[len];
}

static int parse_number(const char* s, const char** end, uint64_t* value) {
    char* stop;
    unsigned long long v;

    if (*s < '0' || *s > '9') return 0;
    v = strtoull(s, &stop, 0);
    switch (*stop) {
        case 'K':
        case 'k':
            v <<= 10;
            stop++;
            break;
        case 'M':
        case 'm':
            v <<= 20;
            stop++;
            break;
        case 'G':
        case 'g':
            v <<= 30;
            stop++;
            break;
        case 'T':
        case 't':
            v <<= 40;
            stop++;
            break;
    }
    *value = v;
    if (end)
        *end = stop;
    else if (*stop)
        return 0;
    return 1;
}

static uint64_t number(const char* key, const char* s) {
    uint64_t v;
    if (!parse_number(s, NULL, &v)) die("bad number", key);
    return v;
}

static int32_t status_value(const char* s, size_t len) {
    uint64_t v;
    const char* end;
    size_t i;

    for (i = 0; i < sizeof(statuses) / sizeof(statuses[0]); i++)
        if (same_name(s, statuses[i].name, len)) return (int32_t)statuses[i].value;
    if (parse_number(s, &end, &v) && end == s + len && v >> 31) return (int32_t)(uint32_t)v;
    die("unknown status", s);
    return 0;
}

/* ok|zero|fail[:STATUS], with the words of the answer given by the caller */
static void reply(struct testdisk_reply* r, const char* s, const char* answer, const char* zero) {
    const char* colon = strchr(s, ':');
    size_t len = colon ? (size_t)(colon - s) : strlen(s);

    r->status = 0;
    if (same_name(s, answer, len) && !colon)
        r->mode = TESTDISK_REPLY_ANSWER;
    else if (zero && same_name(s, zero, len) && !colon)
        r->mode = TESTDISK_REPLY_ZERO;
    else if (same_name(s, "fail", len)) {
        r->mode = TESTDISK_REPLY_FAIL;
        r->status = colon ? status_value(colon + 1, strlen(colon + 1)) : (int32_t)0xC0000010;
    } else
        die("bad answer", s);
}

/* OFF+LEN[:STATUS] */
static void fault(struct testdisk_config* c, const char* s, uint32_t kinds, int32_t default_status) {
    struct testdisk_fault* f;
    const char* p;

    if (c->fault_count >= TESTDISK_MAX_FAULTS) die("too many fault ranges", s);
    f = &c->faults[c->fault_count++];
    f->kinds = kinds;
    f->status = default_status;
    if (!parse_number(s, &p, &f->offset) || *p++ != '+' || !parse_number(p, &p, &f->length))
        die("bad range (OFF+LEN)", s);
    if (*p == ':' && !(kinds & TESTDISK_FAULT_FLAKY))
        f->status = status_value(p + 1, strlen(p + 1));
    else if (*p)
        die("bad range (OFF+LEN)", s);
}

static void text(char* out, size_t size, const char* s) {
    if (strlen(s) >= size) die("text too long", s);
    strcpy(out, s);
}

static void image_path(uint16_t* out, const char* s) {
    char path[ARRAYSIZE(((struct testdisk_config*)0)->image)];
    size_t i;

    /* A Unix path is reached through drive Z:, a drive path through \??\. */
    if (s[0] == '/')
        snprintf(path, sizeof(path), "\\??\\Z:%s", s);
    else if (s[0] && s[1] == ':')
        snprintf(path, sizeof(path), "\\??\\%s", s);
    else
        snprintf(path, sizeof(path), "%s", s);
    for (i = 0; path[i]; i++) out[i] = path[i] == '/' ? '\\' : (unsigned char)path[i];
    out[i] = 0;
}

static void parse_key(struct testdisk_config* c, const char* arg) {
    const char* eq = strchr(arg, '=');
    const char* v;
    size_t len;

    if (!eq) die("expected key=value", arg);
    len = (size_t)(eq - arg);
    v = eq + 1;

#define KEY(name) same_name(arg, name, len)
    if (KEY("size"))
        c->size = number(arg, v);
    else if (KEY("sector"))
        c->sector_size = (uint32_t)number(arg, v);
    else if (KEY("seed"))
        c->seed = number(arg, v);
    else if (KEY("latency-us"))
        c->latency_us = (uint32_t)number(arg, v);
    else if (KEY("image"))
        image_path(c->image, v);
    else if (KEY("vendor"))
        text(c->vendor, sizeof(c->vendor), v);
    else if (KEY("product"))
        text(c->product, sizeof(c->product), v);
    else if (KEY("revision"))
        text(c->revision, sizeof(c->revision), v);
    else if (KEY("serial"))
        text(c->serial, sizeof(c->serial), v);
    else if (KEY("removable"))
        c->removable = same_name(v, "yes", strlen(v));
    else if (KEY("past-end"))
        c->past_end_status = status_value(v, strlen(v));
    else if (KEY("length"))
        reply(&c->length, v, "ok", "zero");
    else if (KEY("geometry"))
        reply(&c->geometry, v, "ok", "zero");
    else if (KEY("property"))
        reply(&c->property, v, "ok", NULL);
    else if (KEY("read-fault"))
        fault(c, v, TESTDISK_FAULT_READ, (int32_t)0xC000003F);
    else if (KEY("verify-fault"))
        fault(c, v, TESTDISK_FAULT_VERIFY, (int32_t)0xC000003F);
    else if (KEY("fault"))
        fault(c, v, TESTDISK_FAULT_READ | TESTDISK_FAULT_VERIFY, (int32_t)0xC000003F);
    else if (KEY("flaky"))
        fault(c, v, TESTDISK_FAULT_FLAKY, 0);
    else if (KEY("predict") && same_name(v, "yes", strlen(v))) {
        c->predict_failure = 1;
        c->predict.mode = TESTDISK_REPLY_ANSWER;
    } else if (KEY("predict")) {
        c->predict_failure = 0;
        reply(&c->predict, v, "no", NULL);
    } else if (KEY("open")) {
        if (same_name(v, "any", strlen(v)))
            c->open_rule = TESTDISK_OPEN_ANY;
        else if (same_name(v, "read-denied", strlen(v)))
            c->open_rule = TESTDISK_OPEN_READ_DENIED;
        else if (same_name(v, "denied", strlen(v)))
            c->open_rule = TESTDISK_OPEN_DENIED;
        else
            die("bad open rule", v);
    } else if (KEY("bus")) {
        size_t i;
        uint64_t n;
        for (i = 0; i < sizeof(buses) / sizeof(buses[0]); i++)
            if (same_name(v, buses[i].name, strlen(v))) break;
        if (i < sizeof(buses) / sizeof(buses[0]))
            c->bus_type = buses[i].value;
        else if (parse_number(v, NULL, &n))
            c->bus_type = (uint32_t)n;
        else
            die("bad bus", v);
    } else
        die("unknown key", arg);
#undef KEY
}

static uint32_t disk_number(const char* s) {
    uint64_t n = number("disk", s);
    if (n >= TESTDISK_MAX_DISKS) die("disk number out of range", s);
    return (uint32_t)n;
}

static void control(DWORD code, void* in, DWORD in_len, void* out, DWORD out_len, const char* what) {
    HANDLE h = CreateFileW(TESTDISK_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DWORD got;
    char msg[64];

    if (h == INVALID_HANDLE_VALUE) {
        snprintf(msg, sizeof(msg), "error %lu (is testdisk.sys running?)", GetLastError());
        die("cannot open the control device", msg);
    }
    if (!DeviceIoControl(h, code, in, in_len, out, out_len, &got, NULL)) {
        snprintf(msg, sizeof(msg), "error %lu", GetLastError());
        die(what, msg);
    }
    CloseHandle(h);
}

static void print_stats(const struct testdisk_stats* s) {
#define U64(field) printf(#field "=%" PRIu64 "\n", s->field)
    U64(creates);
    U64(creates_refused);
    U64(refused_requests);
    U64(closes);
    U64(reads);
    U64(read_bytes);
    U64(read_errors);
    U64(verifies);
    U64(verify_bytes);
    U64(verify_errors);
    U64(ioctls);
    U64(writes);
    U64(length_queries);
    U64(geometry_queries);
    U64(property_queries);
    U64(predict_queries);
    U64(number_queries);
    U64(last_read_offset);
    U64(last_read_length);
    U64(last_verify_offset);
    U64(last_verify_length);
#undef U64
    printf("open_handles=%u\n", s->open_handles);
    printf("last_create_options=0x%x\n", s->last_create_options);
    printf("last_create_share=0x%x\n", s->last_create_share);
    if (s->last_create_access == TESTDISK_ACCESS_UNKNOWN)
        printf("last_create_access=unknown\n");
    else
        printf("last_create_access=0x%x\n", s->last_create_access);
}

static int usage(void) {
    fprintf(stderr, "usage: %s add N [key=value ...] | remove N | reset | stats N\n", arg0);
    return 2;
}

int main(int argc, char** argv) {
    uint32_t n;

    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2) return usage();
    if (!strcmp(argv[1], "add") && argc >= 3) {
        static struct testdisk_config c;
        int i;

        c.disk = disk_number(argv[2]);
        for (i = 3; i < argc; i++) parse_key(&c, argv[i]);
        control(IOCTL_TESTDISK_ADD, &c, sizeof(c), NULL, 0, "add");
    } else if (!strcmp(argv[1], "remove") && argc == 3) {
        n = disk_number(argv[2]);
        control(IOCTL_TESTDISK_REMOVE, &n, sizeof(n), NULL, 0, "remove");
    } else if (!strcmp(argv[1], "reset") && argc == 2)
        control(IOCTL_TESTDISK_RESET, NULL, 0, NULL, 0, "reset");
    else if (!strcmp(argv[1], "stats") && argc == 3) {
        struct testdisk_stats s;
        n = disk_number(argv[2]);
        control(IOCTL_TESTDISK_STATS, &n, sizeof(n), &s, sizeof(s), "stats");
        print_stats(&s);
    } else
        return usage();
    return 0;
}
