#!/usr/bin/env bash
# Sets everything up and runs every test: the Qt 6 build, a Qt 6 build with AddressSanitizer and
# UndefinedBehaviorSanitizer, a Qt 5.15 build, the Debian package, which it builds, installs into
# this machine, tries and purges again, and the Windows build under Wine (scripts/windows.sh). Unit
# tests run on the offscreen platform; the real-window tests start their own Xvfb. Exits non-zero
# when any test fails.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# Debian's own judges of a package (devscripts for hardening-check), and what cpack needs to find
# the package's dependencies.
PACKAGES+=(lintian desktop-file-utils appstream devscripts dpkg-dev file)
install_packages || exit 1
mkdir -p "$TOP/build"

failed=()
run_suite() {
    local name=$1 dir=$2
    shift 2
    echo
    echo "=== $name ==="
    if ! build_config "$dir" "$@"; then
        failed+=("$name (build)")
        return
    fi
    (cd "$dir" && ctest --output-on-failure --timeout 300 -j "$(nproc)") || failed+=("$name")
}

run_suite "Qt 6" "$TOP/build/qt6"
# Leaks that Qt and the libraries under it keep for the life of the process are suppressed in
# tests/lsan.supp; ours are not. The robustness tests run fewer rounds here, as they run slower.
ASAN_OPTIONS=detect_leaks=1 \
LSAN_OPTIONS=suppressions=$TOP/tests/lsan.supp:print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
TRANSPORT_FUZZ_FILES=200 TRANSPORT_KILL_COUNT=15 \
    run_suite "Qt 6, sanitizers" "$TOP/build/asan" -DTRANSPORT_SETTINGS_SANITIZE=ON -DTRANSPORT_SETTINGS_BENCH=OFF
run_suite "Qt 5.15" "$TOP/build/qt5" -DTRANSPORT_SETTINGS_QT5=ON -DTRANSPORT_SETTINGS_BENCH=OFF

echo
echo "=== Debian package ==="
# It installs into the machine, so it runs as root; the Qt 6 build shows what `cmake --install`
# stages from a build with tests and benchmark.
sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo "$TOP/tests/package/package.sh" "$TOP/build/qt6" || failed+=("Debian package")

echo
echo "=== Windows ==="
# Cross-built with MinGW-w64, tested under Wine, packed as a zip and an installer into
# build/windows/. The first run on a machine builds Qt for Windows, 35 to 40 minutes; later runs
# take the cached one.
$sudo "$TOP/scripts/windows.sh" || failed+=("Windows")

if [ ${#failed[@]} -ne 0 ]; then
    echo
    echo "Failed: ${failed[*]}"
    exit 1
fi
