#!/usr/bin/env bash
# The Windows installer under Wine, silently (/S): a 64-bit program that puts the editor under
# Program Files with a Start-menu entry and an uninstaller, registers it in the registry's 64-bit
# view and creates an empty transport.ini; the installed editor saves (window.sh); installing again
# keeps the saved list, and so does installing over an installation of the former 32-bit installer,
# which goes first; uninstalling removes the program, its entry and its Start-menu entry and keeps
# the list.
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

# Where "Apps and features" finds the installation; reg's /reg:32 and /reg:64 name the two views.
ENTRY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\transport-settings'
entry()
{
    run reg query "$ENTRY" /v "${2:-UninstallString}" "/reg:$1" 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p'
}

case $(file -b "$INSTALLER") in
"PE32+ executable (GUI) x86-64"*) ;;
*) fail "the installer is not a 64-bit program: $(file -b "$INSTALLER")" ;;
esac

# Wine's icacls does nothing, so the rights on the list's folder are checked as the installer's
# commands (its NSIS script beside it), which the README gives too.
NSI=$(dirname "$INSTALLER")/_CPack_Packages/win64/NSIS/project.nsi
for rights in \
    '/inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX transport-settings:(RX,WD)' \
    '/grant transport-settings:(OI)(IO)M'; do
    grep -qF "'icacls \"\$APPDATA\\transport-settings\" $rights'" "$NSI" || fail "the installer does not run: icacls ... $rights"
    grep -qF "icacls \"C:\\ProgramData\\transport-settings\" $rights" "$HERE/../../README.md" \
        || fail "the README does not give: icacls ... $rights"
done

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
[ "$(entry 64)" = '"C:\Program Files\transport-settings\Uninstall.exe"' ] \
    || fail "no uninstall entry in the registry's 64-bit view: '$(entry 64)'"
[ -z "$(entry 32)" ] || fail "an uninstall entry in the 32-bit view: $(entry 32)"
# "Apps and features" shows the icon of the executable (tst_resources reads it there).
[ "$(entry 64 DisplayIcon)" = 'C:\Program Files\transport-settings\transport-settings.exe' ] \
    || fail "the uninstall entry's icon is '$(entry 64 DisplayIcon)'"
case $(file -b "$DIR/Uninstall.exe") in
"PE32+ executable"*) ;;
*) fail "the uninstaller is not a 64-bit program: $(file -b "$DIR/Uninstall.exe")" ;;
esac
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

step "installing over an installation of the 32-bit installer"
# That installer registered in the 32-bit view. Its place is played by a copy of this installation
# in another folder, registered there alone.
OLD="$PREFIX/drive_c/old32/transport-settings"
rm -rf "$OLD" && mkdir -p "$OLD" && cp -r "$DIR"/. "$OLD"/ && rm "$OLD/transport.ini"
run reg delete "$ENTRY" /f /reg:64 >/dev/null 2>&1 || fail "removing the 64-bit entry"
run reg add "$ENTRY" /v UninstallString /d '"C:\old32\transport-settings\Uninstall.exe"' /f /reg:32 >/dev/null 2>&1 \
    || fail "adding the 32-bit entry"
run "$INSTALLER" /S || fail "the install over the 32-bit one ended with $?"
[ ! -e "$OLD" ] || fail "the 32-bit installation was not uninstalled: $(find "$OLD" | head)"
[ -z "$(entry 32)" ] || fail "the 32-bit entry is left: $(entry 32)"
[ -n "$(entry 64)" ] || fail "no 64-bit entry after installing over the 32-bit one"
[ -f "$DIR/transport-settings.exe" ] || fail "the editor is not installed after installing over the 32-bit one"
cmp "$DIR/transport.ini" "$PREFIX/saved.ini" || fail "installing over the 32-bit one changed transport.ini"

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
[ -z "$(entry 64)" ] || fail "the uninstall entry is still there: $(entry 64)"
echo "PASS: installed, saved, installed again, uninstalled; the list kept"
