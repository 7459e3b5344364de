# Read by cpack when it runs, before it packs (CPACK_PROJECT_CONFIG_FILE, or included from one), so
# that the same commit makes the same packages, whenever and wherever they are packed.
#
# Every time that the packages carry, the file times in the .deb, the zip and the installer, is
# SOURCE_DATE_EPOCH's, as Debian's own tools take it: the one in the environment where it is set,
# otherwise the time of the last commit of the source tree (git log -1 --format=%ct). Without
# either, the packages carry the time of packing.
#
# cpack writes the three members of a .deb with the permissions of the packer's umask: a umask
# other than 022, Debian's, makes another .deb, and is named in a warning.
#
# CPACK_TRANSPORT_SETTINGS_SOURCE_DIR  the source tree, set in CMakeLists.txt
if(CPACK_GENERATOR STREQUAL "DEB")
    execute_process(COMMAND sh -c umask OUTPUT_VARIABLE umask OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT umask MATCHES "^0*22$")
        message(WARNING "umask ${umask}: the .deb's members get its permissions, and the package "
            "differs from one packed under umask 022")
    endif()
endif()

if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    if(NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
        message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: '$ENV{SOURCE_DATE_EPOCH}'")
    endif()
    return()
endif()
find_program(TRANSPORT_SETTINGS_GIT git)
set(epoch)
if(TRANSPORT_SETTINGS_GIT AND IS_DIRECTORY "${CPACK_TRANSPORT_SETTINGS_SOURCE_DIR}")
    # A tree that another user owns is read all the same: root packs a developer's tree.
    execute_process(COMMAND "${TRANSPORT_SETTINGS_GIT}" -c "safe.directory=${CPACK_TRANSPORT_SETTINGS_SOURCE_DIR}"
            -C "${CPACK_TRANSPORT_SETTINGS_SOURCE_DIR}" log -1 --format=%ct
        OUTPUT_VARIABLE epoch ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
    if(failed)
        set(epoch)
    endif()
endif()
if(epoch MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
else()
    message(WARNING "No SOURCE_DATE_EPOCH and no git history in '${CPACK_TRANSPORT_SETTINGS_SOURCE_DIR}': "
        "the packages carry the time of packing")
endif()
