#!/usr/bin/env bash
# The Windows installer under Wine, silently (/S): it puts the editor under Program Files with a
# Start-menu entry and an uninstaller and creates an empty transport.ini; the installed editor
# saves (window.sh); installing again keeps the saved list; uninstalling removes the program and
# its Start-menu entry and keeps the list.
#
# Usage: installer.sh INSTALLER WINEPREFIX
#   WINEPREFIX  a Wine prefix of this test's own: the test installs into it, fails when the editor
#               is installed there already and removes the list an earlier run left behind
#
# Wine does not enforce Windows access rights, and its net.exe and icacls.exe do not implement
# local groups and grants: the group and its right on transport.ini are not tried here.
set -euo pipefail
INSTALLER=$(realpath "$1")
PREFIX=$(realpath -m "$2")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
WAIT=${TRANSPORT_SETTINGS_TEST_WAIT:-60}

fail()
{
    echo "FAIL: $*" >&2
    exit 1
}
step()
{
    echo "--- [${SECONDS}s] $*"
}
run()
{
    bash "$HERE/wine.sh" --prefix "$PREFIX" "$@"
}

DIR="$PREFIX/drive_c/Program Files/transport-settings"
MENU="$PREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/transport-settings"
[ ! -e "$DIR/transport-settings.exe" ] || fail "the editor is installed in $PREFIX already"
# The list an earlier run kept, as uninstalling does.
rm -rf "$DIR"

step "silent install"
run "$INSTALLER" /S || fail "the installer ended with $?"
for file in transport-settings.exe Uninstall.exe Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll \
    libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll \
    platforms/qwindows.dll styles/qwindowsvistastyle.dll; do
    [ -f "$DIR/$file" ] || { find "$PREFIX/drive_c/Program Files" | head -30 >&2; fail "not installed: $file"; }
done
[ -f "$MENU/transport-settings.lnk" ] || { find "$PREFIX/drive_c" -name '*.lnk' >&2; fail "no Start-menu entry"; }
[ "$(od -An -c "$DIR/transport.ini" | tr -s ' ')" = "$(printf '[General]\r\npositions=0\r\n' | od -An -c | tr -s ' ')" ] \
    || { od -c "$DIR/transport.ini" >&2; fail "the installer did not create the empty list"; }
# Wine makes no symbolic links: the list the installer made for one is gone again.
[ ! -e "$PREFIX/drive_c/ProgramData/transport-settings/transport.ini" ] \
    || fail "a list for a link that Wine did not make is left in ProgramData"

step "the installed editor saves"
bash "$HERE/window.sh" "$DIR" "$PREFIX" || fail "the installed editor"
cp "$DIR/transport.ini" "$PREFIX/saved.ini"

step "installing again keeps the list"
run "$INSTALLER" /S || fail "the second install ended with $?"
cmp "$DIR/transport.ini" "$PREFIX/saved.ini" || fail "installing again changed transport.ini"

step "silent uninstall"
# The uninstaller copies itself away and returns at once; the copy does the work.
run "$DIR/Uninstall.exe" /S || fail "the uninstaller ended with $?"
deadline=$((SECONDS + WAIT))
while [ -e "$DIR/transport-settings.exe" ] || [ -e "$DIR/Uninstall.exe" ]; do
    [ $SECONDS -lt $deadline ] || fail "the program was still installed ${WAIT}s after uninstalling"
    sleep 0.2
done
WINEPREFIX=$PREFIX /usr/lib/wine/wineserver64 -w || true
left=$(cd "$DIR" && find . -mindepth 1 | sort | tr '\n' ' ')
[ "$left" = "./transport.ini " ] || fail "after uninstalling, the folder holds: $left"
cmp "$DIR/transport.ini" "$PREFIX/saved.ini" || fail "uninstalling changed transport.ini"
[ ! -e "$MENU" ] || fail "the Start-menu entry is still there: $(ls "$MENU")"
echo "PASS: installed, saved, installed again, uninstalled; the list kept"
