# korvane_version_record(OUTPUT <file.rc> NAME <OriginalFilename> [VERSION <A.B.C.D>])
#
# Writes a resource script whose version record names the file NAME and, with VERSION, gives it
# that file version; without VERSION the record has no FILEVERSION statement.
function(korvane_version_record)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT;NAME;VERSION" "")
    set(original_filename "${arg_NAME}")
    set(file_version_line "")
    if(NOT "${arg_VERSION}" STREQUAL "")
        string(REPLACE "." "," numbers "${arg_VERSION}")
        set(file_version_line "FILEVERSION ${numbers}\nPRODUCTVERSION ${numbers}")
    endif()
    configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/VersionRecord.rc.in" "${arg_OUTPUT}" @ONLY)
endfunction()
