#!/usr/bin/env bash
# Installs every Debian package Tapir needs to build, test and run its demo.
# Idempotent: packages already present are skipped; uses sudo when not root.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev libgl-dev
    libgtest-dev libgmock-dev
    zlib1g-dev libbz2-dev libicu-dev
    libsqlite3-dev sqlite3 libedit-dev
    vsftpd python3-pyftpdlib busybox-static
    xvfb xauth imagemagick desktop-file-utils xdotool
    tzdata locales
    clang
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

# Locales the tests run under besides C.UTF-8: an English one and one whose decimal
# separator is a comma.
ensure_locales() {
    local wanted=(en_US.UTF-8 de_DE.UTF-8) generate=0
    for l in "${wanted[@]}"; do
        local short=${l/UTF-8/utf8}
        if ! locale -a 2>/dev/null | grep -qx "$short"; then
            generate=1
            $SUDO sed -i "s/^# *\($l UTF-8\)/\1/" /etc/locale.gen
            grep -qx "$l UTF-8" /etc/locale.gen || echo "$l UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
        fi
    done
    if [ "$generate" -eq 1 ]; then
        $SUDO locale-gen >/dev/null
    fi
}

if [ ${#missing[@]} -eq 0 ]; then
    ensure_locales
    exit 0
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q "${missing[@]}"
ensure_locales
