# Signs the Windows programs with the maker's code-signing identity as their build's last step, when
# one is named: a PKCS#12 file, or a key on a hardware token through its PKCS#11 module. The
# password or PIN is read from KORVANE_CODESIGN_PASSWORD when the build runs, so that no cache or
# build file holds it.
set(codesign_identity)
if(NOT KORVANE_CODESIGN_PKCS12 STREQUAL "")
    if(NOT KORVANE_CODESIGN_PKCS11_MODULE STREQUAL "" OR NOT KORVANE_CODESIGN_PKCS11_KEY STREQUAL "")
        message(FATAL_ERROR "KORVANE_CODESIGN_PKCS12 and KORVANE_CODESIGN_PKCS11_*: name one "
                            "code-signing identity, not two")
    endif()
    if(NOT EXISTS "${KORVANE_CODESIGN_PKCS12}")
        message(FATAL_ERROR "KORVANE_CODESIGN_PKCS12: no file ${KORVANE_CODESIGN_PKCS12}")
    endif()
    set(codesign_identity --pkcs12 "${KORVANE_CODESIGN_PKCS12}")
elseif(NOT KORVANE_CODESIGN_PKCS11_MODULE STREQUAL "" OR NOT KORVANE_CODESIGN_PKCS11_KEY STREQUAL "")
    if(KORVANE_CODESIGN_PKCS11_MODULE STREQUAL "" OR KORVANE_CODESIGN_PKCS11_KEY STREQUAL ""
       OR KORVANE_CODESIGN_CERTS STREQUAL "")
        message(FATAL_ERROR "A key on a token needs KORVANE_CODESIGN_PKCS11_MODULE, "
                            "KORVANE_CODESIGN_PKCS11_KEY and KORVANE_CODESIGN_CERTS (its certificate "
                            "and the intermediates)")
    endif()
    set(codesign_identity --pkcs11 "${KORVANE_CODESIGN_PKCS11_MODULE}" "${KORVANE_CODESIGN_PKCS11_KEY}"
                 "${KORVANE_CODESIGN_CERTS}")
elseif(NOT (KORVANE_CODESIGN_CERTS STREQUAL "" AND KORVANE_CODESIGN_TIMESTAMP_URL STREQUAL ""
            AND KORVANE_CODESIGN_VERIFY_CA STREQUAL ""))
    message(FATAL_ERROR "KORVANE_CODESIGN_CERTS, _TIMESTAMP_URL and _VERIFY_CA go with a "
                        "code-signing identity: KORVANE_CODESIGN_PKCS12 or KORVANE_CODESIGN_PKCS11_*")
endif()

if(codesign_identity)
    find_program(KORVANE_OSSLSIGNCODE osslsigncode REQUIRED)
    if(KORVANE_CODESIGN_TIMESTAMP_URL STREQUAL "")
        message(WARNING "KorvaneDownloader.exe will be signed without a time stamp: its signature "
                        "stops verifying when the certificate expires. Name a time-stamp server "
                        "with KORVANE_CODESIGN_TIMESTAMP_URL for a release.")
    endif()
endif()
# A change of identity relinks, and so signs again (or no more): the signing step runs after a link.
file(CONFIGURE OUTPUT "${PROJECT_BINARY_DIR}/generated/codesign.txt"
     CONTENT "${codesign_identity}|${KORVANE_CODESIGN_TIMESTAMP_URL}|${KORVANE_CODESIGN_VERIFY_CA}\n")

# Signs the executable TARGET as the last step of its build, when the build names an identity.
function(korvane_sign_program target)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
                 "${PROJECT_BINARY_DIR}/generated/codesign.txt")
    if(codesign_identity)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND "${PROJECT_SOURCE_DIR}/cmake/sign-program.sh" $<TARGET_FILE:${target}>
                    "${KORVANE_CODESIGN_VERIFY_CA}" "${KORVANE_CODESIGN_TIMESTAMP_URL}"
                    ${codesign_identity}
            COMMENT "Signing ${target}"
            VERBATIM)
    endif()
endfunction()
