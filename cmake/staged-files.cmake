# Run by cpack once it has staged the files to pack, before it packs them (CPACK_PRE_BUILD_SCRIPTS).
#
# Every staged folder gets the permissions rwxr-xr-x: cpack makes them with the packer's umask,
# and packs them so, which under umask 077 would give a package whose folders only root may enter.
# The files have theirs from install() already.
#
# Every staged file and folder gets the time of SOURCE_DATE_EPOCH (cmake/cpack-reproducible.cmake),
# so that a packer that keeps the files' own times, as makensis does for the installer and for the
# files it installs, packs no time of packing. Without SOURCE_DATE_EPOCH the times stay as they are.
if(NOT IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}")
    return()
endif()
# Links are not followed: transport.ini links to the system's configuration folder.
cmake_policy(SET CMP0009 NEW)
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/*")
list(APPEND staged "${CPACK_TEMPORARY_DIRECTORY}")
set(folders)
foreach(path IN LISTS staged)
    if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
        list(APPEND folders "${path}")
    endif()
endforeach()
file(CHMOD ${folders} DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${staged} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "staged-files.cmake: touch could not set the staged files' times")
    endif()
endif()
