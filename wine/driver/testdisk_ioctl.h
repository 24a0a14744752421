/*
 * Private interface of the test disk driver (testdisk.sys).
 *
 * Shared by the driver and the user-mode programs that configure it.  Every
 * record has fixed-size fields only, so both sides agree on the layout
 * whatever headers they were built with.
 */
#ifndef TESTDISK_IOCTL_H
#define TESTDISK_IOCTL_H

#include <stdint.h>

#define TESTDISK_CONTROL_DEVICE L"\\Device\\SectorsweepTestDiskCtl"
#define TESTDISK_CONTROL_LINK L"\\??\\SectorsweepTestDiskCtl"
#define TESTDISK_CONTROL_PATH L"\\\\.\\SectorsweepTestDiskCtl"
#define TESTDISK_DEVICE_PREFIX L"\\Device\\SectorsweepTestDisk"
#define TESTDISK_LINK_PREFIX L"\\??\\PhysicalDrive"

#define TESTDISK_MAX_DISKS 16 /* disk numbers 0 .. 15 */
#define TESTDISK_MAX_FAULTS 16

/* Control device requests, all METHOD_BUFFERED. */
#define TESTDISK_CTL(fn) ((0x22u << 16) | ((0x800u + (fn)) << 2))
#define IOCTL_TESTDISK_ADD TESTDISK_CTL(0)    /* in: testdisk_config; creates or replaces a disk */
#define IOCTL_TESTDISK_REMOVE TESTDISK_CTL(1) /* in: uint32_t disk number */
#define IOCTL_TESTDISK_RESET TESTDISK_CTL(2)  /* removes every disk */
#define IOCTL_TESTDISK_STATS TESTDISK_CTL(3)  /* in: uint32_t disk number; out: testdisk_stats */

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

/*
 * A refused open fails with STATUS_ACCESS_DENIED.  Where the I/O manager
 * hands out the handle regardless (Wine does not wait for IRP_MJ_CREATE),
 * every later request on that handle fails with STATUS_ACCESS_DENIED.
 */
enum testdisk_open_rule {
    TESTDISK_OPEN_ANY = 0,
    TESTDISK_OPEN_READ_DENIED = 1, /* only query opens succeed, like a user without admin rights */
    TESTDISK_OPEN_DENIED = 2,      /* every open is refused */
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

struct testdisk_config {
    uint32_t disk;           /* N of \\.\PhysicalDriveN */
    uint32_t sector_size;    /* power of two, 512 .. 65536; 0 means 512 */
    uint64_t size;           /* bytes, a multiple of the sector size; 0 with an image: its size */
    uint64_t seed;           /* pattern: each 8-byte word holds its offset XOR seed */
    uint32_t latency_us;     /* added to every read and verify */
    uint32_t open_rule;      /* enum testdisk_open_rule */
    int32_t past_end_status; /* NTSTATUS of an aligned transfer past the end; 0: STATUS_NONEXISTENT_SECTOR */
    uint32_t bus_type;       /* STORAGE_BUS_TYPE */
    uint32_t removable;
    uint32_t predict_failure;       /* answer of IOCTL_STORAGE_PREDICT_FAILURE */
    struct testdisk_reply length;   /* IOCTL_DISK_GET_LENGTH_INFO */
    struct testdisk_reply geometry; /* IOCTL_DISK_GET_DRIVE_GEOMETRY(_EX) */
    struct testdisk_reply property; /* IOCTL_STORAGE_QUERY_PROPERTY */
    struct testdisk_reply predict;  /* IOCTL_STORAGE_PREDICT_FAILURE */
    char vendor[32];
    char product[48];
    char revision[16];
    char serial[32];
    uint16_t image[260]; /* NT path of an image file (\??\Z:\...); empty: the pattern */
    uint32_t fault_count;
    uint32_t reserved;
    struct testdisk_fault faults[TESTDISK_MAX_FAULTS];
};

#define TESTDISK_ACCESS_UNKNOWN 0xffffffffu

struct testdisk_stats {
    uint64_t creates; /* every IRP_MJ_CREATE, refused ones included */
    uint64_t creates_refused;
    uint64_t refused_requests; /* requests on a handle whose open was refused */
    uint64_t closes;
    uint64_t reads;      /* every IRP_MJ_READ, failed ones included */
    uint64_t read_bytes; /* bytes returned */
    uint64_t read_errors;
    uint64_t verifies;
    uint64_t verify_bytes; /* bytes verified successfully */
    uint64_t verify_errors;
    uint64_t ioctls; /* every IRP_MJ_DEVICE_CONTROL */
    uint64_t writes; /* requests that would modify the disk, on any handle; all are failed */
    uint64_t length_queries;
    uint64_t geometry_queries;
    uint64_t property_queries;
    uint64_t predict_queries;
    uint64_t number_queries;
    uint64_t last_read_offset;
    uint64_t last_read_length;
    uint64_t last_verify_offset;
    uint64_t last_verify_length;
    uint32_t open_handles;
    uint32_t last_create_options; /* Parameters.Create.Options */
    uint32_t last_create_share;   /* Parameters.Create.ShareAccess */
    uint32_t last_create_access;  /* DesiredAccess, or TESTDISK_ACCESS_UNKNOWN without a security context */
};

#endif /* TESTDISK_IOCTL_H */
