#include "collector/core/activity_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "collector/core/log.h"
#include "platform/rename.h"
#include "platform/text_file.h"
#include "toolkit/alloc.h"

activity_log dhcp_pkt_log = {nullptr, nullptr, 0, SYNC_MUTEX_STATIC_INIT};
activity_log dnsq_req_log = {nullptr, nullptr, 0, SYNC_MUTEX_STATIC_INIT};
int32_t rotate_period = 300;

namespace {

// Longest line: four signed 32-bit numbers, a 64-bit time, two addresses,
// a 32-digit mac and a 770-byte escaped name, with separators: under 900.
constexpr size_t line_size = 1024;

int64_t wall_clock_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int write_line(activity_log* log, const char* line, int len)
{
    if (len <= 0) {
        return -1;
    }
    size_t n = static_cast<size_t>(len) < line_size ? static_cast<size_t>(len) : line_size - 1;
    mutex_lock(&log->lock);
    if (log->file == nullptr) {
        mutex_unlock(&log->lock);
        return -1;
    }
    fwrite(line, 1, n, log->file);
    mutex_unlock(&log->lock);
    return 0;
}

void rotate_one(activity_log* log)
{
    mutex_lock(&log->lock);
    al_rotate(log);
    mutex_unlock(&log->lock);
}

}  // namespace

void al_init(activity_log* log, const char* dir, const char* file_name, int32_t buffered)
{
    size_t size = strlen(dir) + 1 + strlen(file_name) + 1;
    char* path = static_cast<char*>(xalloc(size, 0));
    snprintf(path, size, "%s/%s", dir, file_name);
    free(log->path);
    log->path = path;
    log->buffered = buffered;
}

void al_open(activity_log* log)
{
    if (verbose_flag) {
        log_message("opening activity log %s", log->path);
    }
    FILE* file = text_fopen(log->path, "a");
    if (file == nullptr) {
        int err = errno;
        log_error_exit(err, "fopen(%s) failed: %d", log->path, err);
    }
    if (!log->buffered) {
        setbuf(file, nullptr);
    }
    log->file = file;
}

void al_rotate(activity_log* log)
{
    if (log->file == nullptr) {
        return;  // closed at stop: nothing to rotate, nothing to reopen
    }
    if (verbose_flag) {
        log_message("rotating file %s", log->path);
    }
    size_t size = strlen(log->path) + 32;
    char* name = static_cast<char*>(xalloc(size, 0));
    // The precise clock: time() may lag it by a tick and name a rotation
    // made right on a period boundary after the second before.
    snprintf(name, size, "%s.%" PRId64, log->path, wall_clock_ms() / 1000);
    fclose(log->file);
    log->file = nullptr;
    // Never over an existing file: an earlier rotated log must not be lost.
    if (int err = rename_noreplace(log->path, name)) {
        log_message("*** WARN *** rename(%s, %s) failed: %d", log->path, name, err);
    }
    free(name);
    al_open(log);
}

void al_close(activity_log* log)
{
    mutex_lock(&log->lock);
    if (log->file != nullptr) {
        fclose(log->file);
        log->file = nullptr;
    }
    mutex_unlock(&log->lock);
}

int al_write_dhcp_pkt(const method_rec* method, const dhcp_pkt_rec* rec, const event_time* when)
{
    const unsigned char* c = rec->client_ip;
    const unsigned char* r = rec->relay_ip;
    int mac_len = record_text_len(rec->client_mac);
    const char* mac = mac_len > 0 ? rec->client_mac : "000000000000";
    if (mac_len == 0) {
        mac_len = 12;
    }
    char line[line_size];
    int len = snprintf(line, sizeof line,
                       "%d|%d|%" PRId64 "|%d|%.2x%.2x%.2x%.2x|%.*s|%.*s|%.2x%.2x%.2x%.2x\n",
                       method->id, method->node_id, when->sec, rec->msg_type, c[0], c[1], c[2], c[3],
                       mac_len, mac, record_text_len(rec->hostname_esc), rec->hostname_esc, r[0], r[1],
                       r[2], r[3]);
    return write_line(&dhcp_pkt_log, line, len);
}

int al_write_dnsq_req(const method_rec* method, const ip_info* ip, const dnsq_rec* rec,
                      const event_time* when)
{
    const unsigned char* s = ip->dst;  // the server the query went to
    const unsigned char* c = ip->src;  // the client that asked
    char line[line_size];
    int len = snprintf(line, sizeof line,
                       "%d|%d|%" PRId64 "|%.2x%.2x%.2x%.2x|%.2x%.2x%.2x%.2x|%.*s|%d|%d\n", method->id,
                       method->node_id, when->sec, s[0], s[1], s[2], s[3], c[0], c[1], c[2], c[3],
                       record_text_len(rec->qname_esc), rec->qname_esc, rec->qtype, rec->qclass);
    return write_line(&dnsq_req_log, line, len);
}

void* rotate_thread(void*)
{
    for (;;) {
        int64_t period_ms = static_cast<int64_t>(rotate_period) * 1000;
        if (period_ms <= 0) {
            period_ms = 300000;  // start-up refuses such periods; never divide by zero
        }
        // Wake on the boundary itself rather than at the fraction of the
        // second the clock was read at, so both logs of one period get the
        // same rotated name.
        int64_t now = wall_clock_ms();
        int64_t boundary = now - now % period_ms + period_ms;
        platform_sleep_ms(boundary - now);
        // The sleep runs on the monotonic clock; finish it should the wall
        // clock still be short of the boundary (a clock set back by more than
        // a period starts a new schedule instead).
        for (now = wall_clock_ms(); now < boundary && boundary - now <= period_ms; now = wall_clock_ms()) {
            platform_sleep_ms(boundary - now);
        }
        rotate_one(&dhcp_pkt_log);
        rotate_one(&dnsq_req_log);
    }
}
