# sectorsweep.exe: its own entry routine, no C runtime, KERNEL32.dll the only
set(CMAKE_CXX_STANDARD_LIBRARIES "")
# static import; USER32, SHLWAPI and SETUPAPI are bound on first use.
add_executable(sectorsweep ${PRODUCT_SOURCES} src/platform/first_use.cpp src/platform/crt.cpp
                           src/platform/windows_texts.cpp)
target_include_directories(sectorsweep PRIVATE src)
# No -fdata-sections: for PE the compiler names every variable's own section
# .data$..., zero-filled ones too, and the file would carry their zeros; without it
# they go to .bss, which takes no room in the file.
target_compile_options(sectorsweep PRIVATE ${PRODUCT_FLAGS} -Os -fno-stack-protector -fno-asynchronous-unwind-tables
                       -ffunction-sections -fno-threadsafe-statics)
# The comparison is the whole work of a read-twice pass: built for speed.
set_source_files_properties(src/pass/compare.cpp PROPERTIES COMPILE_OPTIONS "-O2")
set_source_files_properties(src/platform/crt.cpp PROPERTIES COMPILE_OPTIONS
                            "-fno-builtin;-fno-tree-loop-distribute-patterns")
target_link_options(sectorsweep PRIVATE -nostdlib -Wl,-e,Entry -Wl,--subsystem,console -Wl,--gc-sections -s)
target_link_libraries(sectorsweep PRIVATE kernel32 gcc)

# Compiled only: the subset's constants and layouts against the SDK headers.
add_library(sdk_check OBJECT src/platform/sdk_check.cpp)
target_include_directories(sdk_check PRIVATE src)
target_compile_options(sdk_check PRIVATE -Wall -Wextra -Werror)
add_custom_target(check_sdk ALL DEPENDS sdk_check)
