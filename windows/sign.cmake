# Signs a Windows program in place with osslsigncode (Debian's package), when a code-signing
# certificate is given in the environment; without one it does nothing:
#   TRANSPORT_SETTINGS_SIGN_PFX            the certificate with its private key (PKCS#12, .pfx)
#   TRANSPORT_SETTINGS_SIGN_PASSWORD_FILE  a file that holds the .pfx's password (optional)
#   TRANSPORT_SETTINGS_SIGN_TIMESTAMP      an RFC 3161 timestamp server's URL (optional)
#
# Usage: cmake -DFILE=<program.exe> -P sign.cmake
if("$ENV{TRANSPORT_SETTINGS_SIGN_PFX}" STREQUAL "")
    return()
endif()
if(NOT FILE OR NOT EXISTS "${FILE}")
    message(FATAL_ERROR "sign.cmake: no file to sign: '${FILE}'")
endif()
find_program(OSSLSIGNCODE osslsigncode)
if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "sign.cmake: osslsigncode is not installed (apt-get install osslsigncode)")
endif()
set(arguments sign -pkcs12 "$ENV{TRANSPORT_SETTINGS_SIGN_PFX}" -h sha256 -n transport-settings)
if(NOT "$ENV{TRANSPORT_SETTINGS_SIGN_PASSWORD_FILE}" STREQUAL "")
    list(APPEND arguments -readpass "$ENV{TRANSPORT_SETTINGS_SIGN_PASSWORD_FILE}")
endif()
if(NOT "$ENV{TRANSPORT_SETTINGS_SIGN_TIMESTAMP}" STREQUAL "")
    list(APPEND arguments -ts "$ENV{TRANSPORT_SETTINGS_SIGN_TIMESTAMP}")
endif()
# Signed beside the file and renamed over it, so that a failure leaves the file as it was.
set(signed "${FILE}.signed")
file(REMOVE "${signed}")
execute_process(COMMAND ${OSSLSIGNCODE} ${arguments} -in "${FILE}" -out "${signed}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result)
    file(REMOVE "${signed}")
    message(FATAL_ERROR "sign.cmake: osslsigncode could not sign ${FILE}:\n${output}")
endif()
# With the file's own permissions, so that a signed package differs from an unsigned one in the
# signatures only.
execute_process(COMMAND chmod --reference=${FILE} ${signed})
file(RENAME "${signed}" "${FILE}")
message(STATUS "Signed ${FILE}")
