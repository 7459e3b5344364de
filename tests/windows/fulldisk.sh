#!/usr/bin/env bash
# Saves on a full disk under Wine: runs tst_sharedfile_win's full-disk cases from a small tmpfs of its
# own, which the cases fill (they exist only where the program's folder lies on so small a disk).
# Needs root for the mount; exits 77 (skipped) without it.
#
# Usage: fulldisk.sh TEST_PROGRAM EMULATOR...
#   EMULATOR  the command that runs a Windows program (tests/windows/wine.sh and its options)
set -euo pipefail
PROGRAM=$1
shift
[ "$(id -u)" -eq 0 ] || { echo "SKIP: mounting a tmpfs needs root"; exit 77; }
DISK=$(mktemp -d "${TMPDIR:-/tmp}/transport-settings-fulldisk.XXXXXX")
mount -t tmpfs -o size=16m,mode=0755 tmpfs "$DISK"
trap 'umount "$DISK"; rmdir "$DISK"' EXIT
cp "$PROGRAM" "$DISK/"
"$@" "$DISK/$(basename "$PROGRAM")" "windowsReplace:disk full" "windowsReplace:disk full but for the lock"
