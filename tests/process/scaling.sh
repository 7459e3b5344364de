#!/usr/bin/env bash
# Starts the editor on an X server whose desktop asks for 192 DPI (Xft.dpi, as desktop settings
# set it) and checks that the window scales as a whole: twice its 584 x 378 at 96 DPI, so that the
# four columns still fit beside the buttons. Qt 6 does this by itself, Qt 5 only when asked.
#
# Usage: scaling.sh EXECUTABLE CASE, where CASE is
#   xft-dpi-192  Xft.dpi 192 in the root window's resources, no window manager
EXE=$1
CASE=$2
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

[ "$CASE" = xft-dpi-192 ] || fail "unknown case $CASE"
start_xvfb
xprop -root -format RESOURCE_MANAGER 8s -set RESOURCE_MANAGER "Xft.dpi:	192" \
    || fail "could not set Xft.dpi"

dir=$(new_app_dir "$CASE")
start_app "$dir"
window=$(wait_window "$MAIN_TITLE")
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" -eq 1168 ] && [ "$HEIGHT" -eq 756 ] \
    || fail "the window is ${WIDTH} x ${HEIGHT} at 192 DPI, expected 1168 x 756"

focus "$window"
keys Escape
wait_exit 0
echo "PASS: $CASE"
