#!/usr/bin/env bash
# The editor for 64-bit Windows, made and tried on this Debian 12 machine: cross-builds Qt once
# (scripts/windows-qt.sh, cached outside the tree), builds the editor with MinGW-w64 into
# build/windows, runs its unit tests under Wine, packs build/windows/transport-settings-*-win64.zip
# and .exe, checks that a second build of the same tree in another folder packs both byte for byte
# the same, and tries both: the zip unpacked into a folder outside the tree, in a real window under
# Xvfb, and the installer silently, with the installed editor saving and an uninstall.
#
# Runs as root (it installs what it needs with apt-get). A first run on a fresh machine takes about
# three quarters of an hour, most of it Qt; later runs about ten minutes, two of them the second
# build. Exits non-zero when a step fails.
set -euo pipefail
TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$TOP/build/windows
export DEBIAN_FRONTEND=noninteractive

step() { echo "--- [windows ${SECONDS}s] $*"; }
die() { echo "FAIL: $*" >&2; exit 1; }

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

# Wine runs the tests, the editor and the installer, all of them 64-bit programs, through its 64-bit
# loader alone (tests/windows/wine.sh): nothing here needs wine32 or the i386 architecture, which
# some machines cannot run at all. xvfb and the X tools serve the real-window check, nsis the
# installer, file the check of what was built, librsvg2-bin and icoutils the executable's icon,
# osslsigncode and openssl the signing test.
NEEDED=(wine wine64 nsis xvfb xauth xdotool x11-utils cmake ninja-build file librsvg2-bin icoutils
    osslsigncode openssl)
missing=()
for pkg in "${NEEDED[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -ne 0 ]; then
    step "installing ${missing[*]}"
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}" >/dev/null
fi

step "Qt for Windows"
QT=$("$TOP/scripts/windows-qt.sh" | tail -n1)
[ -f "$QT/lib/cmake/Qt6/qt.toolchain.cmake" ] || die "no Qt for Windows in $QT"

step "configure and build the editor"
mkdir -p "$BUILD"
cmake -S "$TOP" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$QT/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$TOP/cmake/mingw-w64-x86_64.cmake" \
    -DTRANSPORT_SETTINGS_BENCH=OFF >"$BUILD.configure.log" 2>&1 \
    || { cat "$BUILD.configure.log"; die "configuring the Windows build"; }
cmake --build "$BUILD" -j "$(nproc)" || die "building for Windows"
EXE=$BUILD/bin/transport-settings.exe
headers=$(x86_64-w64-mingw32-objdump -p "$EXE")
grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" || die "$EXE is not a GUI-subsystem program"

step "unit tests under Wine"
# Once in a while Wine ends a program before it has run a line of its own (seen once: tst_killsave
# failed after 0.01 s, without a line of output, and passed in every run after it). A test that
# failed is run once more, alone, and must pass then; the first failure stays in the log.
(cd "$BUILD" && { ctest --output-on-failure --timeout 300 -j "$(nproc)" \
    || { echo "--- running the failed tests once more, one at a time"; ctest --rerun-failed --output-on-failure --timeout 300; }; }) \
    || die "unit tests under Wine"

step "packages"
rm -f "$BUILD"/transport-settings-*-win64.zip "$BUILD"/transport-settings-*-win64.exe
(cd "$BUILD" && cpack -G ZIP && cpack -G NSIS) >"$BUILD.cpack.log" 2>&1 \
    || { cat "$BUILD.cpack.log"; die "cpack"; }
ZIP=$(ls "$BUILD"/transport-settings-*-win64.zip)
INSTALLER=$(ls "$BUILD"/transport-settings-*-win64.exe)
ls -l "$ZIP" "$INSTALLER"

UNPACKED=$(mktemp -d "${TMPDIR:-/tmp}/transport-settings-zip.XXXXXX")
trap 'rm -rf "$UNPACKED"' EXIT
(cd "$UNPACKED" && cmake -E tar xf "$ZIP") || die "unpacking $ZIP"
FOLDER=$UNPACKED/$(basename "$ZIP" .zip)

step "reproducible: no link time in the programs, and the same zip and installer from another folder"
# The linker and strip write 0 where a PE header holds its time (cmake/mingw-w64-x86_64.cmake).
while IFS= read -r -d '' program; do
    stamp=$(TZ=UTC x86_64-w64-mingw32-objdump -p "$program" | sed -n '0,/^Time\/Date/s/^Time\/Date[[:space:]]*//p')
    [ "$stamp" = "Thu Jan  1 00:00:00 1970" ] || die "${program#"$FOLDER"/} carries a link time: $stamp"
done < <(find "$FOLDER" -type f \( -name '*.exe' -o -name '*.dll' \) -print0)
# The time cpack took (cmake/cpack-reproducible.cmake); without one the packages carry the time of
# packing and are not compared.
EPOCH=${SOURCE_DATE_EPOCH:-$(git -c safe.directory="$TOP" -C "$TOP" log -1 --format=%ct 2>/dev/null || :)}
if [ -z "$EPOCH" ]; then
    echo "no SOURCE_DATE_EPOCH and no git history: the packages are not compared"
else
    # The tree as it is, committed or not, with new times, in a folder of another name and depth,
    # built with the same Qt and without the tests, which the packages do not hold.
    AGAIN=$UNPACKED/another/folder
    mkdir -p "$AGAIN/transport-settings"
    tar -C "$TOP" --exclude-vcs --exclude=./build -cf - . | tar -C "$AGAIN/transport-settings" -xmf -
    cmake -S "$AGAIN/transport-settings" -B "$AGAIN/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$QT/lib/cmake/Qt6/qt.toolchain.cmake" \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$AGAIN/transport-settings/cmake/mingw-w64-x86_64.cmake" \
        -DBUILD_TESTING=OFF -DTRANSPORT_SETTINGS_BENCH=OFF >"$AGAIN/configure.log" 2>&1 \
        || { cat "$AGAIN/configure.log"; die "configuring the second Windows build"; }
    cmake --build "$AGAIN/build" -j "$(nproc)" >"$AGAIN/build.log" 2>&1 \
        || { cat "$AGAIN/build.log"; die "the second Windows build"; }
    (cd "$AGAIN/build" && export SOURCE_DATE_EPOCH=$EPOCH && cpack -G ZIP && cpack -G NSIS) >"$AGAIN/cpack.log" 2>&1 \
        || { cat "$AGAIN/cpack.log"; die "cpack in the second Windows build"; }
    for package in "$ZIP" "$INSTALLER"; do
        again=$AGAIN/build/$(basename "$package")
        sha256sum "$package" "$again"
        cmp -s "$package" "$again" || {
            if [ "$package" = "$ZIP" ]; then
                mkdir "$AGAIN/unpacked" && (cd "$AGAIN/unpacked" && cmake -E tar xf "$again")
                diff -r "$FOLDER" "$AGAIN/unpacked/$(basename "$ZIP" .zip)" || :
            fi
            die "the same tree built in another folder makes another $(basename "$package")"
        }
    done
    rm -rf "$AGAIN"
fi

step "the zip, unpacked outside the tree, in a real window"
# Unpacked over the transport module's folder, it must not replace the module's list.
[ ! -e "$FOLDER/transport.ini" ] || die "the zip holds a transport.ini"
bash "$TOP/tests/windows/window.sh" "$FOLDER" "$BUILD/wine" || die "the unpacked zip"

step "the installer, silently, under Wine"
bash "$TOP/tests/windows/installer.sh" "$INSTALLER" "$BUILD/wine-installer" || die "the installer"

if [ -z "${TRANSPORT_SETTINGS_SIGN_PFX:-}" ]; then
    step "signing, with a throwaway certificate"
    bash "$TOP/tests/windows/signing.sh" "$BUILD" "$BUILD/wine-installer" "$ZIP" "$INSTALLER" || die "signing"
fi

step "done: $ZIP, $INSTALLER"
