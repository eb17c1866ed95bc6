# The Linux program as a Debian package: what `cmake --install` lays out under the prefix, and
# `cpack -G DEB` from a Release build, which installs into /usr.
include(GNUInstallDirs)

set(korvane_package_name korvane-downloader)
set(korvane_doc_dir "${CMAKE_INSTALL_DATADIR}/doc/${korvane_package_name}")

# Debian wants the manual page and the changelog compressed, reproducibly (-n: no name or time).
find_program(KORVANE_GZIP gzip REQUIRED)
set(compressed_docs)
file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/packaging")
foreach(doc IN ITEMS "packaging/KorvaneDownloader.1" "packaging/changelog")
    get_filename_component(doc_name "${doc}" NAME)
    set(compressed "${CMAKE_CURRENT_BINARY_DIR}/packaging/${doc_name}.gz")
    add_custom_command(
        OUTPUT "${compressed}"
        COMMAND "${KORVANE_GZIP}" -9nc "${CMAKE_CURRENT_SOURCE_DIR}/${doc}" > "${compressed}"
        DEPENDS "${doc}"
        COMMENT "Compressing ${doc}")
    list(APPEND compressed_docs "${compressed}")
endforeach()
add_custom_target(korvane_package_docs ALL DEPENDS ${compressed_docs})

# The desktop entry names the program and the icon by these names: Exec=KorvaneDownloader from
# PATH, Icon=KorvaneDownloader from the hicolor theme.
# It loads no library from beside itself: no run path ($ORIGIN) from qt_standard_project_setup.
set_target_properties(KorvaneDownloader PROPERTIES INSTALL_RPATH "")
install(TARGETS KorvaneDownloader RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
install(FILES resources/KorvaneDownloader.desktop
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES resources/KorvaneDownloader.png
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/16x16/apps")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/packaging/KorvaneDownloader.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
# A version without a Debian revision makes a native package, whose changelog is changelog.gz.
install(FILES packaging/copyright "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz"
        DESTINATION "${korvane_doc_dir}")
install(FILES packaging/lintian-overrides RENAME "${korvane_package_name}"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides")

set(CPACK_PACKAGE_NAME "${korvane_package_name}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The Korvane developers")
set(CPACK_PACKAGE_CONTACT "The Korvane developers <packages@korvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "downloader that fetches the Korvane setup program over HTTPS and starts it")
# Debian shows the long description as it is: lines of at most 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "A one-window desktop program that fetches the Korvane setup program over"
    "HTTPS from a fixed address, shows the progress and a status line in French,"
    "checks the publisher's signature when the build names a publisher key, and"
    "starts the setup program with /LANG=fr. When the download fails, it offers"
    "to try again or to open the address in the web browser.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: from the libraries the executable links, through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# "Autre lien de téléchargement" hands the address to the desktop's opener, xdg-open; GNOME's proxy
# settings are read through GSettings, from dconf where the session keeps them.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, gsettings-desktop-schemas, dconf-gsettings-backend")
include(CPack)
