# Helpers for the real-window tests: a private X server, an optional window manager, one copy of
# the editor in a fresh folder, and waits that give up after a deadline. Sourced by the tests.
#
# Keys go through the XTEST extension (xdotool key/type without --window) to the window that holds
# the input focus, as a keyboard's would. On a bare server nothing gives the main window the focus
# at the start, nor gives it back when a dialog closes: the tests with one window hand it over with
# "xdotool windowfocus --sync", and the tests that open dialogs run under openbox, which does both
# as a desktop does.

set -euo pipefail

# Seconds to wait for a window to appear or for the editor to end. Generous: CI machines are slow,
# and the sanitizer build starts several times slower.
WAIT=${TRANSPORT_SETTINGS_TEST_WAIT:-30}

# The whole test gives up after this many seconds, well inside CTest's TIMEOUT, so that it always
# gets to stop its X server itself.
LIMIT=${TRANSPORT_SETTINGS_TEST_LIMIT:-80}

MAIN_TITLE="Настройки транспортного модуля"
EDIT_TITLE="Dialog"

fail()
{
    echo "FAIL: $*" >&2
    if [ -n "${APP_DIR:-}" ] && [ -s "$APP_DIR/app.log" ]; then
        echo "--- editor output:" >&2
        cat "$APP_DIR/app.log" >&2
    fi
    exit 1
}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/transport-settings-xvfb.XXXXXX")
XVFB_PID=
WM_PID=
WATCHDOG_PID=
APP_PID=
APP_DIR=

cleanup()
{
    local pid
    for pid in "$APP_PID" "$WM_PID" "$XVFB_PID" "$WATCHDOG_PID"; do
        [ -n "$pid" ] || continue
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'fail "stopped by a signal, or by the watchdog after ${LIMIT}s"' INT TERM HUP

# The watchdog's output goes nowhere, so that a sleep it leaves behind holds no pipe of CTest's.
(sleep "$LIMIT" && kill -TERM $$) \
    </dev/null >/dev/null 2>&1 &
WATCHDOG_PID=$!

# A sanitizer build ends with a non-zero code when LeakSanitizer finds a leak; only the system
# libraries' leaks listed in tests/lsan.supp are let through, ours still fail the test.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/lsan.supp"

# The window titles are Cyrillic. Under a non-UTF-8 locale Qt sets the old WM_NAME property in a
# mangled form, and xdotool, which reads that property and matches in the locale's character set,
# then finds no window. A desktop that shows these titles runs a UTF-8 locale anyway.
export LC_ALL=C.UTF-8

for tool in Xvfb xdotool timeout cmp; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done

# Starts a private 24-bit X server on a display number that it picks itself (-displayfd), so that
# tests running in parallel never share or race for a display.
start_xvfb()
{
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$WORK/display" \
        >"$WORK/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local deadline=$((SECONDS + WAIT))
    until grep -q '^[0-9][0-9]*$' "$WORK/display" 2>/dev/null; do
        kill -0 "$XVFB_PID" 2>/dev/null || { cat "$WORK/xvfb.log" >&2; fail "Xvfb did not start"; }
        [ $SECONDS -lt $deadline ] || fail "Xvfb did not report its display within ${WAIT}s"
        sleep 0.1
    done
    export DISPLAY=":$(cat "$WORK/display")"
    # The first key from XTEST makes the server take over the keymap of its XTEST keyboard and tell
    # every client so; a window manager then grabs its keys again, and a shortcut pressed meanwhile
    # (Alt+F4) reaches the window instead. One harmless key now, before any client is there.
    xdotool key shift || fail "xdotool could not send a key"
    # Keep the environment of whoever runs the tests out of the editor's way.
    unset WAYLAND_DISPLAY QT_QPA_PLATFORM SESSION_MANAGER
    export XDG_RUNTIME_DIR="$WORK/runtime"
    mkdir -m 700 -p "$XDG_RUNTIME_DIR"
}

# Starts openbox on the private display and waits until it manages windows (it then announces
# itself on the root window through _NET_SUPPORTING_WM_CHECK).
start_wm()
{
    command -v openbox >/dev/null || fail "openbox is not installed"
    mkdir -p "$WORK/wm-home"
    HOME="$WORK/wm-home" openbox --sm-disable >"$WORK/wm.log" 2>&1 &
    WM_PID=$!
    local deadline=$((SECONDS + WAIT))
    until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
        kill -0 "$WM_PID" 2>/dev/null || { cat "$WORK/wm.log" >&2; fail "openbox did not start"; }
        [ $SECONDS -lt $deadline ] || fail "openbox did not start within ${WAIT}s"
        sleep 0.1
    done
}

# new_app_dir NAME: a fresh folder holding a copy of the editor; prints its path. The editor keeps
# transport.ini next to its executable, so every case gets a folder of its own.
new_app_dir()
{
    local dir="$WORK/$1"
    mkdir -p "$dir"
    cp "$EXE" "$dir/transport-settings"
    echo "$dir"
}

# start_app DIR [ARGS...]: starts the editor copy in DIR in the background.
start_app()
{
    APP_DIR=$1
    shift
    (cd "$APP_DIR" && exec ./transport-settings "$@") >"$APP_DIR/app.log" 2>&1 &
    APP_PID=$!
}

# wait_window TITLE: waits until a window of exactly this title is mapped; prints its id. Gives up
# at once when the editor has ended.
wait_window()
{
    local title=$1 id
    local deadline=$((SECONDS + WAIT))
    until id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null); do
        [ -z "$APP_PID" ] || kill -0 "$APP_PID" 2>/dev/null \
            || fail "the editor ended before it showed the window \"$title\""
        [ $SECONDS -lt $deadline ] || fail "no visible window \"$title\" within ${WAIT}s"
        sleep 0.1
    done
    echo "${id%%$'\n'*}"
}

# wait_window_gone TITLE: waits until no window of this title is mapped any more.
wait_window_gone()
{
    local title=$1
    local deadline=$((SECONDS + WAIT))
    while xdotool search --onlyvisible --name "^${title}\$" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || fail "window \"$title\" still shown after ${WAIT}s"
        sleep 0.1
    done
}

# focus WINDOW: gives the window the keyboard focus and waits until the server confirms it.
focus()
{
    timeout "$WAIT" xdotool windowfocus --sync "$1" || fail "could not focus window $1"
}

# wait_focus WINDOW: waits until the window holds the keyboard focus without being given it, as a
# new dialog and, under a window manager, the window below a closed dialog do.
wait_focus()
{
    local deadline=$((SECONDS + WAIT))
    until [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; do
        [ $SECONDS -lt $deadline ] || fail "window $1 did not get the keyboard focus within ${WAIT}s"
        sleep 0.1
    done
}

# wait_managed WINDOW: waits until the window manager has taken the window: framed it (it then
# sets _NET_FRAME_EXTENTS), made it the active window (_NET_ACTIVE_WINDOW) and given it the
# keyboard focus. A key pressed before that can reach the window manager while it is still busy
# with the new window, and be lost.
wait_managed()
{
    local active
    local deadline=$((SECONDS + WAIT))
    until xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null | grep -q '=' \
        && active=$(xprop -root _NET_ACTIVE_WINDOW 2>/dev/null) \
        && [[ $active =~ (0x[0-9a-fA-F]+) ]] && [ $((BASH_REMATCH[1])) -eq "$1" ] \
        && [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; do
        [ $SECONDS -lt $deadline ] || fail "the window manager did not take window $1 within ${WAIT}s"
        sleep 0.1
    done
}

# keys KEY...: presses the keys, in order, on the focused window.
keys()
{
    xdotool key --delay 60 "$@"
}

# wait_exit EXPECTED: waits until the editor has ended and checks its exit code.
wait_exit()
{
    local expected=$1 rc=0
    local deadline=$((SECONDS + WAIT))
    while kill -0 "$APP_PID" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "the editor was still running ${WAIT}s later"
        sleep 0.1
    done
    wait "$APP_PID" || rc=$?
    APP_PID=
    [ "$rc" -eq "$expected" ] || fail "the editor ended with exit code $rc, expected $expected"
}

# wait_file_line FILE LINE: waits until FILE holds LINE as a whole line.
wait_file_line()
{
    local file=$1 line=$2
    local deadline=$((SECONDS + WAIT))
    until grep -qxF -- "$line" "$file" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || fail "$file did not get the line \"$line\" within ${WAIT}s"
        sleep 0.1
    done
}

# expect_lines FILE LINE...: every LINE stands in FILE as a whole line.
expect_lines()
{
    local file=$1 line
    shift
    for line in "$@"; do
        grep -qxF -- "$line" "$file" || { cat "$file" >&2; fail "$file lacks the line \"$line\""; }
    done
}
