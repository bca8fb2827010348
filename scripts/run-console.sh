#!/usr/bin/env bash
# Installs what is missing, builds harvd and starts it on the console with the
# example configuration. Its log goes to run/harvd.log; Ctrl-C stops it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh build/console none -DHARVD_BUILD_TESTS=OFF
mkdir -p run/al run/alerts
echo "harvd log: $root/run/harvd.log"
exec build/console/collector/harvd --run-console run/harvd.log examples/harvd.conf
