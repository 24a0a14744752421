# The native Linux build: the same program over src/platform/linux, one
# statically linked binary that needs no C library on the machine it runs on;
# then the Linux tests (label linux).
set(LINUX_PLATFORM_SOURCES
    src/platform/linux/errors.cpp
    src/platform/linux/process.cpp
    src/platform/linux/sysfs.cpp
    src/platform/linux/storage.cpp
    src/platform/linux/drive_commands.cpp
    src/platform/linux/drive_io.cpp
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
find_package(GTest REQUIRED)

# The errno table, the bus names, the kernel names' order, mountinfo's escapes;
# the drive commands' bytes, splitting, read-only list and answers.
add_executable(linux_platform_test tests/linux/platform_test.cpp tests/linux/drive_test.cpp)
target_link_libraries(linux_platform_test PRIVATE product linux_platform GTest::gtest_main)
target_compile_options(linux_platform_test PRIVATE -Wall -Wextra -Werror)
add_test(NAME linux/platform COMMAND linux_platform_test)
set_tests_properties(linux/platform PROPERTIES LABELS linux TIMEOUT 60)

# The program on real devices: loop devices over images, faultfs for faults and
# slow reads, partitions and mounts, a terminal under tmux. Root, one at a time.
foreach(name passes volumes listing terminal)
  add_test(NAME linux/${name} COMMAND ${CMAKE_SOURCE_DIR}/tests/linux/${name}.sh $<TARGET_FILE:sectorsweep>)
  set_tests_properties(linux/${name} PROPERTIES LABELS linux TIMEOUT 300 SKIP_RETURN_CODE 77 RESOURCE_LOCK devices)
endforeach()
add_test(NAME linux/faultfs COMMAND ${CMAKE_SOURCE_DIR}/tests/linux/faultfs_check.sh)
set_tests_properties(linux/faultfs PROPERTIES LABELS linux TIMEOUT 300 SKIP_RETURN_CODE 77 RESOURCE_LOCK devices)

# The same binary in a QEMU guest (no acceleration) on the kernel's own disk
# drivers: NVMe, SATA on AHCI, USB storage, scsi_debug, null_blk. Its own
# preset (guest): it boots Debian's kernel, downloaded once into build/guest.
add_test(NAME linux/guest COMMAND ${CMAKE_SOURCE_DIR}/tests/linux/guest/guest.sh $<TARGET_FILE:sectorsweep>)
set_tests_properties(linux/guest PROPERTIES LABELS guest TIMEOUT 240 SKIP_RETURN_CODE 77)
