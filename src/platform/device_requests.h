/*
 * The device requests Sectorsweep sends, and the records they carry: one home
 * for the program (through win32.h, inside namespace win), the simulated
 * machine, the Linux platform and the Wine test disk driver, which is C and
 * takes these instead of the SDK's storage headers. Plain C with fixed-width
 * types, so mingw, the host compiler and the driver's C build read it alike;
 * sdk_check.cpp holds every code and layout listed here against the SDK's.
 */
#ifndef SECTORSWEEP_DEVICE_REQUESTS_H
#define SECTORSWEEP_DEVICE_REQUESTS_H

#include <stddef.h>
#include <stdint.h>

/* Every request: its name and code. The simulated machine's record names a request by its name here. */
#define SECTORSWEEP_DEVICE_REQUESTS(X)              \
    X(IOCTL_DISK_GET_LENGTH_INFO, 0x0007405C)       \
    X(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, 0x000700A0) \
    X(IOCTL_DISK_VERIFY, 0x00070014)                \
    X(IOCTL_STORAGE_PREDICT_FAILURE, 0x002D1100)    \
    X(IOCTL_STORAGE_QUERY_PROPERTY, 0x002D1400)     \
    X(IOCTL_STORAGE_GET_DEVICE_NUMBER, 0x002D1080)  \
    X(FSCTL_LOCK_VOLUME, 0x00090018)                \
    X(FSCTL_UNLOCK_VOLUME, 0x0009001C)              \
    X(FSCTL_DISMOUNT_VOLUME, 0x00090020)

/*
 * A request the toolchain's SDK does not define: its name and code here, with
 * where the code comes from in a comment; sdk_check.cpp cannot compare it. A
 * record the SDK lacks is left out of SECTORSWEEP_DEVICE_LAYOUTS below, and its
 * own static assertion holds its layout.
 */
#define SECTORSWEEP_DEVICE_REQUESTS_NOT_IN_SDK(X)

#define SECTORSWEEP_ALL_DEVICE_REQUESTS(X) SECTORSWEEP_DEVICE_REQUESTS(X) SECTORSWEEP_DEVICE_REQUESTS_NOT_IN_SDK(X)

#ifdef __cplusplus
#define SECTORSWEEP_STATIC_ASSERT(condition) static_assert(condition, #condition)
#define SECTORSWEEP_REQUEST_CODE(name, code) constexpr uint32_t name = code;
namespace win {
#else
#define SECTORSWEEP_STATIC_ASSERT(condition) _Static_assert(condition, #condition)
#define SECTORSWEEP_REQUEST_CODE(name, code) enum { name = code };
#endif

SECTORSWEEP_ALL_DEVICE_REQUESTS(SECTORSWEEP_REQUEST_CODE)

typedef struct VERIFY_INFORMATION {
    int64_t StartingOffset;
    uint32_t Length;
} VERIFY_INFORMATION;
SECTORSWEEP_STATIC_ASSERT(sizeof(VERIFY_INFORMATION) == 16 && offsetof(VERIFY_INFORMATION, Length) == 8);

typedef struct GET_LENGTH_INFORMATION {
    int64_t Length;
} GET_LENGTH_INFORMATION;
SECTORSWEEP_STATIC_ASSERT(sizeof(GET_LENGTH_INFORMATION) == 8);

typedef struct DISK_GEOMETRY {
    int64_t Cylinders;
    uint32_t MediaType;
    uint32_t TracksPerCylinder;
    uint32_t SectorsPerTrack;
    uint32_t BytesPerSector;
} DISK_GEOMETRY;
SECTORSWEEP_STATIC_ASSERT(sizeof(DISK_GEOMETRY) == 24);

typedef struct DISK_GEOMETRY_EX {
    DISK_GEOMETRY Geometry;
    int64_t DiskSize;
    uint8_t Data[1];
} DISK_GEOMETRY_EX;
SECTORSWEEP_STATIC_ASSERT(offsetof(DISK_GEOMETRY_EX, DiskSize) == 24);

typedef struct STORAGE_PREDICT_FAILURE {
    uint32_t PredictFailure;
    uint8_t VendorSpecific[512];
} STORAGE_PREDICT_FAILURE;
SECTORSWEEP_STATIC_ASSERT(sizeof(STORAGE_PREDICT_FAILURE) == 516);

typedef struct STORAGE_PROPERTY_QUERY {
    uint32_t PropertyId; /* 0: the device descriptor */
    uint32_t QueryType;  /* 0: the descriptor itself */
    uint8_t AdditionalParameters[1];
} STORAGE_PROPERTY_QUERY;
SECTORSWEEP_STATIC_ASSERT(sizeof(STORAGE_PROPERTY_QUERY) == 12);

typedef struct STORAGE_DEVICE_DESCRIPTOR {
    uint32_t Version;
    uint32_t Size;
    uint8_t DeviceType;
    uint8_t DeviceTypeModifier;
    uint8_t RemovableMedia;
    uint8_t CommandQueueing;
    uint32_t VendorIdOffset;
    uint32_t ProductIdOffset;
    uint32_t ProductRevisionOffset;
    uint32_t SerialNumberOffset;
    uint32_t BusType;
    uint32_t RawPropertiesLength;
    uint8_t RawDeviceProperties[1];
} STORAGE_DEVICE_DESCRIPTOR;
SECTORSWEEP_STATIC_ASSERT(offsetof(STORAGE_DEVICE_DESCRIPTOR, Size) == 4 &&
                          offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12 &&
                          offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16 &&
                          offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28);

typedef struct STORAGE_DEVICE_NUMBER {
    uint32_t DeviceType; /* FILE_DEVICE_DISK (7) for a disk; optical drives report others */
    uint32_t DeviceNumber;
    uint32_t PartitionNumber;
} STORAGE_DEVICE_NUMBER;
SECTORSWEEP_STATIC_ASSERT(sizeof(STORAGE_DEVICE_NUMBER) == 12);

/* What sdk_check.cpp compares with the SDK: a record's size, a field's offset. */
/* clang-format off */
#define SECTORSWEEP_DEVICE_LAYOUTS(SIZE, FIELD)                                                      \
    SIZE(VERIFY_INFORMATION) FIELD(VERIFY_INFORMATION, Length)                                       \
    SIZE(GET_LENGTH_INFORMATION)                                                                     \
    SIZE(DISK_GEOMETRY) FIELD(DISK_GEOMETRY_EX, DiskSize) FIELD(DISK_GEOMETRY_EX, Data)              \
    SIZE(STORAGE_PREDICT_FAILURE)                                                                    \
    SIZE(STORAGE_PROPERTY_QUERY)                                                                     \
    FIELD(STORAGE_DEVICE_DESCRIPTOR, Size) FIELD(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset)          \
    FIELD(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) FIELD(STORAGE_DEVICE_DESCRIPTOR, BusType)      \
    FIELD(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties)                                            \
    SIZE(STORAGE_DEVICE_NUMBER) FIELD(STORAGE_DEVICE_NUMBER, DeviceType)                             \
    FIELD(STORAGE_DEVICE_NUMBER, DeviceNumber)
/* clang-format on */

#ifdef __cplusplus
}  // namespace win
#endif

#endif /* SECTORSWEEP_DEVICE_REQUESTS_H */
