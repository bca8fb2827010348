// The syslog lines the syslog benchmarks send: BIND9 query-log lines behind
// the traditional header ("<PRI>Mmm dd hh:mm:ss host tag: message"), each
// naming a different query and client, and, when asked, one ISC dhcpd line
// in every `dhcp_every` lines.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ctime>

struct syslog_bench_lines {
    char stamp[32];
    long dhcp_every;  // 0: BIND9 lines only

    explicit syslog_bench_lines(long every) : stamp{}, dhcp_every(every)
    {
        time_t t = time(nullptr);
        tm utc{};
        gmtime_r(&t, &utc);
        strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &utc);
    }

    // Line i into out, with `end` after it ("" or "\n"); its length.
    int make(char* out, size_t size, long i, const char* end) const
    {
        if (dhcp_every > 0 && i % dhcp_every == dhcp_every - 1) {
            return snprintf(out, size,
                            "<30>%s dhcp1 dhcpd[77]: DHCPACK on 10.1.%ld.%ld to 02:00:00:%02lx:%02lx:%02lx (pc-%ld) "
                            "via eth0%s",
                            stamp, (i >> 8) & 255, i & 255, (i >> 16) & 255, (i >> 8) & 255, i & 255, i, end);
        }
        return snprintf(out, size,
                        "<30>%s ns1 named[123]: client @0x7f3ec80d0098 10.2.%ld.%ld#40359 (q%ld.example.test): "
                        "query: q%ld.example.test IN A +E(0)K (127.0.0.1)%s",
                        stamp, (i >> 8) & 255, i & 255, i, i, end);
    }
};
