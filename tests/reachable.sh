#!/bin/sh
# Runs a test program from a copy in a fresh folder that every account may enter, for tests that
# act as another account: the build folder may lie where only its owner can go (root's home).
set -eu
folder=$(mktemp -d /tmp/transport-settings-test.XXXXXX)
trap 'rm -rf "$folder"' EXIT
chmod 755 "$folder"
cp "$1" "$folder/"
program="$folder/$(basename "$1")"
shift
status=0
"$program" "$@" || status=$?
exit $status
