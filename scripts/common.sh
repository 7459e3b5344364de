# Shared by run.sh and test.sh: installs what the build needs and builds one configuration.
# Source it; it defines functions and changes nothing by itself.

TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian packages: the compiler and CMake, Qt 6 and Qt 5.15 Widgets with their tools, and the
# X server, window manager, window tools and fonts that the real-window tests use.
PACKAGES=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qtbase5-dev qtbase5-dev-tools libgl-dev
    xvfb xauth xdotool x11-utils fonts-dejavu-core openbox
    python3 util-linux procps
    libacl1-dev libattr1-dev
)

install_packages() {
    local missing=()
    local pkg
    for pkg in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    echo "Installing: ${missing[*]}"
    local sudo=
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build_config DIR [cmake options...]: configures (once) and builds into DIR.
build_config() {
    local dir=$1
    shift
    cmake -S "$TOP" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1 \
        || { mkdir -p "$dir"; cat "$dir.configure.log"; return 1; }
    cmake --build "$dir" -j "$(nproc)"
}
