# Shared by scripts/demo and scripts/test: where things are, and installing what is missing.
# shellcheck shell=bash

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Runs a command as root: directly when we are root, through sudo otherwise.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "error: '$*' needs root, and sudo is not available" >&2
        return 1
    fi
}

# Installs the named Debian packages that are not installed yet; does nothing when all are.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$package")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
}

build_packages=(cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins
    libgl-dev libcurl4-openssl-dev zlib1g-dev libbrotli-dev libzstd-dev openssl fonts-dejavu-core
    python3)
# A virtual X server, the tool that clicks in it, a session bus for each run of the program,
# and the Python libraries that read its windows and save their pictures: the demo without a
# display, and the end-to-end tests.
headless_packages=(xvfb xauth xdotool dbus-daemon python3-xlib python3-pil)
# The tests: the above, the fuzzing and formatting tools, the benchmarks, what packs and checks
# the Debian package (lintian, man), the accessibility bus (at-spi2-core) and the screen
# reader's view of it (python3-pyatspi), a headless Wayland compositor with Qt's Wayland
# plugin, and what a desktop opens a list with (the MIME database, xdg-mime, gio).
test_packages=("${headless_packages[@]}" x11-utils clang libclang-rt-14-dev clang-format
    libbenchmark-dev curl dpkg-dev desktop-file-utils appstream lintian man-db
    at-spi2-core python3-pyatspi gir1.2-atspi-2.0 weston qt6-wayland
    shared-mime-info xdg-utils libglib2.0-bin)

# Configures and builds one build folder: configure_and_build DIR [cmake options...]
# Configuring every time is cheap, and it finds tools installed since the last time.
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$repo_root" -B "$dir" -G Ninja "$@"
    cmake --build "$dir"
}
