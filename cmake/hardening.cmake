# Hardening of the Linux builds, as Debian builds its own programs (dpkg-buildflags with
# DEB_BUILD_MAINT_OPTIONS=hardening=+all): position-independent executables, the strong stack
# protector, _FORTIFY_SOURCE=2 where the build optimises, full RELRO with immediate binding, and
# stack clash and control-flow protection where the compiler has them. Set here, so that a build
# on any distribution gets them; every target of ours, tests and benchmark included, is built so.
#
# Not for the sanitizer build (AddressSanitizer brings its own checks and does not mix with
# _FORTIFY_SOURCE), and nothing changes for Windows, whose executables the MinGW linker already
# marks for ASLR, DEP and high-entropy ASLR.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckPIESupported)

function(transport_settings_harden)
    check_pie_supported(LANGUAGES CXX)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON PARENT_SCOPE)

    set(compile)
    foreach(flag -fstack-protector-strong -fstack-clash-protection)
        string(MAKE_C_IDENTIFIER "TRANSPORT_SETTINGS_HAVE${flag}" have)
        check_cxx_compiler_flag(${flag} ${have})
        if(${have})
            list(APPEND compile ${flag})
        endif()
    endforeach()
    # Control-flow protection: Intel's CET on x86, branch protection (BTI and PAC) on 64-bit Arm.
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64|i.86)$")
        set(cf_flag -fcf-protection)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
        set(cf_flag -mbranch-protection=standard)
    endif()
    if(cf_flag)
        check_cxx_compiler_flag(${cf_flag} TRANSPORT_SETTINGS_HAVE_CF_PROTECTION)
        if(TRANSPORT_SETTINGS_HAVE_CF_PROTECTION)
            list(APPEND compile ${cf_flag})
        endif()
    endif()
    add_compile_options(${compile})

    # _FORTIFY_SOURCE works only on optimised code (glibc warns without), and a compiler that
    # defines it already (Ubuntu's does), or a level given in CXXFLAGS, is left as it is: another
    # definition would be a warning.
    set(CMAKE_REQUIRED_FLAGS -O2)
    check_cxx_source_compiles("
        #ifdef _FORTIFY_SOURCE
        #error fortified already
        #endif
        int main() { return 0; }" TRANSPORT_SETTINGS_FORTIFY_UNSET)
    unset(CMAKE_REQUIRED_FLAGS)
    if(TRANSPORT_SETTINGS_FORTIFY_UNSET)
        add_compile_definitions(
            $<$<OR:$<CONFIG:Release>,$<CONFIG:RelWithDebInfo>,$<CONFIG:MinSizeRel>>:_FORTIFY_SOURCE=2>)
    endif()

    # Relocations read-only after start-up, and every symbol bound at start-up so that the
    # whole table can be.
    set(CMAKE_REQUIRED_LINK_OPTIONS -Wl,-z,relro -Wl,-z,now)
    check_cxx_source_compiles("int main() { return 0; }" TRANSPORT_SETTINGS_HAVE_BINDNOW)
    unset(CMAKE_REQUIRED_LINK_OPTIONS)
    if(TRANSPORT_SETTINGS_HAVE_BINDNOW)
        add_link_options(-Wl,-z,relro -Wl,-z,now)
    endif()
endfunction()
