# korvane_read_pem(FILE VARIABLE): sets VARIABLE to the PEM certificates of FILE, for a raw string
# literal R"pem(...)pem"; to nothing when FILE is empty. Stops the build when FILE holds none.
function(korvane_read_pem file variable)
    set(pem "")
    if(NOT file STREQUAL "")
        file(READ "${file}" pem)
        if(NOT pem MATCHES "-----BEGIN CERTIFICATE-----" OR pem MATCHES "\\)pem\"")
            message(FATAL_ERROR "${file} is not a PEM certificate file")
        endif()
    endif()
    set(${variable} "${pem}" PARENT_SCOPE)
endfunction()
