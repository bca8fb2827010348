#!/usr/bin/env bash
# Installs what is missing, builds harvd and starts it on the console with the
# syslog example (port 5514, so no root is needed), its host name filled in
# with this machine's short name, as `logger` writes it. Prints the command
# that makes an activity line appear. Its log goes to run/harvd.log; Ctrl-C
# stops it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/deps.sh
bash scripts/build.sh build/console none -DHARVD_BUILD_TESTS=OFF
mkdir -p run/al run/alerts
host=$(hostname -s)
sed "s/hostname:localhost/hostname:$host/" examples/harvd-syslog.conf > run/syslog.conf
cat <<MSG
harvd log: $root/run/harvd.log (configuration: run/syslog.conf)
From another terminal, this BIND 9 query-log line sent over UDP syslog
becomes an activity line in $root/run/al/dnsq-req.al:

  logger --rfc3164 -n 127.0.0.1 -P 5514 -d -t named --id=4242 -p daemon.info 'client @0x7f3ec80d0098 127.0.0.1#40359 (www.example.test): query: www.example.test IN A +E(0)K (127.0.0.1)'

MSG
exec build/console/collector/harvd --run-console run/harvd.log run/syslog.conf
