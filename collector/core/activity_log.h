// The two activity logs under `al_dir`: dhcp-pkt.al (one line per DHCP
// packet) and dnsq-req.al (one line per DNS query), 8 '|'-separated fields a
// line, CR LF line ends, rotated to "<path>.<seconds>" every `rotate_period`
// seconds by the rotation thread.
//
// The line writers may be called from any number of collection threads at
// once, while rotation goes on: each log's lock makes a line and a rotation
// exclusive. They do not escape: the record callbacks first put the escaped
// host name / query name into hostname_esc / qname_esc with str_escape.
// Lock order: a log's lock, then the log facility's mutex; never the reverse.
#pragma once

#include <cstdint>
#include <cstdio>

#include "collector/core/context.h"
#include "collector/methods/records.h"
#include "platform/sync.h"

struct activity_log {
    char* path;        // "<al_dir>/dhcp-pkt.al" or "<al_dir>/dnsq-req.al", owned
    FILE* file;        // open for appending; none before al_open and after al_close
    int32_t buffered;  // non-zero: default stream buffering; 0: every line written at once
    sync_mutex lock;   // held while a line is written and while the file is rotated
};

// The two logs of the process. Their locks exist from the start (statically
// initialised), so no writer can ever meet a lock that is not made yet.
extern activity_log dhcp_pkt_log;
extern activity_log dnsq_req_log;

// Rotation period in seconds (300 unless `rotate_interval` sets it; > 0).
extern int32_t rotate_period;

// Sets the log's path to "<dir>/<file_name>" and its buffering.
void al_init(activity_log* log, const char* dir, const char* file_name, int32_t buffered);

// Opens the path for appending (created when missing); fatal
// "fopen(%s) failed: %d" with errno as exit code.
void al_open(activity_log* log);

// Caller holds the lock. Closes the file, renames it to "<path>.<seconds>"
// (never over an existing file: then "*** WARN *** rename(%s, %s) failed: %d"
// and the log goes on in the same file) and opens the path again. Nothing
// when the log has been closed.
void al_rotate(activity_log* log);

// Flushes and closes the file under the lock; later lines are dropped and
// rotation leaves the log alone.
void al_close(activity_log* log);

// One dhcp-pkt.al line:
//   method id|node id|seconds|message type|client ip|mac|escaped host name|relay ip
// addresses as 8 lower-case hex digits, an empty mac as "000000000000".
// 0 when written, -1 when the log is not open.
int al_write_dhcp_pkt(const method_rec* method, const dhcp_pkt_rec* rec, const event_time* when);

// One dnsq-req.al line:
//   method id|node id|seconds|server ip (ip->dst)|client ip (ip->src)|escaped query name|qtype|qclass
// 0 when written, -1 when the log is not open.
int al_write_dnsq_req(const method_rec* method, const ip_info* ip, const dnsq_rec* rec,
                      const event_time* when);

// The rotation thread: wakes at every multiple of rotate_period seconds since
// the epoch and rotates both logs. Never returns.
void* rotate_thread(void* param);
