// The two activity logs under `al_dir`: dhcp-pkt.al (one line per DHCP
// packet) and dnsq-req.al (one line per DNS query), 8 '|'-separated fields a
// line, CR LF line ends, rotated to "<path>.<seconds>" every `rotate_period`
// seconds (collector_ctx) by the rotation thread. A run's two logs are part
// of its collector context; tests may also make logs of their own.
//
// The line writers may be called from any number of collection threads at
// once, while rotation goes on: each log's lock makes a line and a rotation
// exclusive. They do not escape: the record callbacks first put the escaped
// host name / query name into hostname_esc / qname_esc with str_escape.
// Lock order: a log's lock, then the log facility's mutex; never the reverse.
#pragma once

#include <cstdint>
#include <cstdio>

#include "collector/core/records.h"
#include "platform/sync.h"

// The file only ever holds whole lines: every write's result is checked, and
// a failed or short write (a full disk) cuts the file back to the end of its
// last whole line, found in the file as it is then (it may have been
// truncated from outside meanwhile; the cut never lengthens it). The lines
// that could not be stored are counted and reported in a warning naming the
// log, the error number and the lines lost so far (at once, then at most
// once a minute, and at close); the next write simply tries again, so
// writing resumes by itself once there is room.
struct activity_log {
    char* path = nullptr;  // "<al_dir>/dhcp-pkt.al" or "<al_dir>/dnsq-req.al", owned
    int fd = -1;           // open for appending; -1 before al_open and after al_close
    int32_t buffered = 0;  // non-zero: lines wait in `pending` until it fills; 0: written at once
    sync_mutex lock{};     // held while a line is written and while the file is rotated
    char* pending = nullptr;  // whole lines, CR LF ends, not yet in the file
    size_t pending_len = 0;
    uint64_t lines_lost = 0;      // lines that never reached the file
    uint64_t lost_reported = 0;   // lines_lost at the last warning
    int64_t last_warning = 0;     // monotonic seconds of that warning
    int last_error = 0;           // error number of the last failed write
    int32_t closed_at_stop = 0;   // set by al_close (atomically): later lines are lost, not written
    uint64_t lines_after_close = 0;  // lines that came after al_close
    // The lines that batching threads hold for this log (see al_hold_lines);
    // the list is changed under `lock`.
    struct held_lines* held = nullptr;
    // The run the log belongs to, whose verbose setting asks for the lines
    // on opening and rotating; nullptr for a log of its own (quiet).
    const collector_ctx* collector = nullptr;
};

// Sets the log's path to "<dir>/<file_name>" and its buffering. The first
// call also makes the log's lock, unless collector_ctx_init has (fatal when
// it cannot be made): a log is initialised before any thread can write to it.
void al_init(activity_log* log, const char* dir, const char* file_name, int32_t buffered);

// Frees what a closed log holds (its path, buffer and lock), for a log that
// no thread uses any more. The running collector never does: its logs live
// as long as the process.
void al_release(activity_log* log);

// Opens the path for appending (created when missing); fatal
// "fopen(%s) failed: %d" with errno as exit code.
void al_open(activity_log* log);

// Caller holds the lock. Closes the file, renames it to "<path>.<seconds>"
// (never over an existing file: then "*** WARN *** rename(%s, %s) failed: %d"
// and the log goes on in the same file) and opens the path again. Nothing
// when the log has been closed.
void al_rotate(activity_log* log);

// Flushes and closes the file under the lock; later lines are dropped and
// counted, and rotation leaves the log alone. Lines lost and not yet
// reported are.
void al_close(activity_log* log);

// Whether al_close has run: a record that comes now has no line and must
// raise no alert.
bool al_closed(const activity_log* log);

// At the very end of a stop: "*** WARN *** activity log %s: %llu lines lost:
// they came after the log was closed at stop", when any did.
void al_report_lines_after_close(activity_log* log);

// Batches of lines. A thread that handles events in batches (a capture
// thread handles every packet the kernel hands over in one go, a syslog
// thread every line of one receive) holds its lines while it works through a
// batch, and then appends all of them with one write per log:
// `al_hold_lines(true)` once, then `al_write_held()` after every batch,
// before it waits for more input, so a line never waits for the next packet;
// `al_hold_lines(false)` writes what is left and ends holding, before the
// thread ends. Each thread holds its lines apart from every other thread's,
// so holding and formatting take no lock that another thread waits on; only
// the write of a batch takes the log's lock. A rotation and al_close write
// every thread's held lines first, so a held line goes to the file of the
// period it came in, and a line held when the log closes at a stop is still
// written. Held lines of a buffered log then wait in its buffer as any other
// line. Threads that do not hold lines are not affected.
void al_hold_lines(bool hold);
void al_write_held();

// One dhcp-pkt.al line:
//   method id|node id|seconds|message type|client ip|mac|escaped host name|relay ip
// addresses as 8 lower-case hex digits, an empty mac as "000000000000".
// 0 when written, -1 when the log is not open.
int al_write_dhcp_pkt(activity_log* log, const method_rec* method, const dhcp_pkt_rec* rec,
                      const event_time* when);

// One dnsq-req.al line:
//   method id|node id|seconds|server ip (ip->dst)|client ip (ip->src)|escaped query name|qtype|qclass
// 0 when written, -1 when the log is not open.
int al_write_dnsq_req(activity_log* log, const method_rec* method, const ip_info* ip, const dnsq_rec* rec,
                      const event_time* when);

// The rotation thread of the collector context `collector`: wakes at every
// multiple of its rotate_period seconds since the epoch, rotates both of its
// logs and runs its rotation hooks (rotation_hooks.h). Never returns.
void* rotate_thread(void* collector);
