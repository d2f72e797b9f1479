#!/usr/bin/env bash
# Installs the Debian packages the build, the program and the tests need.
# Safe to run again: it asks apt only for what is missing. (Debian has no moto:
# scripts/test.sh provides the cloud tests' Python, with python3-venv.)
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev qttools5-dev qttools5-dev-tools
    qtdeclarative5-dev-tools qml-module-qtquick2 qml-module-qtquick-window2
    qml-module-qtquick-controls2 qml-module-qtquick-templates2 qml-module-qtquick-layouts
    qml-module-qtgraphicaleffects qml-module-qttest
    libhidapi-dev libudev-dev libssl-dev openssl
    xvfb xauth curl ca-certificates python3 python3-venv
    dbus at-spi2-core python3-pyatspi imagemagick x11-apps xdotool fonts-noto-cjk
    desktop-file-utils appstream udev umockdev libumockdev-dev man-db
    dpkg-dev file lintian
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        apt_prefix=(sudo)
    else
        echo "setup: these Debian packages are missing: ${missing[*]}" >&2
        echo "setup: run this script as root (or install them with apt-get) and try again." >&2
        exit 1
    fi
else
    apt_prefix=()
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${apt_prefix[@]}" apt-get update -q
"${apt_prefix[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
