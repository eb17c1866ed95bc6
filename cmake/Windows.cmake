# The Windows build: Win32 and the common controls for the window, WinHTTP for the GET, the
# system's own TLS (Schannel). One statically linked executable that imports system DLLs only.
enable_language(RC)

if(NOT KORVANE_SETUP_PUBLIC_KEY STREQUAL "")
    # The publisher's signature is Ed25519 over BLAKE2b, which Windows' crypto API lacks.
    message(FATAL_ERROR "KORVANE_SETUP_PUBLIC_KEY: the Windows build cannot check a minisign "
                        "signature; name the maker's Authenticode signer with "
                        "KORVANE_SETUP_SIGNER_NAME and KORVANE_SETUP_SIGNER_CA")
endif()
if(KORVANE_SETUP_SIGNER_NAME STREQUAL "" AND NOT KORVANE_SETUP_SIGNER_CA STREQUAL "")
    message(FATAL_ERROR "KORVANE_SETUP_SIGNER_CA needs KORVANE_SETUP_SIGNER_NAME: the name of the "
                        "maker's code-signing certificate")
elseif(NOT KORVANE_SETUP_SIGNER_NAME STREQUAL "" AND KORVANE_SETUP_SIGNER_CA STREQUAL "")
    message(FATAL_ERROR "KORVANE_SETUP_SIGNER_NAME needs KORVANE_SETUP_SIGNER_CA: the authority "
                        "that issues the maker's code-signing certificate")
endif()

# Unicode everywhere, Windows 10 and later, no min/max macros over the standard library's: for
# every target of the program's own, the resource script included.
target_compile_definitions(korvane_build_flags INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)

# winhttp, crypt32 and wintrust are delay-loaded, after the program restricts the DLL search.
include(cmake/delayload/DelayLoad.cmake)

# The texts live in the executable's string table (resources/fmMain.rc.in).
target_sources(korvane_texts PRIVATE texts/StatusTexts_resource.cpp)

add_library(korvane_platform STATIC platform/Platform_windows.cpp)
korvane_layer_headers(korvane_platform platform)
target_link_libraries(korvane_platform PUBLIC korvane_build_flags PRIVATE shell32 ole32 advapi32)

target_sources(korvane_download PRIVATE
    download/winhttp/UserProxy.cpp
    download/winhttp/WinHttpIOHandler.cpp
    download/wincrypt/AuthenticodeCheck.cpp
    download/wincrypt/Certificates.cpp
    download/wincrypt/RevocationList.cpp
    download/wincrypt/TimeStamp.cpp)
target_link_libraries(korvane_download PUBLIC korvane_platform
                      PRIVATE delayload::winhttp delayload::crypt32 delayload::wintrust shlwapi)

add_library(korvane_app STATIC
    app/Application.cpp
    app/win32/AccessibleAnnotations.cpp
    app/win32/Application.cpp
    app/win32/FormControls.cpp
    app/win32/GdiObjects.cpp
    app/win32/fmMain.cpp
    app/win32/ProgramParts.cpp
    app/win32/ProgressBar.cpp)
korvane_layer_headers(korvane_app app)
target_include_directories(korvane_app PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/app/win32")
target_link_libraries(korvane_app PUBLIC korvane_download comctl32 gdi32 user32 ole32)

# The program TARGET: start-up, the window and the core, with the settings SETTINGS, which hold
# the resources (found by no symbol, a static library would lose them). Signed by the maker when the
# build names an identity (cmake/SignProgram.cmake).
include(cmake/SignProgram.cmake)
function(korvane_add_program target settings)
    add_executable(${target} WIN32 "${PROJECT_SOURCE_DIR}/app/win32/main.cpp"
                   $<TARGET_OBJECTS:${settings}>)
    target_link_options(${target} PRIVATE -municode)
    target_link_libraries(${target} PRIVATE korvane_app ole32)
    # A release carries no symbol table: the file then ends on a whole section, so that removing
    # its signature (osslsigncode remove-signature) gives back these very bytes.
    target_link_options(${target} PRIVATE "$<$<CONFIG:Release,MinSizeRel>:-s>")
    korvane_sign_program(${target})
endfunction()
