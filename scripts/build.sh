#!/usr/bin/env bash
# build.sh DIR SANITIZER [extra cmake args]: configures and builds one tree.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; sanitize=$2; shift 2
cmake -S "$root" -B "$dir" -G Ninja -DHARVD_SANITIZE="$sanitize" "$@" >/dev/null
cmake --build "$dir" -j"${JOBS:-$(nproc)}"
