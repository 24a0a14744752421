// faultfs: serves one image file, read-only, as a single FUSE file whose chosen
// ranges fail, answer slowly, or return different bytes on every read.
//
//   faultfs [-v] [-c RULEFILE] [-r RULE]... IMAGE MOUNTFILE
//
// MOUNTFILE is an existing regular file; the image appears in its place until
// the server is unmounted (umount MOUNTFILE, or SIGTERM/SIGINT to the server,
// which then unmounts itself). The server stays in the foreground.
//
// A rule (one per -r, or one per line of RULEFILE, # starts a comment):
//   fail  START+LENGTH EIO|ENODATA|ETIMEDOUT  reads touching the range fail with that errno
//   slow  START+LENGTH MS                     reads touching the range take MS milliseconds longer
//   flaky START+LENGTH                        the range's bytes differ on every read
// START and LENGTH are bytes, decimal or 0x hex, with an optional K, M, G or T
// (powers of 1024). A read is one FUSE request, as the kernel splits it: a rule
// fails or slows the whole request that touches its range. Flaky bytes are the
// image's bytes XOR a value in 1..255 that steps with every read touching a flaky
// range, so they never equal the image and two of any 255 reads in a row never
// agree. -v logs every read ("read OFFSET+SIZE") to stderr.
//
// The open sets direct_io, so the kernel caches nothing and every read of a loop
// device over the file (losetup --direct-io=on) reaches this server.

#define FUSE_USE_VERSION 31
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum kind { FAIL, SLOW, FLAKY };

struct rule {
    enum kind kind;
    uint64_t start, length;
    int value;  // errno for FAIL, milliseconds for SLOW
};

#define MAX_RULES 64
static struct rule rules[MAX_RULES];
static int rule_count;
static int image_fd = -1;
static off_t image_size;
static int verbose;
static unsigned flaky_reads;

static const struct {
    const char* name;
    int value;
} errno_names[] = {{"EIO", EIO}, {"ENODATA", ENODATA}, {"ETIMEDOUT", ETIMEDOUT}};

// "8M", "0x1000", "4096" -> bytes; 0 on a malformed number.
static int parse_size(const char* text, uint64_t* out) {
    char* end;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 0);
    if (errno || end == text || text[0] == '-') return 0;
    const char* units = "KMGT";
    const char* unit = *end ? strchr(units, *end) : NULL;
    if (unit) {
        for (const char* u = units; u <= unit; u++) {
            if (value > UINT64_MAX / 1024) return 0;
            value *= 1024;
        }
        end++;
    }
    if (*end) return 0;
    *out = value;
    return 1;
}

static int parse_rule(const char* text) {
    char kind[16], range[64], arg[32], extra[2];
    int fields = sscanf(text, " %15s %63s %31s %1s", kind, range, arg, extra);
    if (fields < 2 || fields > 3 || rule_count == MAX_RULES) return 0;
    struct rule* rule = &rules[rule_count];
    char* plus = strchr(range, '+');
    if (!plus) return 0;
    *plus = 0;
    if (!parse_size(range, &rule->start) || !parse_size(plus + 1, &rule->length) || rule->length == 0) return 0;
    if (rule->start + rule->length < rule->start) return 0;
    if (strcmp(kind, "fail") == 0 && fields == 3) {
        rule->kind = FAIL;
        rule->value = 0;
        for (size_t i = 0; i < sizeof errno_names / sizeof errno_names[0]; i++)
            if (strcmp(arg, errno_names[i].name) == 0) rule->value = errno_names[i].value;
        if (!rule->value) return 0;
    } else if (strcmp(kind, "slow") == 0 && fields == 3) {
        uint64_t ms;
        if (!parse_size(arg, &ms) || ms > 3600000) return 0;
        rule->kind = SLOW;
        rule->value = (int)ms;
    } else if (strcmp(kind, "flaky") == 0 && fields == 2) {
        rule->kind = FLAKY;
    } else {
        return 0;
    }
    rule_count++;
    return 1;
}

static int read_rule_file(const char* path) {
    FILE* file = fopen(path, "r");
    if (!file) {
        perror(path);
        return 0;
    }
    char line[256];
    int ok = 1, number = 0;
    while (ok && fgets(line, sizeof line, file)) {
        number++;
        char* hash = strchr(line, '#');
        if (hash) *hash = 0;
        if (strspn(line, " \t\r\n") == strlen(line)) continue;
        if (!parse_rule(line)) {
            fprintf(stderr, "faultfs: %s:%d: bad rule: %s", path, number, line);
            ok = 0;
        }
    }
    fclose(file);
    return ok;
}

static int touches(const struct rule* rule, uint64_t offset, uint64_t size) {
    return offset < rule->start + rule->length && rule->start < offset + size;
}

static int faultfs_getattr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    if (strcmp(path, "/") != 0) return -ENOENT;
    memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = image_size;
    st->st_blocks = (image_size + 511) / 512;
    return 0;
}

static int faultfs_open(const char* path, struct fuse_file_info* fi) {
    if (strcmp(path, "/") != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

static int faultfs_read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    (void)path;
    (void)fi;
    if (verbose) fprintf(stderr, "read %jd+%zu\n", (intmax_t)offset, size);
    if (offset >= image_size) return 0;
    if ((off_t)size > image_size - offset) size = (size_t)(image_size - offset);

    uint64_t delay_ms = 0;
    for (int i = 0; i < rule_count; i++)
        if (rules[i].kind == SLOW && touches(&rules[i], (uint64_t)offset, size)) delay_ms += (uint64_t)rules[i].value;
    if (delay_ms) {
        struct timespec pause = {(time_t)(delay_ms / 1000), (long)(delay_ms % 1000) * 1000000};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    for (int i = 0; i < rule_count; i++)
        if (rules[i].kind == FAIL && touches(&rules[i], (uint64_t)offset, size)) return -rules[i].value;

    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(image_fd, buf + done, size - done, offset + (off_t)done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -errno;
        if (got == 0) break;
        done += (size_t)got;
    }

    unsigned char mask = 0;
    for (int i = 0; i < rule_count; i++) {
        const struct rule* rule = &rules[i];
        if (rule->kind != FLAKY || !touches(rule, (uint64_t)offset, done)) continue;
        if (!mask) mask = (unsigned char)(1 + __atomic_fetch_add(&flaky_reads, 1, __ATOMIC_RELAXED) % 255);
        uint64_t from = rule->start > (uint64_t)offset ? rule->start - (uint64_t)offset : 0;
        uint64_t to = rule->start + rule->length - (uint64_t)offset;
        if (to > done) to = done;
        for (uint64_t at = from; at < to; at++) buf[at] = (char)(buf[at] ^ mask);
    }
    return (int)done;
}

static const struct fuse_operations operations = {
    .getattr = faultfs_getattr,
    .open = faultfs_open,
    .read = faultfs_read,
};

static int usage(void) {
    fprintf(stderr,
            "usage: faultfs [-v] [-c RULEFILE] [-r RULE]... IMAGE MOUNTFILE\n"
            "rules: fail START+LENGTH EIO|ENODATA|ETIMEDOUT, slow START+LENGTH MS, flaky START+LENGTH\n");
    return 2;
}

int main(int argc, char* argv[]) {
    int option;
    while ((option = getopt(argc, argv, "vc:r:")) != -1) {
        if (option == 'v') {
            verbose = 1;
        } else if (option == 'c') {
            if (!read_rule_file(optarg)) return 2;
        } else if (option == 'r') {
            if (!parse_rule(optarg)) {
                fprintf(stderr, "faultfs: bad rule: %s\n", optarg);
                return 2;
            }
        } else {
            return usage();
        }
    }
    if (argc - optind != 2) return usage();
    const char* image = argv[optind];
    char* mountfile = argv[optind + 1];

    image_fd = open(image, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (image_fd < 0 || fstat(image_fd, &st) != 0) {
        perror(image);
        return 1;
    }
    image_size = st.st_size;
    setvbuf(stderr, NULL, _IOLBF, 0);

    char* fuse_argv[] = {argv[0], "-f", "-o", "ro,fsname=faultfs,subtype=faultfs,max_idle_threads=10", mountfile, NULL};
    return fuse_main(5, fuse_argv, &operations, NULL);
}
