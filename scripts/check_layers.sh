#!/usr/bin/env bash
# check_layers.sh: fails when an #include line crosses the layers the
# README's Layout describes, or when code outside platform/ reads a clock
# itself. Each include rule: a folder, then the folders (or headers) its
# files may include from besides their own folder. The first rule whose
# folder holds the file applies.
set -euo pipefail
cd "$(dirname "$0")/.."

rules='
toolkit/
platform/ toolkit/
collector/core/ platform/ toolkit/
collector/methods/decode/ collector/core/ platform/ toolkit/
collector/methods/capture/ collector/methods/decode/ collector/methods/starters.h collector/core/ platform/ toolkit/
collector/methods/syslog/ collector/methods/decode/ collector/methods/starters.h collector/core/ platform/ toolkit/
collector/methods/ collector/core/ platform/ toolkit/
collector/alerts/ collector/core/ platform/ toolkit/
collector/run/ collector/ platform/ toolkit/
tools/ toolkit/ platform/
'

grep -rn --include='*.h' --include='*.cpp' --include='*.inc' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' \
    toolkit platform collector tools |
  awk -v rules="$rules" '
    BEGIN { n = split(rules, rule, "\n") }
    {
      file = $0; sub(/:.*/, "", file)
      line = $0; sub(/^[^:]*:/, "", line); sub(/:.*/, "", line)
      inc = $0; sub(/^[^"]*"/, "", inc); sub(/".*/, "", inc)
      for (r = 1; r <= n; r++) {
        k = split(rule[r], allowed, " ")
        if (k == 0 || index(file, allowed[1]) != 1) continue
        ok = 0
        for (a = 1; a <= k; a++) if (index(inc, allowed[a]) == 1) ok = 1
        if (!ok) {
          printf "%s:%s: includes %s; %s may include only from:%s\n", file, line, inc, allowed[1], substr(rule[r], length(allowed[1]) + 1) > "/dev/stderr"
          bad = 1
        }
        break
      }
    }
    END {
      if (bad) exit 1
      print "layers: every include follows the rules"
    }'

# The time is read in platform/ alone (platform/clock.h), so that one
# override gives a test every clock at once. Comments and string literals do
# not count.
find toolkit collector tools \( -name '*.h' -o -name '*.cpp' -o -name '*.inc' \) -print0 | sort -z |
  xargs -0 awk '
    {
      code = $0
      gsub(/"([^"\\]|\\.)*"/, "\"\"", code)
      gsub(/\/\*([^*]|\*+[^*\/])*\*+\//, "", code)
      sub(/\/\/.*/, "", code)
      if (code ~ /(clock_gettime|gettimeofday|timespec_get|_clock::now)/ ||
          code ~ /(^|[^A-Za-z0-9_.>])(time|clock)[[:space:]]*\(/) {
        printf "%s:%d: reads a clock; only platform/ does (use platform/clock.h): %s\n", FILENAME, FNR, $0 > "/dev/stderr"
        bad = 1
      }
    }
    END {
      if (bad) exit 1
      print "clocks: read in platform/ only"
    }'
