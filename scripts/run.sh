#!/usr/bin/env bash
# Sets everything up, builds the editor with Qt 6 and starts it. Arguments go to the editor.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_packages
mkdir -p "$TOP/build"
build_config "$TOP/build/qt6"
exec "$TOP/build/qt6/bin/transport-settings" "$@"
