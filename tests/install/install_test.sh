#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks the installed files: both programs,
# a desktop entry that validates and names an installed icon, and the icon itself.
set -euo pipefail

build_dir="$1"
dest="$(mktemp -d)"
trap 'rm -rf "$dest"' EXIT

DESTDIR="$dest" cmake --install "$build_dir" --prefix /usr/local >/dev/null
failed=0
expect() {
    if [ ! -e "$dest/usr/local/$1" ]; then
        echo "missing: $1"
        failed=1
    fi
}
expect bin/tapir
expect bin/tapir-boxsim
expect share/applications/tapir.desktop
expect share/icons/hicolor/scalable/apps/tapir.svg
[ "$failed" -eq 0 ] || exit 1

[ -x "$dest/usr/local/bin/tapir" ] || { echo "tapir is not executable"; exit 1; }
desktop-file-validate "$dest/usr/local/share/applications/tapir.desktop"
grep -qx 'Exec=tapir' "$dest/usr/local/share/applications/tapir.desktop"
grep -qx 'Icon=tapir' "$dest/usr/local/share/applications/tapir.desktop"
grep -q '<svg' "$dest/usr/local/share/icons/hicolor/scalable/apps/tapir.svg"
echo "install: 1 passed, 0 failed"
