# Cross-builds for 64-bit Windows with Debian's mingw-w64 and runs what it builds under Wine:
#     cmake -S . -B build-win --toolchain cmake/mingw-w64.cmake
# The -posix compilers give std::thread and std::mutex; -static links the C++ runtime,
# libgcc and winpthreads into each executable, so that it imports only Windows' own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVANE_MINGW_TRIPLE}-windres)

# Libraries and headers from the mingw-w64 tree only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

# ctest (and add_custom_command, gtest_discover_tests) run the executables through Wine.
get_filename_component(KORVANE_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../tests/support/wine-run.sh"
                       ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${KORVANE_WINE_RUN}")
