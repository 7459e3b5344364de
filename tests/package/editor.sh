#!/usr/bin/env bash
# Works the installed editor, /usr/bin/transport-settings, in a real X server: Ctrl+S saves into
# the list that postinst made, and through the link when its target is missing; a user outside the
# group gets the failed-save message and the list stays as it was; a member of the group who plants
# a link to a root-only file, or swaps one in while root saves, gets nothing but the list changed.
#
# Usage: editor.sh CONFIG_DIR GROUP, as root (package.sh runs it with the package installed).
CONFIG_DIR=$1
GROUP=$2
export TRANSPORT_SETTINGS_TEST_LIMIT=${TRANSPORT_SETTINGS_TEST_LIMIT:-150}
source "$(dirname "${BASH_SOURCE[0]}")/../process/lib.sh"

ini=$CONFIG_DIR/transport.ini
ERROR_TITLE="Ошибка сохранения"
LOAD_ERROR_TITLE="Ошибка загрузки"

start_xvfb
# Other users reach their own runtime folder inside the work folder.
chmod 711 "$WORK"
install -d -o nobody -m 700 "$WORK/runtime-nobody"

# contents: the list's inode and bytes (a save writes a new file, even with the same bytes), or a
# mark for a missing file.
contents()
{
    { stat -c %i "$ini" && cat "$ini"; } 2>/dev/null || echo "<no file>"
}

# save CASE [SETPRIV_OPTION...]: starts the installed editor, as root or, given setpriv options,
# as nobody; presses Ctrl+S in its window and sets RESULT to "saved" once the list changed on disk,
# or to "refused" once the failed-save message shows.
save()
{
    local case=$1 before deadline window box
    shift
    APP_DIR=$WORK/$case
    mkdir -p "$APP_DIR"
    before=$(contents)
    if [ $# -eq 0 ]; then
        /usr/bin/transport-settings >"$APP_DIR/app.log" 2>&1 &
    else
        XDG_RUNTIME_DIR=$WORK/runtime-nobody HOME=/nonexistent \
            setpriv --reuid=nobody --regid=nogroup "$@" /usr/bin/transport-settings \
            >"$APP_DIR/app.log" 2>&1 &
    fi
    APP_PID=$!
    window=$(wait_window "$MAIN_TITLE")
    # A list that could not be loaded is told first, in a box of its own (LOAD_ERROR=1).
    if [ -n "${LOAD_ERROR:-}" ]; then
        box=$(wait_window "$LOAD_ERROR_TITLE")
        focus "$box"
        keys Return
        wait_window_gone "$LOAD_ERROR_TITLE"
    fi
    focus "$window"
    keys ctrl+s
    deadline=$((SECONDS + WAIT))
    until [ "$(contents)" != "$before" ]; do
        if xdotool search --onlyvisible --name "^${ERROR_TITLE}\$" >/dev/null 2>&1; then
            [ "$(contents)" = "$before" ] || fail "$case: the list changed although the save failed"
            RESULT=refused
            return
        fi
        [ $SECONDS -lt $deadline ] || fail "$case: Ctrl+S neither saved nor said it failed within ${WAIT}s"
        sleep 0.1
    done
    RESULT=saved
}

# stop: ends the editor started last.
stop()
{
    kill "$APP_PID" 2>/dev/null || true
    wait "$APP_PID" 2>/dev/null || true
    APP_PID=
}

# Written by hand, as an operator would, so that a save shows in the bytes.
cat >"$ini" <<'LIST'
[General]
positions = 1
listenHost1 = 0.0.0.0
listenPort1 = 8080
destHost1 = 10.0.0.2
destPort1 = 80
LIST

save root
[ "$RESULT" = saved ] || fail "root: the save failed"
expect_lines "$ini" positions=1 listenHost1=0.0.0.0 listenPort1=8080 destHost1=10.0.0.2 destPort1=80
[ "$(stat -c '%U:%G %a' "$ini")" = "root:$GROUP 664" ] || { ls -l "$ini"; fail "root: the save changed the list's owner or mode"; }
keys Escape
wait_exit 0
echo "PASS: root saves into $ini"

cp "$ini" "$WORK/saved.ini"
save outsider --clear-groups
[ "$RESULT" = refused ] || fail "outsider: a user outside $GROUP saved"
cmp "$WORK/saved.ini" "$ini" || fail "outsider: the list changed"
stop
echo "PASS: a user outside $GROUP gets the failed-save message"

# A member saves from the menu: the store locks beside the link's target, in the group's folder,
# and the list keeps its owner and group.
save member --groups="$GROUP"
stop
[ "$RESULT" = saved ] || fail "member: a member of $GROUP could not save"
[ "$(stat -c '%U:%G %a' "$ini")" = "nobody:$GROUP 664" ] || { ls -l "$ini"; fail "member: the list lost its group or mode"; }
echo "PASS: a member of $GROUP saves, and the list keeps its group"

rm "$ini"
save dangling
[ "$RESULT" = saved ] || fail "dangling: the first save through the link failed"
expect_lines "$ini" positions=0
keys Escape
wait_exit 0
echo "PASS: with its target missing, the link opens an empty table and a save creates $ini"

# A hostile member of the group, with a link to a file that only root may touch, against root's
# saves. Whatever the member does, nothing but the list may change.
MEMBER=(setpriv --reuid=nobody --regid=nogroup --groups="$GROUP")
vault=$WORK/vault
install -d -m 700 "$vault"
victim=$vault/victim
SECRET="root only"
echo "$SECRET" >"$victim"
chmod 600 "$victim"
cp "$ini" "$WORK/list.ini"
WATCH_PID=
restore()
{
    [ -z "$WATCH_PID" ] || kill "$WATCH_PID" 2>/dev/null || true
    rm -f "$CONFIG_DIR/swap"
    [ ! -L "$ini" ] || { rm "$ini" && install -o root -g "$GROUP" -m 664 "$WORK/list.ini" "$ini"; }
}
trap 'restore; cleanup' EXIT

untouched()
{
    [ "$(stat -c '%U:%G %a' "$victim")" = "root:root 600" ] && cmp -s "$victim" <(echo "$SECRET") \
        || { ls -l "$victim"; cat "$victim"; fail "$1: root's save changed $victim"; }
    [ ! -e "$vault/absent" ] || fail "$1: root's save made $vault/absent"
}

# The member replaces the list with a link to the file, or to a name that does not exist yet.
for target in "$victim" "$vault/absent"; do
    "${MEMBER[@]}" ln -sfn "$target" "$ini"
    LOAD_ERROR=1 save "planted-${target##*/}"
    stop
    untouched planted
    [ "$RESULT" = refused ] || fail "planted: root saved through the member's link to $target"
done
echo "PASS: root refuses to save through a member's link"

# The member swaps the link in the moment root's new list is renamed into place. The watcher
# spins instead of sleeping in read(), to be as quick as an attacker can be.
restore
"${MEMBER[@]}" ln -s "$victim" "$CONFIG_DIR/swap"
timeout $((2 * WAIT)) "${MEMBER[@]}" /usr/bin/python3 -c '
import ctypes, os, sys
libc = ctypes.CDLL(None, use_errno=True)
folder = sys.argv[1].encode()
watch = libc.inotify_init1(os.O_NONBLOCK)
if libc.inotify_add_watch(watch, folder, 0x80) < 0:  # IN_MOVED_TO
    sys.exit("no inotify watch on %s" % sys.argv[1])
print("watching", flush=True)
while True:
    try:
        if b"transport.ini\0" in os.read(watch, 4096):
            break
    except BlockingIOError:
        pass
os.rename(folder + b"/swap", folder + b"/transport.ini")
' "$CONFIG_DIR" >"$WORK/watch.log" 2>&1 &
WATCH_PID=$!
wait_file_line "$WORK/watch.log" watching
save race
keys Escape
wait_exit 0
wait "$WATCH_PID" || { cat "$WORK/watch.log" >&2; fail "race: the member's watcher did not swap its link in"; }
WATCH_PID=
[ -L "$ini" ] || fail "race: $ini is no link: the race was not run"
untouched race
restore
echo "PASS: a link swapped in behind root's save leads nowhere"
