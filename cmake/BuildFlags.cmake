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

if(WIN32)
    target_link_options(korvane_build_flags INTERFACE LINKER:--no-insert-timestamp)
    # The PE flags that binutils sets by default, stated. Not yet the stack protector and the
    # checked functions: mingw-w64's libssp seeds its guard in a static constructor through
    # CryptAcquireContext, which loads the crypto provider, and with it crypt32, before wWinMain
    # restricts the DLL search.
    target_link_options(korvane_build_flags INTERFACE
        LINKER:--dynamicbase LINKER:--nxcompat LINKER:--high-entropy-va)
else()
    # Bounds-checked copies of the C library's string and memory functions need the optimiser,
    # and AddressSanitizer brings checks of its own in their place.
    if(NOT KORVANE_SANITIZE)
        target_compile_options(korvane_build_flags INTERFACE
            "$<$<AND:${compiler},$<NOT:$<CONFIG:Debug>>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
    endif()
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
