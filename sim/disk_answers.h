/*
 * The answers of a disk that a scenario may vary: KEY=ok|fail[:ERR], and
 * where the answer holds a size, KEY=zero (reported as 0) and, on the simulated
 * machine only, KEY=short (success with no byte of the reply written). One table for the
 * simulated machine's parser and model, the Wine replay, and the test disk
 * driver with testdiskctl, which take the same words (ERR an NTSTATUS there)
 * and count each request as KEY_queries. C, for the driver's sake.
 *
 * X(NAME, KEY, the request, whether KEY=zero and KEY=short are allowed,
 *   the error of a plain KEY=fail on the simulated machine)
 */
#ifndef SECTORSWEEP_DISK_ANSWERS_H
#define SECTORSWEEP_DISK_ANSWERS_H

/* clang-format off */
#define DISK_ANSWERS(X)                                                                        \
    X(LENGTH, "length", IOCTL_DISK_GET_LENGTH_INFO, 1, 50 /* ERROR_NOT_SUPPORTED */)           \
    X(GEOMETRY, "geometry", IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, 1, 50 /* ERROR_NOT_SUPPORTED */) \
    X(DESCRIPTOR, "descriptor", IOCTL_STORAGE_QUERY_PROPERTY, 0, 1 /* ERROR_INVALID_FUNCTION */)
/* clang-format on */

#define DISK_ANSWER_INDEX(name, key, request, zero, error) DISK_ANSWER_##name,
enum disk_answer { DISK_ANSWERS(DISK_ANSWER_INDEX) DISK_ANSWER_COUNT };
#undef DISK_ANSWER_INDEX

#endif /* SECTORSWEEP_DISK_ANSWERS_H */
