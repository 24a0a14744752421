# The native Linux build: the same program over src/platform/linux, one
# statically linked binary that needs no C library on the machine it runs on;
# then the Linux tests (label linux).
set(LINUX_PLATFORM_SOURCES
    src/platform/linux/errors.cpp
    src/platform/linux/process.cpp
    src/platform/linux/sysfs.cpp
    src/platform/linux/storage.cpp
    src/platform/linux/volumes.cpp
    src/platform/linux/console.cpp
    src/platform/linux/memory.cpp
    src/platform/linux/text.cpp
    src/platform/format/wsprintf.cpp)
set(LINUX_FLAGS ${PRODUCT_FLAGS} -ffunction-sections -fdata-sections -fno-threadsafe-statics
                -fno-asynchronous-unwind-tables)

add_library(product STATIC ${PRODUCT_SOURCES})
target_include_directories(product PUBLIC src)
target_compile_options(product PRIVATE ${LINUX_FLAGS})

add_library(linux_platform STATIC ${LINUX_PLATFORM_SOURCES})
target_include_directories(linux_platform PUBLIC src)
target_compile_options(linux_platform PRIVATE ${LINUX_FLAGS})

add_executable(sectorsweep src/platform/linux/main.cpp)
target_compile_options(sectorsweep PRIVATE ${LINUX_FLAGS})
target_link_libraries(sectorsweep PRIVATE product linux_platform)
target_link_options(sectorsweep PRIVATE -static -Wl,--gc-sections -s)

enable_testing()
include(cmake/linux_tests.cmake OPTIONAL)
