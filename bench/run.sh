#!/usr/bin/env bash
# Builds the editor and the benchmark programs with Qt 6 (if needed) and prints the benchmark
# figures, one a line. BUILD=<dir> picks another build directory; ROUNDS=<n> the number of rounds.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

BUILD=${BUILD:-$TOP/build/qt6}
install_packages
mkdir -p "$(dirname "$BUILD")"
build_config "$BUILD" -DTRANSPORT_SETTINGS_BENCH=ON >/dev/null
exec python3 "$TOP/bench/bench.py" "$BUILD" --rounds "${ROUNDS:-9}"
