#!/usr/bin/env bash
# build.sh DIR SANITIZER [extra cmake args]: configures and builds one tree.
# Warnings are errors here, as in CI; pass -DCMAKE_COMPILE_WARNING_AS_ERROR=OFF
# to look at them without stopping.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; sanitize=$2; shift 2
cmake -S "$root" -B "$dir" -G Ninja -DHARVD_SANITIZE="$sanitize" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
cmake --build "$dir" -j"${JOBS:-$(nproc)}"
