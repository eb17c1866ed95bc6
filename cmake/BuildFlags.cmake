# korvane_build_flags: the warnings and the toolchain's protections, for the program's own targets
# (not for googletest or anything else built beside them). Linked PUBLIC by korvane_texts, the
# lowest library, it reaches every target built on the core; the test helpers that stand alone
# link it themselves.
add_library(korvane_build_flags INTERFACE)
# The compiler's options only: the resource compiler takes none of them.
set(compiler "$<COMPILE_LANGUAGE:C,CXX>")
target_compile_options(korvane_build_flags INTERFACE
    "$<${compiler}:-Wall;-Wextra;-Wpedantic>"
    "$<$<AND:${compiler},$<BOOL:${KORVANE_WARNINGS_AS_ERRORS}>>:-Werror>")

# The same sources give the same bytes wherever and whenever they are built: no build path in the
# objects, no time stamp in the executable.
target_compile_options(korvane_build_flags INTERFACE
    "$<${compiler}:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.;-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")

# Bounds-checked variants of the C library's string and memory functions need the optimiser, and
# AddressSanitizer brings checks of its own in their place. On Windows they come from mingw-w64's
# headers: inline checks that call __chk_fail (the program's own, below), and calls of libssp's
# __memcpy_chk and the like where the check must wait for the length.
if(NOT KORVANE_SANITIZE)
    target_compile_options(korvane_build_flags INTERFACE
        "$<$<AND:${compiler},$<NOT:$<CONFIG:Debug>>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
endif()

if(WIN32)
    target_link_options(korvane_build_flags INTERFACE LINKER:--no-insert-timestamp)
    # The PE flags that binutils sets by default, stated.
    target_link_options(korvane_build_flags INTERFACE
        LINKER:--dynamicbase LINKER:--nxcompat LINKER:--high-entropy-va)
    # The stack protector, with a guard of the program's own (platform/StackGuard_windows.cpp)
    # rather than libssp's, which a static constructor seeds through CryptAcquireContext: that
    # loads the crypto provider and crypt32 before wWinMain restricts the DLL search. The program's
    # guard starts with a fixed value, which wWinMain replaces with a random one right after the
    # restriction; test programs keep the fixed one. gcc links libssp only for -fstack-protector
    # on its link line, never given here. libssp's static library follows the guard for its
    # checked copies alone: they call __chk_fail, which the guard defines, so libssp's own guard
    # and constructor are never linked (tests/windows/program_imports.py checks).
    target_compile_options(korvane_build_flags INTERFACE "$<${compiler}:-fstack-protector-strong>")
    add_library(korvane_stack_guard STATIC platform/StackGuard_windows.cpp)
    korvane_layer_headers(korvane_stack_guard platform)
    # The same options as the program's other code, but no canary in the code that changes the
    # guard or runs once a canary is found overwritten.
    target_compile_options(korvane_stack_guard PRIVATE
        "$<TARGET_PROPERTY:korvane_build_flags,INTERFACE_COMPILE_OPTIONS>" -fno-stack-protector)
    target_link_libraries(korvane_build_flags INTERFACE korvane_stack_guard ssp)
else()
    target_compile_options(korvane_build_flags INTERFACE
        "$<${compiler}:-fstack-protector-strong;-fcf-protection>")
    # Relocations read-only once resolved, all of them at start-up.
    target_link_options(korvane_build_flags INTERFACE LINKER:-z,relro LINKER:-z,now)
    # Position-independent executables, so that the system places them at random.
    include(CheckPIESupported)
    check_pie_supported()
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()

if(KORVANE_SANITIZE)
    target_compile_options(korvane_build_flags INTERFACE
        "$<${compiler}:-fsanitize=address,undefined;-fno-omit-frame-pointer;-fno-sanitize-recover=all>")
    target_link_options(korvane_build_flags INTERFACE -fsanitize=address,undefined)
endif()
