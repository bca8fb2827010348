// The activity logs the collector writes (dhcp-pkt.al and dnsq-req.al) hold
// this many '|'-separated fields a line; the tools that read them count with
// it, so a line of any other width is told apart in one way everywhere.
#pragma once

constexpr int activity_field_count = 8;
