#!/usr/bin/env bash
# The Debian package from end to end: builds it from a lean Release build, checks its file list,
# lets lintian, desktop-file-validate and appstreamcli judge it, installs it into this machine with
# apt-get, checks the installed program's hardening with hardening-check, works the installed
# editor under Xvfb (editor.sh), configures it again where a member of the group has been at the
# list, then removes and purges it, also where a member has left things at the list's and the
# lock's names. Whatever happens, the package is purged again at the end.
#
# The package is reproducible: its times are the last commit's (or SOURCE_DATE_EPOCH's), and a
# second build from a copy of the tree in another folder, configured and packed as the first, makes
# the same .deb, byte for byte.
#
# Usage: package.sh [FULL_BUILD]
#   FULL_BUILD  a built directory with tests and benchmark: its `cmake --install` into a staging
#               folder must give exactly the package's files
#
# Runs as root. Where the package is already installed, or its configuration folder exists, it
# refuses to run rather than touch an operator's list.
set -euo pipefail

TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
FULL_BUILD=${1:-}
BUILD=$TOP/build/package
NAME=transport-settings
WORK=$(mktemp -d "${TMPDIR:-/tmp}/transport-settings-package.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export DEBIAN_FRONTEND=noninteractive
APT=(apt-get -y -qq -o DPkg::Lock::Timeout=600)

fail()
{
    echo "FAIL: $*" >&2
    exit 1
}

step()
{
    echo "--- [${SECONDS}s] $*"
}

present()
{
    dpkg-query -W -f='${Status}\n' "$NAME" 2>/dev/null | grep -qv ' not-installed$'
}

cleanup()
{
    # The folder did not exist when the test began: whatever a test's member left in it goes first,
    # so that the purge cannot trip over it.
    rm -rf "$CONFIG_DIR"
    if present; then
        echo "--- purging $NAME"
        "${APT[@]}" purge "$NAME" >/dev/null || echo "could not purge $NAME" >&2
    fi
    rm -rf "$WORK"
}

[ "$(id -u)" -eq 0 ] || fail "run as root: the test installs the package into this machine"

# release_build SOURCE BUILD: the lean Release build that the package is made from.
release_build()
{
    mkdir -p "$2"
    cmake -S "$1" -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DTRANSPORT_SETTINGS_BENCH=OFF >"$2.configure.log" 2>&1 \
        || { cat "$2.configure.log"; fail "configuring the Release build in $2"; }
    cmake --build "$2" >"$2.build.log" 2>&1 || { cat "$2.build.log"; fail "building in $2"; }
}
# pack BUILD: the .deb, under Debian's umask, as cmake/cpack-reproducible.cmake asks.
pack()
{
    rm -f "$1"/*.deb
    (cd "$1" && umask 022 && cpack -G DEB) >"$1.cpack.log" 2>&1 || { cat "$1.cpack.log"; fail "cpack in $1"; }
}

step "Release build and cpack"
release_build "$TOP" "$BUILD"

# Names and folders as the build has them.
cache() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD/CMakeCache.txt"; }
VERSION=$(cache CMAKE_PROJECT_VERSION)
CONFIG_DIR=$(cache TRANSPORT_SETTINGS_CONFIG_DIR)
GROUP=$(cache TRANSPORT_SETTINGS_GROUP)
APP_ID=$(cache TRANSPORT_SETTINGS_APP_ID)
DEB=$BUILD/${NAME}_${VERSION}_$(dpkg --print-architecture).deb

if present || [ -e "$CONFIG_DIR" ]; then
    fail "$NAME is installed here, or $CONFIG_DIR exists: remove it first (apt-get purge $NAME)"
fi
trap cleanup EXIT

pack "$BUILD"
[ -f "$DEB" ] || { ls "$BUILD"; fail "cpack wrote no $DEB"; }

step "reproducible: the last commit's time, and the same .deb from another folder"
# The time cpack takes when the environment gives none (cmake/cpack-reproducible.cmake).
EPOCH=${SOURCE_DATE_EPOCH:-$(git -c safe.directory="$TOP" -C "$TOP" log -1 --format=%ct 2>/dev/null || :)}
if [ -z "$EPOCH" ]; then
    echo "no SOURCE_DATE_EPOCH and no git history: the package carries the time of packing, not compared"
else
    # Every file, folder and link in the package, and its control files.
    times=$( { dpkg-deb --ctrl-tarfile "$DEB" | tar -tv --full-time --utc -f -
        dpkg-deb --fsys-tarfile "$DEB" | tar -tv --full-time --utc -f -; } | awk '{ print $4 " " $5 }' | sort -u)
    [ "$times" = "$(date -u -d "@$EPOCH" '+%F %T')" ] \
        || fail "the package's files carry the times \"$times\", not the last commit's, $(date -u -d "@$EPOCH" '+%F %T')"
    # The tree as it is, committed or not, with new times, in a folder of another name and depth.
    COPY=$WORK/another/folder/transport-settings
    mkdir -p "$COPY"
    tar -C "$TOP" --exclude-vcs --exclude=./build -cf - . | tar -C "$COPY" -xmf -
    release_build "$COPY" "$WORK/another/build"
    SOURCE_DATE_EPOCH=$EPOCH pack "$WORK/another/build"
    again=$WORK/another/build/$(basename "$DEB")
    sha256sum "$DEB" "$again"
    cmp -s "$DEB" "$again" || {
        diff <(dpkg-deb -c "$DEB") <(dpkg-deb -c "$again") || :
        dpkg-deb -x "$again" "$WORK/again"
        dpkg-deb -x "$DEB" "$WORK/first"
        diff -r "$WORK/first" "$WORK/again" || :
        fail "the same tree built in another folder makes another package"
    }
fi

step "file list"
# expected PREFIX: every file and link the installation holds, with the link targets.
expected()
{
    cat <<LIST | sort
$1/bin/$NAME -> ../lib/$NAME/$NAME
$1/lib/$NAME/$NAME
$1/lib/$NAME/transport.ini -> $CONFIG_DIR/transport.ini
$1/share/applications/$APP_ID.desktop
$1/share/doc/$NAME/changelog.gz
$1/share/doc/$NAME/copyright
$1/share/icons/hicolor/scalable/apps/$NAME.svg
$1/share/man/man1/$NAME.1.gz
$1/share/metainfo/$APP_ID.metainfo.xml
LIST
}
dpkg-deb -c "$DEB" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6, $7, $8 }' | sed 's/ *$//' \
    | sort >"$WORK/package.list"
diff -u <(expected /usr) "$WORK/package.list" || fail "the package holds other files than expected"
if [ -n "$FULL_BUILD" ]; then
    cmake --install "$FULL_BUILD" --prefix "$WORK/stage" >/dev/null
    (cd "$WORK/stage" && find . ! -type d \( -type l -printf '/%P -> %l\n' -o -printf '/%P\n' \)) \
        | sort >"$WORK/stage.list"
    diff -u <(expected "") "$WORK/stage.list" || fail "cmake --install of $FULL_BUILD stages other files"
fi
dpkg-deb -x "$DEB" "$WORK/root"
cmp "$TOP/LICENSE" "$WORK/root/usr/share/doc/$NAME/copyright" || fail "the copyright file is not LICENSE"

step "lintian, desktop-file-validate, appstreamcli"
rc=0
lintian --fail-on error --display-level '>=info' "$DEB" >"$WORK/lintian.log" 2>&1 || rc=$?
grep -v '^running with root privileges' "$WORK/lintian.log" || true
[ "$rc" -eq 0 ] || fail "lintian found errors"
# The program is hardened and stripped as Debian's own are: no word from lintian on either.
! grep -E ': (hardening-[a-z-]+|binary-has-unneeded-section)( |$)' "$WORK/lintian.log" \
    || fail "lintian finds the program not hardened or not stripped as Debian's own programs are"
desktop-file-validate "$WORK/root/usr/share/applications/$APP_ID.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$WORK/root/usr/share/metainfo/$APP_ID.metainfo.xml" || fail "appstreamcli"

step "apt-get install"
"${APT[@]}" install "$DEB" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; fail "apt-get install"; }
getent group "$GROUP" >/dev/null || fail "no group $GROUP"
[ "$(stat -c '%U:%G %a' "$CONFIG_DIR")" = "root:$GROUP 2775" ] || { ls -ld "$CONFIG_DIR"; fail "$CONFIG_DIR"; }
[ "$(stat -c '%U:%G %a' "$CONFIG_DIR/transport.ini")" = "root:$GROUP 664" ] \
    || { ls -l "$CONFIG_DIR"; fail "$CONFIG_DIR/transport.ini"; }

step "hardening-check on the installed program"
# Control-flow protection needs every object linked in marked for it, which Debian 12's C start
# files are not; stack clash protection shows only in functions with large enough frames.
hardening-check --nocfprotection "/usr/lib/$NAME/$NAME" >"$WORK/hardening.log" \
    || { cat "$WORK/hardening.log"; fail "hardening-check"; }
for feature in 'Position Independent Executable' 'Stack protected' 'Fortify Source functions' \
    'Read-only relocations' 'Immediate binding'; do
    grep -q "^ $feature: yes" "$WORK/hardening.log" \
        || { cat "$WORK/hardening.log"; fail "hardening-check: not \"$feature: yes\""; }
done

step "the installed editor under Xvfb"
bash "$TOP/tests/package/editor.sh" "$CONFIG_DIR" "$GROUP"

step "configure again where a member has been at the list"
# A member of the group may put anything at the list's name, and swap it while postinst runs; the
# stand-ins for root's files lie in the test's own folder, where only root may go.
MEMBER=(setpriv --reuid=nobody --regid=nogroup --groups="$GROUP")
ini=$CONFIG_DIR/transport.ini
secret=$WORK/secret
echo "root only" >"$WORK/secret.orig"
install -m 600 "$WORK/secret.orig" "$secret"
untouched()
{
    [ ! -e "$WORK/preload" ] && [ ! -L "$WORK/preload" ] || { ls -l "$WORK/preload"; fail "$1: postinst made $WORK/preload"; }
    [ "$(stat -c '%U:%G %a' "$secret")" = "root:root 600" ] && cmp -s "$WORK/secret.orig" "$secret" \
        || { ls -l "$secret"; fail "$1: postinst changed $secret"; }
}
reconfigure() { dpkg-reconfigure "$NAME" >"$WORK/reconfigure.log" 2>&1 || { cat "$WORK/reconfigure.log"; fail "$1: dpkg-reconfigure"; }; }

# The member removed the list and left a link to a root file that does not exist.
"${MEMBER[@]}" rm "$ini"
"${MEMBER[@]}" ln -s "$WORK/preload" "$ini"
reconfigure dangling
untouched dangling
[ "$(readlink "$ini")" = "$WORK/preload" ] || { ls -l "$ini"; fail "dangling: the member's link is gone"; }

# A member's watcher swaps a link to a root-only file in the moment the new list gets its name.
"${MEMBER[@]}" rm "$ini"
"${MEMBER[@]}" ln -s "$secret" "$CONFIG_DIR/swap"
timeout 60 "${MEMBER[@]}" /usr/bin/python3 -c '
import ctypes, os, sys
libc, folder = ctypes.CDLL(None), sys.argv[1].encode()
watch = libc.inotify_init()
libc.inotify_add_watch(watch, folder, 0x100)  # IN_CREATE
print("watching", flush=True)
while b"transport.ini\0" not in os.read(watch, 4096):
    pass
os.rename(folder + b"/swap", folder + b"/transport.ini")' "$CONFIG_DIR" >"$WORK/watch.log" 2>&1 &
watcher=$!
until grep -qs watching "$WORK/watch.log"; do kill -0 "$watcher" || fail "race: no watcher"; sleep 0.1; done
reconfigure race
wait "$watcher" || { cat "$WORK/watch.log"; fail "race: the member's watcher did not swap its link in"; }
untouched race

# With the name free again, configure makes the list.
"${MEMBER[@]}" rm "$ini"
reconfigure free
untouched free
[ -f "$ini" ] && [ ! -L "$ini" ] && [ ! -s "$ini" ] && [ "$(stat -c '%U:%G %a' "$ini")" = "root:$GROUP 664" ] \
    || { ls -l "$ini"; fail "free: configure did not make an empty list root:$GROUP 664"; }

step "apt-get remove keeps the list, purge removes it"
"${APT[@]}" remove "$NAME" >/dev/null
[ ! -e "/usr/bin/$NAME" ] || fail "/usr/bin/$NAME is still there after apt-get remove"
[ -f "$CONFIG_DIR/transport.ini" ] || fail "apt-get remove took $CONFIG_DIR/transport.ini"
"${APT[@]}" purge "$NAME" >/dev/null
[ ! -e "$CONFIG_DIR" ] || { ls -la "$CONFIG_DIR"; fail "apt-get purge left $CONFIG_DIR"; }
getent group "$GROUP" >/dev/null || fail "apt-get purge removed the group $GROUP"

step "purge leaves what a member put at the list's and the lock's names, unless a file or a link"
# put KIND NAME, as a member: d a folder, p a FIFO, l a link.
put()
{
    case $1 in d) set -- mkdir "$2" ;; p) set -- mkfifo "$2" ;; l) set -- ln -s "$WORK/secret" "$2" ;; esac
    "${MEMBER[@]}" "$@"
}
# CASE, what is put at the list's and the lock's names, and what the purge leaves in the folder.
while read -r case list lock left; do
    "${APT[@]}" install "$DEB" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; fail "$case: apt-get install"; }
    "${MEMBER[@]}" rm "$ini"
    put "$list" "$ini"
    put "$lock" "$ini.lock"
    "${APT[@]}" purge "$NAME" >/dev/null 2>"$WORK/purge.log" || { cat "$WORK/purge.log"; fail "$case: apt-get purge"; }
    found=$(find "$CONFIG_DIR" -mindepth 1 -printf '%f:%y\n' 2>/dev/null | LC_ALL=C sort | paste -sd, || :)
    [ "$found" = "$left" ] || fail "$case: the purge left \"$found\" in $CONFIG_DIR, not \"$left\""
    rm -rf "$CONFIG_DIR"
done <<'CASES'
folders d d transport.ini.lock:d,transport.ini:d
link-fifo l p transport.ini.lock:p
CASES

step "PASS: package"
