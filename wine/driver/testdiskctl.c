/*
 * testdiskctl - sets up the disks, volumes and interfaces of testdisk.sys,
 * reads their counters and sends control events to a program at a held request.
 *
 *   testdiskctl COMMAND [ARG ...] [; COMMAND [ARG ...] ...]
 *
 *   reset                          remove everything; Wine's own links come back
 *   disk N [key=value ...]         create disk N (\\.\PhysicalDriveN) or replace its setup
 *   volume NAME|- [key=value ...]  a volume \\?\Volume{...} (- for a drive letter alone)
 *   interface N                    a disk interface of disk N, listed after those added before
 *   mountmgr serve|fail            \\.\MountPointManager lists the volumes above, or fails every query
 *   hold N length|property|verify|read ORDINAL [OFFSET]
 *                                  keep the ORDINAL-th such request of disk N (at OFFSET) pending
 *   event TYPE PROGRAM             once a request is held: start the console control routine with
 *                                  TYPE in the running PROGRAM (e.g. sectorsweep.exe), then release it;
 *                                  each step is told on standard error as it is reached, and each
 *                                  wait of its own has a bound (see below) after which it says so
 *   stats                          print every counter as key=value lines
 *
 * Keys of `disk` (numbers are decimal or 0x hex, sizes may end in K, M, G or T):
 *   size=BYTES sector=BYTES seed=NUM latency-us=NUM bus=NUM|NAME vendor=TEXT product=TEXT (\xHH: any byte)
 *   number=NUM|refused           the answer to IOCTL_STORAGE_GET_DEVICE_NUMBER (default: N)
 *   KEY=ok|fail[:STATUS], KEY=zero where allowed: each KEY of sim/disk_answers.h (length, ...)
 *   predict=yes|no|fail[:STATUS]
 *   read-fault=OFF+LEN[:STATUS]   verify-fault=OFF+LEN[:STATUS]   fault=OFF+LEN[:STATUS]
 *   flaky=OFF+LEN
 * Keys of `volume`: letter=X type=removable|fixed|ramdisk|cdrom|remote disk=N number=refused
 * STATUS is a name (crc, data-error, sector, io, not-ready, timeout, hardware, not-supported,
 * invalid-parameter, invalid-request, access-denied) or an NTSTATUS number.  Faults fail with
 * crc unless told, `fail` answers with invalid-request.  Texts are empty unless given.
 */
#include <ctype.h>
#include <fcntl.h>
#include <inttypes.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <tlhelp32.h>
#include <winioctl.h>

#include "testdisk_ioctl.h"

struct named {
    const char* name;
    uint32_t value;
};

static const struct named statuses[] = {
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

static const struct named buses[] = {
    {"scsi", 1}, {"atapi", 2}, {"ata", 3}, {"usb", 7},  {"raid", 8},     {"iscsi", 9},
    {"sas", 10}, {"sata", 11}, {"sd", 12}, {"mmc", 13}, {"virtual", 14}, {"nvme", 17},
};

static const struct named drive_types[] = {
    {"removable", DRIVE_REMOVABLE}, {"fixed", DRIVE_FIXED},     {"remote", DRIVE_REMOTE},
    {"cdrom", DRIVE_CDROM},         {"ramdisk", DRIVE_RAMDISK},
};

#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

/* The keys of the varied answers, and the word of a zero answer where there is one. */
#define ANSWER_WORDS(name, key, request, zero, error) {key, (zero) ? "zero" : NULL},
static const struct {
    const char* key;
    const char* zero;
} answers[] = {DISK_ANSWERS(ANSWER_WORDS)};
#undef ANSWER_WORDS

/*
 * How long each wait lasts.  Together they stay below the minute the Wine
 * replay gives a scenario, so the helper, not the replay, says what it was
 * waiting for.
 */
#define CONTROL_WAIT_MS 10000 /* the driver's answer to one request */
#define HOLD_WAIT_MS 30000    /* the program's request to be held */
#define HANDLER_START_MS 1000 /* the handler to start before the request goes on */

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
    const char* units = "KMGT";
    const char* unit;

    if (*s < '0' || *s > '9') return 0;
    v = strtoull(s, &stop, 0);
    if (*stop && (unit = strchr(units, *stop & ~0x20)) != NULL) {
        v <<= 10 * (unit - units + 1);
        stop++;
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

    for (i = 0; i < COUNT(statuses); i++)
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
static void fault(struct testdisk_config* c, const char* s, uint32_t kinds) {
    struct testdisk_fault* f;
    const char* p;

    if (c->fault_count >= TESTDISK_MAX_FAULTS) die("too many fault ranges", s);
    f = &c->faults[c->fault_count++];
    f->kinds = kinds;
    f->status = (int32_t)0xC000003F;
    if (!parse_number(s, &p, &f->offset) || *p++ != '+' || !parse_number(p, &p, &f->length))
        die("bad range (OFF+LEN)", s);
    if (*p == ':' && !(kinds & TESTDISK_FAULT_FLAKY))
        f->status = status_value(p + 1, strlen(p + 1));
    else if (*p)
        die("bad range (OFF+LEN)", s);
}

/* A text with \xHH escapes, so any byte crosses the command line. */
static void text(char* out, size_t size, const char* s) {
    size_t n = 0;
    unsigned hex;
    for (; *s; ++n) {
        if (n + 1 >= size) die("text too long", s);
        if (s[0] == '\\' && s[1] == 'x' && sscanf(s + 2, "%2x", &hex) == 1 && isxdigit((unsigned char)s[3])) {
            out[n] = (char)hex;
            s += 4;
        } else {
            out[n] = *s++;
        }
    }
    out[n] = 0;
}

/* number=NUM|refused */
static void number_answer(struct testdisk_number* n, const char* key, const char* v) {
    n->refused = same_name(v, "refused", strlen(v));
    if (!n->refused) n->number = (uint32_t)number(key, v);
}

/* A name of the table, or a number. */
static uint32_t named_value(const char* v, const char* what, const struct named* table, size_t count) {
    size_t i;
    uint64_t n;
    for (i = 0; i < count; i++)
        if (same_name(v, table[i].name, strlen(v))) return table[i].value;
    if (!parse_number(v, NULL, &n)) die(what, v);
    return (uint32_t)n;
}

static const char* split_key(const char* arg, size_t* len) {
    const char* eq = strchr(arg, '=');
    if (!eq) die("expected key=value", arg);
    *len = (size_t)(eq - arg);
    return eq + 1;
}

static void disk_key(struct testdisk_config* c, const char* arg) {
    size_t len, i;
    const char* v = split_key(arg, &len);

#define KEY(name) same_name(arg, name, len)
    for (i = 0; i < DISK_ANSWER_COUNT; i++)
        if (KEY(answers[i].key)) {
            reply(&c->answers[i], v, "ok", answers[i].zero);
            return;
        }
    if (KEY("size"))
        c->size = number(arg, v);
    else if (KEY("sector"))
        c->sector_size = (uint32_t)number(arg, v);
    else if (KEY("seed"))
        c->seed = number(arg, v);
    else if (KEY("latency-us"))
        c->latency_us = (uint32_t)number(arg, v);
    else if (KEY("vendor"))
        text(c->vendor, sizeof(c->vendor), v);
    else if (KEY("product"))
        text(c->product, sizeof(c->product), v);
    else if (KEY("bus"))
        c->bus_type = named_value(v, "bad bus", buses, COUNT(buses));
    else if (KEY("number"))
        number_answer(&c->number, arg, v);
    else if (KEY("read-fault"))
        fault(c, v, TESTDISK_FAULT_READ);
    else if (KEY("verify-fault"))
        fault(c, v, TESTDISK_FAULT_VERIFY);
    else if (KEY("fault"))
        fault(c, v, TESTDISK_FAULT_READ | TESTDISK_FAULT_VERIFY);
    else if (KEY("flaky"))
        fault(c, v, TESTDISK_FAULT_FLAKY);
    else if (KEY("predict") && same_name(v, "yes", strlen(v))) {
        c->predict_failure = 1;
        c->predict.mode = TESTDISK_REPLY_ANSWER;
    } else if (KEY("predict")) {
        c->predict_failure = 0;
        reply(&c->predict, v, "no", NULL);
    } else
        die("unknown key", arg);
}

static void volume_key(struct testdisk_volume_config* c, const char* arg) {
    size_t len;
    const char* v = split_key(arg, &len);

    if (KEY("letter") && strlen(v) == 1)
        c->letter = (uint32_t)(*v & ~0x20);
    else if (KEY("type"))
        c->drive_type = named_value(v, "bad volume type", drive_types, COUNT(drive_types));
    else if (KEY("disk"))
        c->number.number = (uint32_t)number(arg, v);
    else if (KEY("number") && same_name(v, "refused", strlen(v)))
        c->number.refused = 1;
    else
        die("unknown key", arg);
#undef KEY
}

static uint32_t u32(const char* what, const char* s) {
    uint64_t n = number(what, s);
    if (n > 0xffffffffu) die("out of range", s);
    return (uint32_t)n;
}

static HANDLE control_handle;

/* Sends one request to the control device and waits at most CONTROL_WAIT_MS for the answer. */
static BOOL control(DWORD code, void* in, DWORD in_len, void* out, DWORD out_len, const char* what, BOOL must) {
    static OVERLAPPED io;
    DWORD got;
    BOOL done;
    char msg[64];

    if (!control_handle) {
        control_handle = CreateFileW(TESTDISK_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, NULL);
        if (control_handle == INVALID_HANDLE_VALUE) {
            snprintf(msg, sizeof(msg), "error %lu (is testdisk.sys running?)", GetLastError());
            die("cannot open the control device", msg);
        }
        io.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    }
    ResetEvent(io.hEvent);
    done = DeviceIoControl(control_handle, code, in, in_len, out, out_len, &got, &io);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(io.hEvent, CONTROL_WAIT_MS) != WAIT_OBJECT_0) {
            CancelIoEx(control_handle, &io);
            snprintf(msg, sizeof(msg), "no answer from the driver within %u s", CONTROL_WAIT_MS / 1000);
            die(what, msg);
        }
        done = GetOverlappedResult(control_handle, &io, &got, FALSE);
    }
    if (done) return TRUE;
    if (must) {
        snprintf(msg, sizeof(msg), "error %lu", GetLastError());
        die(what, msg);
    }
    return FALSE;
}

static void print_stats(void) {
    static struct testdisk_report r;
    uint32_t i, k;

    control(IOCTL_TESTDISK_STATS, NULL, 0, &r, sizeof(r), "stats", TRUE);
    printf("held=%u\nreleased=%u\n", r.held, r.released);
    for (i = 0; i < r.disk_count; i++) {
        const struct testdisk_stats* s = &r.disks[i];
        unsigned n = r.disk_numbers[i];
#define DISK_COUNTER(name, text, per_line) printf("disk.%u." #name "=%" PRIu64 "\n", n, s->name);
        TESTDISK_DISK_COUNTERS(DISK_COUNTER)
#undef DISK_COUNTER
        for (k = 0; k < DISK_ANSWER_COUNT; k++)
            printf("disk.%u.%s_queries=%" PRIu64 "\n", n, answers[k].key, s->answer_queries[k]);
    }
    for (i = 0; i < r.volume_count; i++) {
        const struct testdisk_volume_stats* s = &r.volumes[i];
#define VOLUME_COUNTER(name) printf("volume.%u." #name "=%" PRIu64 "\n", i, s->name);
        TESTDISK_VOLUME_COUNTERS(VOLUME_COUNTER)
#undef VOLUME_COUNTER
    }
}

static int held(void) {
    static struct testdisk_report r;
    control(IOCTL_TESTDISK_STATS, NULL, 0, &r, sizeof(r), "stats", TRUE);
    return r.held != 0;
}

/* The address of kernelbase's CtrlRoutine in another process. */
static void* ctrl_routine_in(DWORD pid) {
    HMODULE own = GetModuleHandleA("kernelbase.dll");
    FARPROC routine = own ? GetProcAddress(own, "CtrlRoutine") : NULL;
    MODULEENTRY32 module;
    HANDLE snapshot;
    void* found = NULL;

    if (!routine) die("no CtrlRoutine in kernelbase.dll", NULL);
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    if (snapshot == INVALID_HANDLE_VALUE) return NULL;
    module.dwSize = sizeof(module);
    for (BOOL more = Module32First(snapshot, &module); more; more = Module32Next(snapshot, &module))
        if (!_stricmp(module.szModule, "kernelbase.dll")) found = module.modBaseAddr + ((BYTE*)routine - (BYTE*)own);
    CloseHandle(snapshot);
    return found;
}

static DWORD process_named(const char* name) {
    PROCESSENTRY32 entry;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    DWORD pid = 0;

    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (!_stricmp(entry.szExeFile, name)) pid = entry.th32ProcessID;
    CloseHandle(snapshot);
    return pid;
}

/* Says how far `event` has come: a helper stopped from outside leaves its last step behind. */
static void step(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void step(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "%s event: ", arg0);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

/* The event cannot be sent: the held request goes on, so the program ends instead of waiting for a deadline. */
static void give_up(const char* what, const char* detail) {
    step("no event sent; releasing the request");
    control(IOCTL_TESTDISK_RELEASE, NULL, 0, NULL, 0, "release", TRUE);
    die(what, detail);
}

/*
 * The system delivers a console control event by starting a thread at
 * CtrlRoutine with the event type as its argument; this does the same.  The
 * held request is released once the handler has had time to start.
 */
static void send_event(uint32_t type, const char* program) {
    ULONGLONG since = GetTickCount64();
    DWORD pid, code;
    HANDLE process, thread;
    void* routine;
    char text[32];

    step("waiting up to %u s for the driver to hold a request", HOLD_WAIT_MS / 1000);
    while (!held()) {
        if (GetTickCount64() - since >= HOLD_WAIT_MS) die("no request was held", program);
        Sleep(5);
    }
    if (!(pid = process_named(program))) give_up("program not running", program);
    process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (!process || !(routine = ctrl_routine_in(pid))) give_up("cannot reach the program", program);
    /*
     * Wine starts the thread through one of the program's own threads and waits
     * for it without a bound; the replay's deadline ends that wait, and this step
     * is then the last one told.  (A thread of our own to bound it would end as
     * this process exits, which Wine's server may punish with SIGKILL.)
     */
    step("request held; starting the control routine in process %lu", pid);
    thread = CreateRemoteThread(process, NULL, 0, (LPTHREAD_START_ROUTINE)routine, (void*)(ULONG_PTR)type, 0, NULL);
    if (!thread) {
        snprintf(text, sizeof(text), "error %lu", GetLastError());
        give_up("CreateRemoteThread failed", text);
    }
    step("control routine started; releasing the request after %u ms", HANDLER_START_MS);
    if (WaitForSingleObject(thread, HANDLER_START_MS) == WAIT_OBJECT_0 && GetExitCodeThread(thread, &code))
        step("the control routine has already ended, with %lu", code);
    CloseHandle(thread);
    CloseHandle(process);
    control(IOCTL_TESTDISK_RELEASE, NULL, 0, NULL, 0, "release", TRUE);
    step("request released");
}

static uint32_t hold_kind(const char* s) {
    static const char* const names[] = {"length", "property", "verify", "read"};
    static const uint32_t values[] = {TESTDISK_HOLD_LENGTH, TESTDISK_HOLD_PROPERTY, TESTDISK_HOLD_VERIFY,
                                      TESTDISK_HOLD_READ};
    size_t i;
    for (i = 0; i < COUNT(names); i++)
        if (same_name(s, names[i], strlen(s))) return values[i];
    die("bad request kind", s);
    return 0;
}

/* Runs one command of `argc` words. */
static int command(int argc, char** argv) {
    const char* c = argv[0];

    if (!strcmp(c, "reset") && argc == 1)
        control(IOCTL_TESTDISK_RESET, NULL, 0, NULL, 0, "reset", TRUE);
    else if (!strcmp(c, "disk") && argc >= 2) {
        static struct testdisk_config cfg;
        int i;
        memset(&cfg, 0, sizeof(cfg));
        cfg.disk = cfg.number.number = u32("disk", argv[1]);
        for (i = 2; i < argc; i++) disk_key(&cfg, argv[i]);
        control(IOCTL_TESTDISK_ADD, &cfg, sizeof(cfg), NULL, 0, "disk", TRUE);
    } else if (!strcmp(c, "volume") && argc >= 2) {
        struct testdisk_volume_config cfg;
        size_t i;
        int k;
        memset(&cfg, 0, sizeof(cfg));
        cfg.drive_type = DRIVE_FIXED;
        /* \\?\Volume{...}\ is \??\Volume{...} to the object manager. */
        if (strcmp(argv[1], "-")) {
            const char* name = argv[1];
            size_t n = strlen(name);
            if (n && name[n - 1] == '\\') n--;
            if (n < 4 || n >= TESTDISK_VOLUME_NAME) die("bad volume name", name);
            for (i = 0; i < n; i++) cfg.name[i] = (unsigned char)name[i];
            cfg.name[1] = '?';
        }
        for (k = 2; k < argc; k++) volume_key(&cfg, argv[k]);
        control(IOCTL_TESTDISK_VOLUME, &cfg, sizeof(cfg), NULL, 0, "volume", TRUE);
    } else if (!strcmp(c, "interface") && argc == 2) {
        uint32_t n = u32("disk", argv[1]);
        control(IOCTL_TESTDISK_INTERFACE, &n, sizeof(n), NULL, 0, "interface", TRUE);
    } else if (!strcmp(c, "mountmgr") && argc == 2) {
        uint32_t mode = !strcmp(argv[1], "serve")  ? TESTDISK_MOUNTMGR_SERVE
                        : !strcmp(argv[1], "fail") ? TESTDISK_MOUNTMGR_FAIL
                                                   : 0;
        control(IOCTL_TESTDISK_MOUNTMGR, &mode, sizeof(mode), NULL, 0, "mountmgr", TRUE);
    } else if (!strcmp(c, "hold") && (argc == 4 || argc == 5)) {
        struct testdisk_hold h;
        memset(&h, 0, sizeof(h));
        h.disk = u32("disk", argv[1]);
        h.kind = hold_kind(argv[2]);
        h.ordinal = u32("ordinal", argv[3]);
        if (argc == 5) h.offset = number("offset", argv[4]);
        control(IOCTL_TESTDISK_HOLD, &h, sizeof(h), NULL, 0, "hold", TRUE);
    } else if (!strcmp(c, "event") && argc == 3)
        send_event(u32("type", argv[1]), argv[2]);
    else if (!strcmp(c, "stats") && argc == 1)
        print_stats();
    else {
        fprintf(stderr, "%s: bad command: %s (with %d words)\n", arg0, c, argc);
        return 2;
    }
    return 0;
}

int main(int argc, char** argv) {
    int from = 1, i;

    _setmode(_fileno(stdout), _O_BINARY);
    /* Each message leaves at once: a helper killed from outside has said how far it came. */
    setvbuf(stderr, NULL, _IONBF, 0);
    if (argc < 2) {
        fprintf(stderr, "usage: %s COMMAND [ARG ...] [; COMMAND ...] (see testdiskctl.c)\n", arg0);
        return 2;
    }
    for (i = 1; i <= argc; i++) {
        if (i < argc && strcmp(argv[i], ";")) continue;
        if (i > from && command(i - from, argv + from)) return 2;
        from = i + 1;
    }
    return 0;
}
