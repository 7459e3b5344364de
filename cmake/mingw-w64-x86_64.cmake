# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (packages mingw-w64 and
# g++-mingw-w64-x86-64-posix). The posix thread model is the one Qt needs: the unsuffixed
# x86_64-w64-mingw32-g++ is the win32 model, without std::thread and std::mutex.
#
# It serves both the cross-built Qt (scripts/windows-qt.sh) and the editor. The editor's build
# loads Qt's own qt.toolchain.cmake, which chain-loads this file through QT_CHAINLOAD_TOOLCHAIN_FILE;
# scripts/windows.sh shows how.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)
# CMake cannot derive the binutils' prefix from a compiler name with the -posix suffix.
set(CMAKE_AR ${_mingw}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_mingw}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${_mingw}-strip CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${_mingw}-objdump CACHE FILEPATH "")

# The same sources make the same executables and DLLs: the linker writes no link time into the PE
# header or the export table (0 instead), and the compiler records the source and build folders
# under fixed names, in __FILE__ as in anything else it writes, so that no path of this machine
# gets in. The build folder comes last: it may lie inside the source folder, and the last map that
# matches wins.
# (Strip and objcopy write a PE header anew, with the time of SOURCE_DATE_EPOCH, or the current
# time when it is unset: windows/CMakeLists.txt strips with it set to 0.)
foreach(_kind EXE SHARED MODULE)
    set(CMAKE_${_kind}_LINKER_FLAGS_INIT "-Wl,--no-insert-timestamp")
endforeach()
foreach(_lang C CXX)
    set(CMAKE_${_lang}_FLAGS_INIT
        "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=/src -ffile-prefix-map=${CMAKE_BINARY_DIR}=/build")
endforeach()

# Headers, libraries and CMake packages come from the MinGW tree (and the Qt prefix that Qt's
# toolchain file adds), never from the Linux host; programs (moc, rcc, uic, wine) from the host.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
