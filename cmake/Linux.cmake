# The Linux build: Qt Widgets for the window, libcurl for the GET, OpenSSL's libcrypto for the
# publisher's signature.
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets)
# 7.85: CURLOPT_PROTOCOLS_STR.
find_package(CURL 7.85 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
# The desktop's proxy settings: GNOME's through GSettings, KDE's file through GLib's key files;
# their PAC scripts run by pacparser.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
find_path(KORVANE_PACPARSER_INCLUDE_DIR pacparser.h REQUIRED)
find_library(KORVANE_PACPARSER_LIBRARY pacparser REQUIRED)
qt_standard_project_setup()

# The operating system's services: paths, private files, starting programs, opening addresses.
add_library(korvane_platform STATIC platform/Platform_linux.cpp)
korvane_layer_headers(korvane_platform platform)
target_link_libraries(korvane_platform PUBLIC korvane_build_flags PRIVATE korvane_texts)

# The TLS libraries that the executable carries: the OpenSSL libraries this program was built
# against, each under the name the run asks for it by ("libssl") with the rest of its file name
# (".so.3") as the ending it is written with.
set(KORVANE_PAYLOAD_ASM "")
set(KORVANE_PAYLOAD_SYMBOLS "")
set(KORVANE_PAYLOAD_ENTRIES "")
foreach(component IN ITEMS SSL Crypto)
    get_target_property(library OpenSSL::${component} IMPORTED_LOCATION)
    get_filename_component(library "${library}" REALPATH)
    get_filename_component(file_name "${library}" NAME)
    string(TOLOWER "lib${component}" name)
    string(LENGTH "${name}" name_length)
    string(SUBSTRING "${file_name}" ${name_length} -1 ending)
    string(APPEND KORVANE_PAYLOAD_ASM "    .balign 64\nkorvane_${name}_begin:\n    .incbin \"${library}\"\nkorvane_${name}_end:\n")
    string(APPEND KORVANE_PAYLOAD_SYMBOLS "extern const std::byte korvane_${name}_begin[], korvane_${name}_end[];\n")
    string(APPEND KORVANE_PAYLOAD_ENTRIES "        korvane::TTlsPayload{\"${name}\", \"${ending}\", {korvane_${name}_begin, korvane_${name}_end}},\n")
    list(APPEND tls_library_files "${library}")
endforeach()
configure_file(cmake/CarriedTlsLibraries.cpp.in
               "${CMAKE_CURRENT_BINARY_DIR}/generated/CarriedTlsLibraries.cpp" @ONLY)
set_source_files_properties("${CMAKE_CURRENT_BINARY_DIR}/generated/CarriedTlsLibraries.cpp"
                            PROPERTIES OBJECT_DEPENDS "${tls_library_files}")

target_sources(korvane_download PRIVATE
    "${CMAKE_CURRENT_BINARY_DIR}/generated/CarriedTlsLibraries.cpp"
    download/curl/CurlGlobal.cpp
    download/curl/CurlIOHandler.cpp
    download/curl/UserProxy.cpp
    download/MinisignCheck.cpp
    download/SetupSignature.cpp)
target_include_directories(korvane_download SYSTEM PRIVATE "${KORVANE_PACPARSER_INCLUDE_DIR}")
target_link_libraries(korvane_download PUBLIC korvane_platform
                                       PRIVATE CURL::libcurl OpenSSL::Crypto PkgConfig::GIO
                                               "${KORVANE_PACPARSER_LIBRARY}")

# The main window.
add_library(korvane_app STATIC
    app/Application.cpp
    app/qt/Accessibility.cpp
    app/qt/Application.cpp
    app/qt/fmMain.cpp
    app/qt/ProgramParts.cpp
    app/qt/ProgressBar.cpp
    app/qt/StatusLine.cpp
    resources/fmMain.ui)
korvane_layer_headers(korvane_app app)
target_include_directories(korvane_app PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}/app/qt")
set_target_properties(korvane_app PROPERTIES AUTOUIC_SEARCH_PATHS "${CMAKE_CURRENT_SOURCE_DIR}/resources")
target_link_libraries(korvane_app PUBLIC korvane_download Qt6::Widgets)
qt_add_resources(korvane_app "app_resources" PREFIX "/" BASE resources FILES resources/KorvaneDownloader.png)

# The program TARGET: start-up, the window and the core, with the settings SETTINGS.
function(korvane_add_program target settings)
    qt_add_executable(${target} "${PROJECT_SOURCE_DIR}/app/qt/main.cpp" $<TARGET_OBJECTS:${settings}>)
    target_include_directories(${target} PRIVATE "${PROJECT_BINARY_DIR}/generated")
    target_link_libraries(${target} PRIVATE korvane_app)
endfunction()
