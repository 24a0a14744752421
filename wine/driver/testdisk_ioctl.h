/*
 * Private interface of the test disk driver (testdisk.sys).
 *
 * Shared by the driver and the user-mode program that configures it.  Every
 * record has fixed-size fields only, so both sides agree on the layout
 * whatever headers they were built with.
 */
#ifndef TESTDISK_IOCTL_H
#define TESTDISK_IOCTL_H

#include <stddef.h>
#include <stdint.h>

#include "../../sim/disk_answers.h"

#define TESTDISK_CONTROL_DEVICE L"\\Device\\SectorsweepTestDiskCtl"
#define TESTDISK_CONTROL_LINK L"\\??\\SectorsweepTestDiskCtl"
#define TESTDISK_CONTROL_PATH L"\\\\.\\SectorsweepTestDiskCtl"

#define TESTDISK_MAX_DISKS 16
#define TESTDISK_MAX_FAULTS 16
#define TESTDISK_MAX_VOLUMES 40
#define TESTDISK_MAX_INTERFACES 16
#define TESTDISK_VOLUME_NAME 64 /* characters of \??\Volume{...} */

/* Control device requests, all METHOD_BUFFERED. */
#define TESTDISK_CTL(fn) ((0x22u << 16) | ((0x800u + (fn)) << 2))
#define IOCTL_TESTDISK_ADD TESTDISK_CTL(0)       /* in: testdisk_config; creates or replaces a disk */
#define IOCTL_TESTDISK_RESET TESTDISK_CTL(2)     /* removes everything and gives back what was taken over */
#define IOCTL_TESTDISK_STATS TESTDISK_CTL(3)     /* out: testdisk_report */
#define IOCTL_TESTDISK_VOLUME TESTDISK_CTL(4)    /* in: testdisk_volume_config */
#define IOCTL_TESTDISK_INTERFACE TESTDISK_CTL(5) /* in: uint32_t number of a disk added before */
#define IOCTL_TESTDISK_MOUNTMGR TESTDISK_CTL(6)  /* in: uint32_t enum testdisk_mountmgr_mode */
#define IOCTL_TESTDISK_HOLD TESTDISK_CTL(7)      /* in: testdisk_hold */
#define IOCTL_TESTDISK_RELEASE TESTDISK_CTL(8)   /* completes the held request */

/* How a disk answers one kind of query. */
enum testdisk_reply_mode {
    TESTDISK_REPLY_ANSWER = 0, /* the true answer */
    TESTDISK_REPLY_ZERO = 1,   /* a well-formed answer that reports a size of 0 */
    TESTDISK_REPLY_FAIL = 2,   /* fail with `status` */
};

struct testdisk_reply {
    uint32_t mode;
    int32_t status; /* NTSTATUS for TESTDISK_REPLY_FAIL */
};

/* Fault kinds, combined as bits. */
#define TESTDISK_FAULT_READ 0x1u   /* reads overlapping the range fail with `status` */
#define TESTDISK_FAULT_VERIFY 0x2u /* verifies overlapping the range fail with `status` */
#define TESTDISK_FAULT_FLAKY 0x4u  /* each read returns different data for the range */

struct testdisk_fault {
    uint64_t offset;
    uint64_t length;
    uint32_t kinds;
    int32_t status;
};

/* The answer to IOCTL_STORAGE_GET_DEVICE_NUMBER, of a disk or a volume. */
struct testdisk_number {
    uint32_t refused; /* fail the request */
    uint32_t number;
};

struct testdisk_config {
    uint32_t disk;                 /* N of \\.\PhysicalDriveN */
    uint32_t sector_size;          /* power of two, 512 .. 65536; 0 means 512 */
    uint64_t size;                 /* bytes, a multiple of the sector size */
    uint64_t seed;                 /* pattern: each 8-byte word holds its offset XOR seed */
    uint32_t latency_us;           /* added to every read and verify */
    uint32_t bus_type;             /* STORAGE_BUS_TYPE */
    uint32_t predict_failure;      /* answer of IOCTL_STORAGE_PREDICT_FAILURE */
    struct testdisk_number number; /* IOCTL_STORAGE_GET_DEVICE_NUMBER */
    /* The answers of sim/disk_answers.h, by enum disk_answer. */
    struct testdisk_reply answers[DISK_ANSWER_COUNT];
    struct testdisk_reply predict; /* IOCTL_STORAGE_PREDICT_FAILURE */
    char vendor[32];
    char product[48];
    uint32_t fault_count;
    uint32_t reserved;
    struct testdisk_fault faults[TESTDISK_MAX_FAULTS];
};

/*
 * A volume: \??\Volume{...} (when `name` is not empty) and \??\X: (when
 * `letter` is not 0) lead to one device of its own.  A drive letter alone is
 * a volume without a name.
 */
struct testdisk_volume_config {
    uint16_t name[TESTDISK_VOLUME_NAME]; /* \??\Volume{...}, no trailing backslash */
    uint32_t letter;                     /* 'A' .. 'Z', or 0 */
    uint32_t drive_type;                 /* DRIVE_REMOVABLE, DRIVE_FIXED, ... as GetDriveType reports it */
    struct testdisk_number number;
};

/*
 * The mount manager stand-in: \??\MountPointManager leads to the driver,
 * which lists the volumes of the driver only; the drive letters Wine made are
 * taken away meanwhile.  RESET gives both back.
 */
enum testdisk_mountmgr_mode {
    TESTDISK_MOUNTMGR_SERVE = 1,
    TESTDISK_MOUNTMGR_FAIL = 2, /* every query fails */
};

/* Kinds of disk request that can be held. */
enum testdisk_hold_kind {
    TESTDISK_HOLD_LENGTH = 1,   /* IOCTL_DISK_GET_LENGTH_INFO */
    TESTDISK_HOLD_PROPERTY = 2, /* IOCTL_STORAGE_QUERY_PROPERTY */
    TESTDISK_HOLD_VERIFY = 3,   /* IOCTL_DISK_VERIFY at `offset` */
    TESTDISK_HOLD_READ = 4,     /* a read at `offset` */
};

/* The `ordinal`-th request of a kind on a disk stays pending until RELEASE. */
struct testdisk_hold {
    uint32_t disk;
    uint32_t kind;
    uint64_t offset;
    uint32_t ordinal;
    uint32_t reserved;
};

/*
 * The counters of a disk besides those of the varied answers (KEY_queries, see
 * sim/disk_answers.h), in one table for the driver, testdiskctl (which prints
 * each as disk.N.NAME=VALUE) and the Wine replay: X(NAME, TEXT, PER_LINE)
 * where TEXT is what the simulated machine's record lines of the request hold
 * (NULL: the replay compares none with it) and PER_LINE says whether each such
 * line stands for one request (1) or only for "at least one" (0: the chunks of
 * a pass, whose number real time decides).
 */
/* clang-format off */
#define TESTDISK_DISK_COUNTERS(X)                                                                \
    X(creates, "CreateFileA \\\\.\\PhysicalDrive", 1)                                           \
    X(closes, "CloseHandle \\\\.\\PhysicalDrive", 1)                                            \
    X(reads, "ReadFile \\\\.\\PhysicalDrive", 0) /* every IRP_MJ_READ, failed ones included */  \
    X(read_bytes, NULL, 0)                       /* bytes returned */                            \
    X(read_errors, NULL, 0)                                                                      \
    X(verifies, "IOCTL_DISK_VERIFY", 0)                                                          \
    X(verify_bytes, NULL, 0) /* bytes verified successfully */                                   \
    X(verify_errors, NULL, 0)                                                                    \
    X(writes, NULL, 0) /* requests that would modify the disk; all are failed */                 \
    X(predict_queries, "IOCTL_STORAGE_PREDICT_FAILURE", 1)                                       \
    X(number_queries, NULL, 0) /* on the disk and on its interfaces */                           \
    X(last_read_offset, NULL, 0)                                                                 \
    X(last_read_length, NULL, 0)                                                                 \
    X(last_verify_offset, NULL, 0)                                                               \
    X(last_verify_length, NULL, 0)

/* The counters of a volume, printed as volume.K.NAME=VALUE. */
#define TESTDISK_VOLUME_COUNTERS(X)                                                         \
    X(creates)                                                                              \
    X(closes)                                                                               \
    X(dismounts) /* FSCTL_DISMOUNT_VOLUME requests that reached the volume */               \
    X(writes)    /* requests that would modify the volume; all are failed */
/* clang-format on */

#define TESTDISK_DISK_COUNTER_FIELD(name, text, per_line) uint64_t name;
#define TESTDISK_VOLUME_COUNTER_FIELD(name) uint64_t name;

struct testdisk_stats {
    TESTDISK_DISK_COUNTERS(TESTDISK_DISK_COUNTER_FIELD)
    uint64_t answer_queries[DISK_ANSWER_COUNT]; /* KEY_queries, by enum disk_answer */
};

struct testdisk_volume_stats {
    TESTDISK_VOLUME_COUNTERS(TESTDISK_VOLUME_COUNTER_FIELD)
};

struct testdisk_report {
    uint32_t disk_count;
    uint32_t volume_count;
    uint32_t held; /* a request is held now */
    uint32_t released;
    uint32_t disk_numbers[TESTDISK_MAX_DISKS];
    struct testdisk_stats disks[TESTDISK_MAX_DISKS];
    struct testdisk_volume_stats volumes[TESTDISK_MAX_VOLUMES];
};

#endif /* TESTDISK_IOCTL_H */
