#!/usr/bin/env bash
# Makes docs/main-window.png and docs/edit-dialog.png: the editor in a private 24-bit Xvfb with
# three redirections loaded, then the edit dialog opened on the first one with the keyboard.
# Needs what the real-window tests need, plus ImageMagick's "import" (Debian: imagemagick).
#
# Usage: docs/make-screenshots.sh [EXECUTABLE]   (default: build/qt6/bin/transport-settings)
TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
EXE=$(realpath "${1:-$TOP/build/qt6/bin/transport-settings}")
source "$TOP/tests/process/lib.sh"

command -v import >/dev/null || fail "ImageMagick's import is not installed (apt-get install imagemagick)"

# shoot WINDOW FILE: takes the picture once the window has painted: two pictures in a row that
# are the same and not of one colour.
shoot()
{
    local deadline=$((SECONDS + WAIT))
    import -frame -window "$1" "$WORK/before.png"
    until import -frame -window "$1" "$WORK/after.png" && cmp -s "$WORK/before.png" "$WORK/after.png" \
        && [ "$(identify -format %k "$WORK/after.png")" -gt 1 ]; do
        [ $SECONDS -lt $deadline ] || fail "window $1 did not finish painting within ${WAIT}s"
        mv "$WORK/after.png" "$WORK/before.png"
        sleep 0.2
    done
    mv "$WORK/after.png" "$2"
}

start_xvfb
start_wm
dir=$(new_app_dir screenshots)
cat >"$dir/transport.ini" <<'INI'
[General]
positions=3
listenHost1=127.0.0.1
listenPort1=81
destHost1=10.0.0.2
destPort1=80
listenHost2=0.0.0.0
listenPort2=2222
destHost2=backup.example.org
destPort2=22
listenHost3=192.168.1.10
listenPort3=8443
destHost3=app.internal
destPort3=443
INI

start_app "$dir"
window=$(wait_window "$MAIN_TITLE")
wait_managed "$window"
shoot "$window" "$TOP/docs/main-window.png"

# Home makes the first row current; two Tabs reach "Редактировать".
keys Home Tab Tab space
dialog=$(wait_window "$EDIT_TITLE")
wait_managed "$dialog"
shoot "$dialog" "$TOP/docs/edit-dialog.png"

keys Escape
wait_window_gone "$EDIT_TITLE"
wait_focus "$window"
keys Escape
wait_exit 0
echo "Wrote docs/main-window.png and docs/edit-dialog.png"
