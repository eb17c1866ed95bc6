# The system DLLs that the program uses beyond the KnownDLLs (and comctl32, which the manifest's
# side-by-side assembly names) are delay-loaded: a normal import would be resolved before wWinMain
# restricts the DLL search to System32, from the program's own folder first, where a web page can
# drop a DLL of that name. Each one gets a delay-import library, made at build
# time from its .def here, which lists the functions the program calls: a call to one it does not
# list fails the link rather than bringing back the normal import library.
# Linked as delayload::<name>; mingw-w64's __delayLoadHelper2 (libmingwex) loads each DLL by its
# name at the first call, through the restricted search.
if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "no dlltool for the delay-import libraries (package binutils-mingw-w64)")
endif()

set(delayload_dir "${CMAKE_BINARY_DIR}/delayload")
file(MAKE_DIRECTORY "${delayload_dir}")
foreach(dll IN ITEMS winhttp crypt32 wintrust)
    set(def "${CMAKE_CURRENT_LIST_DIR}/${dll}.def")
    # dlltool names the library's symbols after the output path: made in its folder, the
    # descriptor is __DELAY_IMPORT_DESCRIPTOR_lib<name>_delay_a.
    add_custom_command(
        OUTPUT "${delayload_dir}/lib${dll}-delay.a"
        COMMAND "${CMAKE_DLLTOOL}" --input-def "${def}" --output-delaylib "lib${dll}-delay.a"
        WORKING_DIRECTORY "${delayload_dir}"
        DEPENDS "${def}"
        COMMENT "Making the delay-import library of ${dll}.dll")
    add_custom_target(korvane_delayload_${dll} DEPENDS "${delayload_dir}/lib${dll}-delay.a")
    add_library(delayload::${dll} STATIC IMPORTED)
    set_target_properties(delayload::${dll} PROPERTIES
        IMPORTED_LOCATION "${delayload_dir}/lib${dll}-delay.a")
    add_dependencies(delayload::${dll} korvane_delayload_${dll})
endforeach()
