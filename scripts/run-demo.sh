#!/usr/bin/env bash
# Starts Tapir on a demo folder of its own. Argument: the build directory.
set -euo pipefail
build="${1:-build}"
root="$(cd "$(dirname "$0")/.." && pwd)"
demo="$root/demo"
mkdir -p "$demo"
exec "$root/$build/app/tapir" --workdir "$demo"
