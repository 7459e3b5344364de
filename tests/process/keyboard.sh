#!/usr/bin/env bash
# Maintains the redirection list with the keyboard alone, in a real X server under openbox (the
# window manager hands the focus back to the main window when a dialog closes, as on a desktop).
#
# Usage: keyboard.sh EXECUTABLE new
#   Starting without a file: Tab to "Новый", space, fill the dialog and confirm with Tab to "OK"
#   and space; "Новый" again (it keeps the focus), fill it and confirm with Return; Ctrl+S; Tab to
#   "Выход" and space. The file holds both redirections and the editor ends with exit code 0.
EXE=$1
CASE=$2
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[ "$CASE" = new ] || fail "unknown case $CASE"

start_xvfb
start_wm
dir=$(new_app_dir "$CASE")
ini="$dir/transport.ini"

start_app "$dir"
window=$(wait_window "$MAIN_TITLE")
wait_managed "$window"

# fill_dialog LISTEN_HOST LISTEN_PORT DEST_HOST DEST_PORT: types into the dialog that has just
# opened, field by field in its focus order. A port box selects its text when Tab enters it, so
# typing replaces the 0 it starts with.
fill_dialog()
{
    local dialog
    dialog=$(wait_window "$EDIT_TITLE")
    wait_focus "$dialog"
    xdotool type --delay 30 "$1"
    keys Tab
    xdotool type --delay 30 "$2"
    keys Tab
    xdotool type --delay 30 "$3"
    keys Tab
    xdotool type --delay 30 "$4"
}

# The focus starts in the table; one Tab reaches "Новый".
keys Tab space
fill_dialog 127.0.0.1 81 10.0.0.2 80
keys Tab space                        # "OK" follows the last port box
wait_window_gone "$EDIT_TITLE"
wait_focus "$window"

keys space                            # "Новый" has the focus again
fill_dialog gateway.local 100000 192.168.7.1 0
keys Return                           # "OK" is the dialog's default button
wait_window_gone "$EDIT_TITLE"
wait_focus "$window"

[ ! -e "$ini" ] || fail "the file was written before Save"
keys ctrl+s
wait_file_line "$ini" positions=2

# From "Новый": Edit, Delete, Export, Import, Exit.
keys Tab Tab Tab Tab Tab space
wait_exit 0

expect_lines "$ini" positions=2 \
    listenHost1=127.0.0.1 listenPort1=81 destHost1=10.0.0.2 destPort1=80 \
    listenHost2=gateway.local listenPort2=100000 destHost2=192.168.7.1 destPort2=0
[ "$(grep -c = "$ini")" -eq 9 ] || { cat "$ini" >&2; fail "$ini holds other keys than the two entries"; }
echo "PASS: $CASE"
