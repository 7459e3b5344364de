#!/usr/bin/env bash
# Cross-builds Qt's qtbase for 64-bit Windows once, from Debian's own qt6-base source package, and
# keeps it outside the work tree. Prints the Qt prefix as its last line of output; with
# --print-prefix it prints only where that prefix is, built or not.
#
# The prefix is keyed by the Qt source version, the configure flags, the toolchain file (which
# keeps link times and build paths out of the DLLs), the patches in cmake/qt-patches, the MinGW
# compiler's version and the SOURCE_DATE_EPOCH rule: when one of them changes, the next
# run builds a new prefix beside the old one. A run that finds its prefix takes a fraction of a
# second; a first run 35 to 40 minutes on 2 cores (nearer an hour where another build shares them),
# with a progress line (steps done/total) a minute.
#
# Environment:
#   TRANSPORT_SETTINGS_CACHE  where the prefixes live (default /var/cache/transport-settings)
#
# Runs as root on Debian 12: it installs what it needs with apt-get and, where the machine has no
# deb-src entry, adds one for the same archive.
set -euo pipefail

TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${TRANSPORT_SETTINGS_CACHE:-/var/cache/transport-settings}
TOOLCHAIN=$TOP/cmake/mingw-w64-x86_64.cmake
export DEBIAN_FRONTEND=noninteractive
APT=(apt-get -y -qq -o DPkg::Lock::Timeout=600)

log() { echo "--- [windows-qt ${SECONDS}s] $*" >&2; }
die() { echo "windows-qt: $*" >&2; exit 1; }

sudo=
[ "$(id -u)" -eq 0 ] || sudo=sudo

# The host Qt (moc, rcc, uic and their CMake packages) must be the same Qt release as the source.
NEEDED=(mingw-w64 g++-mingw-w64-x86-64-posix dpkg-dev patch cmake ninja-build perl xz-utils
    qt6-base-dev qt6-base-dev-tools)
missing=()
for pkg in "${NEEDED[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -ne 0 ]; then
    log "installing ${missing[*]}"
    $sudo apt-get update -qq
    $sudo "${APT[@]}" install --no-install-recommends "${missing[@]}" >/dev/null
fi

QT_SOURCE_VERSION=$(dpkg-query -W -f='${Version}' qt6-base-dev)
CXX=x86_64-w64-mingw32-g++-posix
COMPILER="$($CXX --version | head -n1) / $(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)"

# Only what the editor and its tests use: Core, Gui, Widgets and Test, the windows and offscreen
# platform plugins and the windowsvista style. Debian's repack drops wintab, hence no tablet events;
# with direct2d off, the windows plugin links only without directwrite3.
FLAGS=(
    -DCMAKE_BUILD_TYPE=Release
    -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_EXAMPLES=OFF
    -DQT_BUILD_TESTS=OFF
    -DQT_HOST_PATH=/usr
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
    -DFEATURE_tabletevent=OFF
    -DFEATURE_direct2d=OFF
    -DFEATURE_directwrite3=OFF
    -DFEATURE_network=OFF
    -DFEATURE_sql=OFF
    -DFEATURE_xml=OFF
    -DFEATURE_dbus=OFF
    -DFEATURE_opengl=OFF
    -DFEATURE_vulkan=OFF
    -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF
    -DFEATURE_pkg_config=OFF
    -DFEATURE_icu=OFF
)

# Fixes to Qt's source for this configuration, applied in name order.
PATCHES=("$TOP"/cmake/qt-patches/*.patch)

# The same source makes the same DLLs on every machine: the toolchain file keeps link times and
# this machine's paths out of them, and rcc writes, for each file of Qt's resources, the time of the
# source's last changelog entry rather than the time the file was unpacked or patched here.
BUILD_ENV="SOURCE_DATE_EPOCH=<time of debian/changelog's first entry>"

KEY=$( { echo "$QT_SOURCE_VERSION"; printf '%s\n' "${FLAGS[@]}"; grep -v '^[[:space:]]*#' "$TOOLCHAIN"; \
    cat "${PATCHES[@]}"; echo "$COMPILER"; echo "$BUILD_ENV"; } | sha256sum | cut -c1-12)
UPSTREAM=${QT_SOURCE_VERSION%%+*}
UPSTREAM=${UPSTREAM%%-*}
PREFIX=$CACHE/qt-$UPSTREAM-mingw64-$KEY

if [ "${1:-}" = --print-prefix ]; then
    echo "$PREFIX"
    exit 0
fi
if [ -f "$PREFIX/.complete" ]; then
    log "cached: $PREFIX"
    echo "$PREFIX"
    exit 0
fi

$sudo mkdir -p "$CACHE"
# One build at a time; a second run waits for the first and then finds its prefix.
exec 9>"$CACHE/.lock-$KEY"
flock 9
if [ -f "$PREFIX/.complete" ]; then
    log "built meanwhile: $PREFIX"
    echo "$PREFIX"
    exit 0
fi

log "building Qt $QT_SOURCE_VERSION for Windows x64 into $PREFIX (once; 35 to 40 minutes on 2 cores, a progress line a minute)"
log "compiler: $COMPILER"

# apt-get source needs a deb-src entry for the archive the machine installs from. Mirror the
# Debian entries of this machine, in the format it uses.
# With -q, grep ends with 0 on a match even when some of the files do not exist.
have_src() {
    grep -qsE '^[[:space:]]*(Types:.*deb-src|deb-src[[:space:]])' \
        /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources
}
if ! have_src; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        log "adding /etc/apt/sources.list.d/transport-settings-src.sources"
        sed 's/^Types:.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            | $sudo tee /etc/apt/sources.list.d/transport-settings-src.sources >/dev/null
    elif grep -qs '^deb[[:space:]]' /etc/apt/sources.list; then
        log "adding /etc/apt/sources.list.d/transport-settings-src.list"
        sed -n 's/^deb[[:space:]]/deb-src /p' /etc/apt/sources.list \
            | $sudo tee /etc/apt/sources.list.d/transport-settings-src.list >/dev/null
    else
        die "no Debian archive entry found to mirror as deb-src; add one for qt6-base"
    fi
    $sudo apt-get update -qq
fi

WORKDIR=$CACHE/build-$KEY
rm -rf "$WORKDIR" "$PREFIX"
mkdir -p "$WORKDIR"
log "apt-get source qt6-base=$QT_SOURCE_VERSION"
(cd "$WORKDIR" && apt-get source -qq "qt6-base=$QT_SOURCE_VERSION") >"$WORKDIR/source.log" 2>&1 \
    || { cat "$WORKDIR/source.log" >&2; die "apt-get source qt6-base failed"; }
SRC=$(find "$WORKDIR" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
[ -n "$SRC" ] || die "no source tree in $WORKDIR"
for patch in "${PATCHES[@]}"; do
    log "patch $(basename "$patch")"
    patch -d "$SRC" -p1 --forward --quiet <"$patch" || die "$patch does not apply"
done

SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$SRC/debian/changelog" -STimestamp) \
    || die "no time in $SRC/debian/changelog"
export SOURCE_DATE_EPOCH
log "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"

log "configure"
cmake -S "$SRC" -B "$WORKDIR/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" "${FLAGS[@]}" >"$WORKDIR/configure.log" 2>&1 \
    || { tail -n 60 "$WORKDIR/configure.log" >&2; die "configuring qtbase failed, see $WORKDIR/configure.log"; }
log "build"
# Ninja writes "[done/total] ..." for each step into the log; a line a minute tells how far it got,
# so that half an hour of building never looks like a hang.
cmake --build "$WORKDIR/build" -j "$(nproc)" >"$WORKDIR/build.log" 2>&1 &
builder=$!
while kill -0 "$builder" 2>/dev/null; do
    for _ in $(seq 60); do
        kill -0 "$builder" 2>/dev/null || break
        sleep 1
    done
    kill -0 "$builder" 2>/dev/null || break
    progress=$(grep -o '^\[[0-9]*/[0-9]*\]' "$WORKDIR/build.log" | tail -n1 | tr -d '[]' || true)
    log "build: ${progress:-starting} steps done"
done
wait "$builder" \
    || { tail -n 60 "$WORKDIR/build.log" >&2; die "building qtbase failed, see $WORKDIR/build.log"; }
log "install"
cmake --install "$WORKDIR/build" >"$WORKDIR/install.log" 2>&1 \
    || { tail -n 30 "$WORKDIR/install.log" >&2; die "installing qtbase failed"; }
cp "$TOOLCHAIN" "$PREFIX/mingw-w64-x86_64.cmake"
{ echo "source: qt6-base $QT_SOURCE_VERSION"; echo "compiler: $COMPILER"; echo "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
    printf '%s\n' "${FLAGS[@]}"; } \
    >"$PREFIX/.complete"
rm -rf "$WORKDIR"
log "done: $PREFIX"
echo "$PREFIX"
