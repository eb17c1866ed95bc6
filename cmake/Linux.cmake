# The Linux build: Qt Widgets for the window, libcurl for the GET, OpenSSL's libcrypto for the
# publisher's signature.
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets)
# 7.85: CURLOPT_PROTOCOLS_STR.
find_package(CURL 7.85 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
qt_standard_project_setup()

# The operating system's services: paths, private files, starting programs, opening addresses,
# the embedded TLS libraries.
add_library(korvane_platform STATIC platform/Platform_linux.cpp)
target_include_directories(korvane_platform PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(korvane_platform PUBLIC korvane_build_flags PRIVATE Qt6::Core Qt6::Gui)

# The TLS payloads: the OpenSSL libraries this program was built against, stored uncompressed
# under upper-case names so that a lookup by library name can ignore case.
foreach(payload IN ITEMS SSL Crypto)
    string(TOUPPER "LIB${payload}" resource_name)
    get_target_property(library OpenSSL::${payload} IMPORTED_LOCATION)
    get_filename_component(library "${library}" REALPATH)
    set(payload_copy "${CMAKE_CURRENT_BINARY_DIR}/payloads/${resource_name}")
    configure_file("${library}" "${payload_copy}" COPYONLY)
    set_source_files_properties("${payload_copy}" PROPERTIES QT_RESOURCE_ALIAS "${resource_name}")
    list(APPEND tls_payloads "${payload_copy}")
endforeach()
qt_add_resources(korvane_platform "tls_payloads" PREFIX "/" BIG_RESOURCES
    OPTIONS -no-compress FILES ${tls_payloads})

target_sources(korvane_download PRIVATE
    download/curl/CurlGlobal.cpp
    download/curl/CurlIOHandler.cpp
    download/MinisignCheck.cpp
    download/SetupSignature.cpp)
target_link_libraries(korvane_download PUBLIC korvane_platform
                                       PRIVATE CURL::libcurl OpenSSL::Crypto)

# The main window.
add_library(korvane_app STATIC
    app/Application.cpp
    app/qt/Application.cpp
    app/qt/fmMain.cpp
    app/qt/ProgressBar.cpp
    resources/fmMain.ui)
target_include_directories(korvane_app PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}/app/qt")
set_target_properties(korvane_app PROPERTIES AUTOUIC_SEARCH_PATHS "${CMAKE_CURRENT_SOURCE_DIR}/resources")
target_link_libraries(korvane_app PUBLIC korvane_download Qt6::Widgets)
qt_add_resources(korvane_app "app_resources" PREFIX "/" BASE resources FILES resources/KorvaneDownloader.png)

# The program TARGET: start-up, the window and the core, with the settings SETTINGS.
function(korvane_add_program target settings)
    qt_add_executable(${target} "${PROJECT_SOURCE_DIR}/app/qt/main.cpp" $<TARGET_OBJECTS:${settings}>)
    target_include_directories(${target} PRIVATE "${PROJECT_BINARY_DIR}/generated")
    target_link_libraries(${target} PRIVATE korvane_app)
endfunction()
