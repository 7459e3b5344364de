#!/usr/bin/env bash
# Starts the editor in a real X server with arguments it does not know and no settings file, ends
# it one way, and checks that it ended with exit code 0 and wrote nothing.
#
# Usage: startup.sh EXECUTABLE CASE, where CASE is
#   escape       Escape in the main window (no window manager)
#   wm-close     the window manager's close: Alt+F4 under openbox, which sends WM_DELETE_WINDOW
#                exactly as its title-bar close button does
#   exit-button  "Выход" reached with Tab and pressed with the space bar (no window manager)
EXE=$1
CASE=$2
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

start_xvfb
[ "$CASE" = wm-close ] && start_wm

dir=$(new_app_dir "$CASE")
start_app "$dir" --no-such-option foo -x
window=$(wait_window "$MAIN_TITLE")

case $CASE in
escape)
    focus "$window"
    keys Escape
    ;;
wm-close)
    # openbox frames a new window and gives it the focus itself; Alt+F4 then closes it.
    wait_managed "$window"
    keys alt+F4
    ;;
exit-button)
    # The focus starts in the table; the chain runs New, Edit, Delete, Export, Import, Exit, Save.
    focus "$window"
    keys Tab Tab Tab Tab Tab Tab space
    ;;
*)
    fail "unknown case $CASE"
    ;;
esac

wait_exit 0
# Nothing but the executable and its captured output: no transport.ini, no lock or temporary file.
left=$(cd "$dir" && ls -A | grep -vxF -e transport-settings -e app.log || true)
[ -z "$left" ] || fail "the editor left files behind: $left"
echo "PASS: $CASE"
