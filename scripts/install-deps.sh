#!/usr/bin/env bash
# Installs every Debian package Tapir needs to build, test and run its demo.
# Idempotent: packages already present are skipped; uses sudo when not root.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    libgtest-dev libgmock-dev
    zlib1g-dev libbz2-dev libicu-dev
    libsqlite3-dev
    vsftpd python3-pyftpdlib busybox-static
    xvfb xauth imagemagick desktop-file-utils xdotool
    tzdata
    clang
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q "${missing[@]}"
