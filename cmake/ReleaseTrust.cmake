# A release names what vouches for the setup program it starts: the maker's minisign key (Linux) or
# Authenticode signer (Windows). Without one, the program trusts the verified connection alone,
# and a maker who forgot the option would ship that. Optimised builds must name one, or say with
# KORVANE_ALLOW_UNVERIFIED_SETUP that they do without on purpose; a Debug build, or one whose type
# nobody chose, is warned.
#
# korvane_require_release_trust(<build type as the user gave it, empty for none>)
function(korvane_require_release_trust given_build_type)
    if(WIN32)
        set(named "${KORVANE_SETUP_SIGNER_NAME}")
        set(options "KORVANE_SETUP_SIGNER_NAME and KORVANE_SETUP_SIGNER_CA (the maker's signer)")
    else()
        set(named "${KORVANE_SETUP_PUBLIC_KEY}")
        set(options "KORVANE_SETUP_PUBLIC_KEY (the maker's minisign key)")
    endif()
    if(NOT "${named}" STREQUAL "" OR KORVANE_ALLOW_UNVERIFIED_SETUP)
        return()
    endif()
    set(message "This build names no ${options}: its program starts whatever the verified "
                "connection brings, signed by nobody. Name it, or configure with "
                "-DKORVANE_ALLOW_UNVERIFIED_SETUP=ON to build such a program on purpose.")
    string(JOIN "" message ${message})
    if(given_build_type MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
        message(FATAL_ERROR "${message}")
    endif()
    message(WARNING "${message}")
endfunction()
