#!/usr/bin/env bash
# The Windows editor as shipped, in a real window under Wine and Xvfb: it starts with its title,
# loads the rows of a prepared transport.ini beside its .exe, Ctrl+S writes them back with Windows
# line endings, and Escape ends it with exit code 0. Prints how long the window took to appear.
#
# Usage: window.sh FOLDER WINEPREFIX
#   FOLDER      a folder holding transport-settings.exe and its DLLs (an unpacked zip, or the
#               installed editor); its transport.ini is replaced by the prepared one
#   WINEPREFIX  the Wine prefix to run in (made on first use)
FOLDER=$1
PREFIX=$(realpath -m "$2")
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../process/lib.sh"

[ -f "$FOLDER/transport-settings.exe" ] || fail "no transport-settings.exe in $FOLDER"
[ -x /usr/lib/wine/wine64 ] || fail "wine64 is not installed"
start_xvfb

ini="$FOLDER/transport.ini"
# Written by hand with Unix line endings, as a Linux-made file would be: the save shows in the bytes.
cat >"$ini" <<'EOF'
[General]
positions = 2
listenHost1 = 127.0.0.1
listenPort1 = 81
destHost1 = 10.0.0.2
destPort1 = 80
listenHost2 = 0.0.0.0
listenPort2 = 2222
destHost2 = backup.example.org
destPort2 = 22
EOF
cp "$ini" "$WORK/prepared.ini"

# Wine's desktop process keeps the display of the first program that started in the prefix, as
# long as any runs there: wait until the installer or a test without this X server has ended.
[ ! -d "$PREFIX" ] || WINEPREFIX=$PREFIX /usr/lib/wine/wineserver64 -w
# Only the folder's own DLLs: no --path, so that a DLL missing from the package is missed here too.
APP_DIR=$WORK
started=$(date +%s%N)
(cd "$FOLDER" && exec bash "$HERE/wine.sh" --prefix "$PREFIX" ./transport-settings.exe) \
    >"$WORK/app.log" 2>&1 &
APP_PID=$!
window=$(wait_window "$MAIN_TITLE")
echo "window after $(( ($(date +%s%N) - started) / 1000000 )) ms"
focus "$window"
keys ctrl+s

deadline=$((SECONDS + WAIT))
while cmp -s "$ini" "$WORK/prepared.ini"; do
    [ $SECONDS -lt $deadline ] || fail "Ctrl+S did not write $ini within ${WAIT}s"
    sleep 0.1
done
# The store writes a new file and renames it over the old one: once it differs, it is whole.
lf=$(grep -c '' "$ini")
crlf=$(grep -c $'\r$' "$ini")
[ "$crlf" -eq "$lf" ] && [ "$lf" -gt 0 ] || { od -c "$ini" | head -20 >&2; fail "$crlf of $lf lines end in CRLF"; }
tr -d '\r' <"$ini" >"$WORK/saved.ini"
expect_lines "$WORK/saved.ini" "[General]" positions=2 \
    listenHost1=127.0.0.1 listenPort1=81 destHost1=10.0.0.2 destPort1=80 \
    listenHost2=0.0.0.0 listenPort2=2222 destHost2=backup.example.org destPort2=22

keys Escape
wait_exit 0
echo "PASS: shown, loaded, saved with CRLF, ended with 0 ($FOLDER)"
