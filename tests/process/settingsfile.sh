#!/usr/bin/env bash
# Starts the editor in a real X server on a prepared transport.ini and works it from the keyboard.
#
# Usage: settingsfile.sh EXECUTABLE CASE, where CASE is
#   save-then-exit  Ctrl+S writes both entries and keeps the unknown key and section; after that,
#                   a row deleted and "Выход" leave the file exactly as Ctrl+S wrote it
#   delete-save     the same deletion followed by Ctrl+S does reach the file, which shows that the
#                   keys of the first case really change the table
EXE=$1
CASE=$2
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

start_xvfb
dir=$(new_app_dir "$CASE")
ini="$dir/transport.ini"

# Written by hand, not as the settings store would write it, so that a save shows in the bytes.
cat >"$ini" <<'EOF'
[other]
name = kept as it is

[General]
comment = not ours
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

entry1=(listenHost1=127.0.0.1 listenPort1=81 destHost1=10.0.0.2 destPort1=80)
entry2=(listenHost2=0.0.0.0 listenPort2=2222 destHost2=backup.example.org destPort2=22)
others=("[other]" "name=kept as it is" "[General]" "comment=not ours")

# wait_saved: waits until the editor has rewritten the prepared file.
wait_saved()
{
    local deadline=$((SECONDS + WAIT))
    while cmp -s "$ini" "$WORK/prepared.ini"; do
        [ $SECONDS -lt $deadline ] || fail "Ctrl+S did not write $ini within ${WAIT}s"
        sleep 0.1
    done
}

start_app "$dir"
window=$(wait_window "$MAIN_TITLE")
focus "$window"

# Deleting the first row: the table has the focus at the start, Home makes its first row current,
# and three Tabs reach "Удалить" (New, Edit, Delete).
delete_first_row=(Home Tab Tab Tab space)

case $CASE in
save-then-exit)
    keys ctrl+s
    wait_saved
    expect_lines "$ini" positions=2 "${entry1[@]}" "${entry2[@]}" "${others[@]}"
    kill -0 "$APP_PID" 2>/dev/null || fail "the window closed on Ctrl+S"
    cp "$ini" "$WORK/saved.ini"

    # From "Удалить", three more Tabs reach "Выход" (Export, Import, Exit).
    keys "${delete_first_row[@]}" Tab Tab Tab space
    wait_exit 0
    cmp "$WORK/saved.ini" "$ini" || fail "leaving with \"Выход\" changed $ini"
    ;;
delete-save)
    keys "${delete_first_row[@]}" ctrl+s
    wait_saved
    # Entry 2 moved up to entry 1; its old keys stay, as a save removes no key.
    expect_lines "$ini" positions=1 \
        listenHost1=0.0.0.0 listenPort1=2222 destHost1=backup.example.org destPort1=22 \
        "${entry2[@]}" "${others[@]}"
    keys Escape
    wait_exit 0
    ;;
*)
    fail "unknown case $CASE"
    ;;
esac

left=$(cd "$dir" && ls -A | grep -vxF -e transport-settings -e app.log -e transport.ini || true)
[ -z "$left" ] || fail "the editor left files behind: $left"
echo "PASS: $CASE"
