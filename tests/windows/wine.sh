#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix, quietly and without dialogs. It is the
# emulator of the Windows build's tests (CMAKE_CROSSCOMPILING_EMULATOR) and the runner of the
# packaged editor in tests/windows/*.sh.
#
# Usage: wine.sh --prefix DIR [--path DIR]... PROGRAM [ARGS...]
#   --prefix DIR  the Wine prefix; made on first use, once, by whichever run comes first
#   --path DIR    a Linux folder added to the program's PATH, where Windows also looks for DLLs
#
# The caller's QT_* variables reach the program: Wine hands a Unix variable to a Windows program
# under its own name only when it carries the prefix WINE (WINEQT_QPA_PLATFORM becomes
# QT_QPA_PLATFORM). QtTest writes its log to the debugger under Wine unless asked for stderr; its
# exit code is right either way.
#
# Only Wine's 64-bit loader and server are used, also where wine32 is installed: /usr/bin/wine
# prefers the 32-bit loader, and some machines cannot run 32-bit programs at all.
set -euo pipefail
WINE64=/usr/lib/wine/wine64
WINESERVER64=/usr/lib/wine/wineserver64

prefix=
winepath=
while [ $# -gt 0 ]; do
    case $1 in
    --prefix) prefix=$2; shift 2 ;;
    --path) winepath="${winepath:+$winepath;}Z:${2//\//\\}"; shift 2 ;;
    *) break ;;
    esac
done
[ -n "$prefix" ] && [ $# -gt 0 ] || { echo "usage: wine.sh --prefix DIR [--path DIR]... PROGRAM [ARGS...]" >&2; exit 2; }

# Wine wants the prefix as an absolute path.
prefix=$(realpath -m "$prefix")
export WINEPREFIX=$prefix
export WINELOADER=$WINE64 WINESERVER=$WINESERVER64
[ -x "$WINE64" ] && [ -x "$WINESERVER64" ] || { echo "wine.sh: no $WINE64 or $WINESERVER64 (apt-get install wine64)" >&2; exit 1; }
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko: Wine would offer to download them in a dialog.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset WINEPATH

# A prefix is made once; runs that start together wait for the first to finish it.
if [ ! -f "$prefix/.ready" ]; then
    mkdir -p "$(dirname "$prefix")"
    exec 8>"$prefix.lock"
    flock 8
    if [ ! -f "$prefix/.ready" ]; then
        rm -rf "$prefix"
        # Without a display wineboot cannot open a window, and no dialog can wait for anyone.
        env -u DISPLAY "$WINE64" wineboot -i >/dev/null 2>&1 || { echo "wine.sh: wineboot -i failed for $prefix" >&2; exit 1; }
        "$WINESERVER64" -w
        touch "$prefix/.ready"
    fi
    exec 8>&-
fi

[ -z "$winepath" ] || export WINEPATH=$winepath
while IFS='=' read -r name _; do
    case $name in
    QT_*) export "WINE$name=${!name}" ;;
    esac
done < <(env | grep -E '^QT_[A-Za-z0-9_]*=' || true)
export WINEQT_FORCE_STDERR_LOGGING=1

exec "$WINE64" "$@"
