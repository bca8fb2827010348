// The collector's start-up, in a fixed order, and its run until a stop.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "collector/alerts/alert_queue.h"
#include "collector/alerts/alert_writer.h"
#include "collector/alerts/callbacks.h"
#include "collector/alerts/loaders.h"
#include "collector/core/activity_log.h"
#include "collector/core/log.h"
#include "collector/core/method_stop.h"
#include "collector/core/rotation_hooks.h"
#include "collector/core/string_helpers.h"
#include "collector/core/threads.h"
#include "collector/core/warn_limit.h"
#include "collector/methods/capture/capture.h"
#include "collector/methods/starters.h"
#include "collector/methods/syslog/syslog_listen.h"
#include "collector/run/commands.h"
#include "collector/run/context_setup.h"
#include "collector/run/startup.h"
#include "collector/run/usage.h"
#include "platform/process.h"
#include "platform/text_file.h"
#include "toolkit/alloc.h"
#include "toolkit/number.h"

namespace {

// A configuration `type` value and what it selects.
template <typename Fn>
struct type_entry {
    const char* name;
    Fn fn;
};

const type_entry<rule_loader> alert_types[] = {
    {"dhcp-mac-watch", dhcp_mac_watch_add},
    {"dns-query-watch", dns_query_watch_add},
    {"dns-rcode-watch", dns_rcode_watch_add},
    {"dns-query-rate", dns_query_rate_add},
    {"dhcp-packet-rate", dhcp_packet_rate_add},
};

const type_entry<method_starter> method_types[] = {
    {"dhcp-pkt-raw", method_start_dhcp_pkt_raw},
    {"dnsq-req-raw", method_start_dnsq_req_raw},
    {"dnsq-req-bind9-syslog", method_start_syslog},
    {"dhcp-pkt-isc-syslog", method_start_syslog},
};

// What `type` selects in `table`; nullptr for a type it does not know.
template <typename Fn, size_t N>
Fn find_type(const type_entry<Fn> (&table)[N], const char* type)
{
    for (const type_entry<Fn>& t : table) {
        if (strcmp(t.name, type) == 0) {
            return t.fn;
        }
    }
    return nullptr;
}

void create_or_die(int rc, const char* what)
{
    if (rc != 0) {
        int err = errno;
        log_error_exit(err, "%s failed: %d", what, err);
    }
}

}  // namespace

void pid_file_write(const char* path, int pid)
{
    FILE* file = text_fopen(path, "w");
    if (file == nullptr) {
        int err = errno;
        log_error_exit(err, "fpen(%s) failed: %d", path, err);
    }
    fprintf(file, "%d", pid);
    fclose(file);
}

void rotate_thread_start(collector_ctx* ctx)
{
    if (thread_start(rotate_thread, ctx) != 0) {
        // Without it the logs would silently never rotate.
        int err = errno;
        log_error_exit(err, "the activity log rotation thread could not be started: %d", err);
    }
}

void alert_thread_start(collector_ctx* ctx)
{
    if (thread_start(alert_thread, ctx) != 0) {
        // Without it every alert raised would be lost.
        int err = errno;
        log_error_exit(err, "the alert writer thread could not be started: %d", err);
    }
}

void alerts_load(collector_ctx* ctx, conf_option* config)
{
    for (conf_option* opt = config; opt != nullptr; opt = opt->next) {
        if (strcmp(opt->key, "alert") != 0) {
            continue;
        }
        conf_ptr entry(opts_parse(opt->value, "alert"));
        conf_option* type = conf_find(entry.get(), "type");
        conf_option* id = conf_find(entry.get(), "id");
        if (type == nullptr || id == nullptr || num_parse_i32(id->value) == 0) {
            continue;
        }
        conf_option* node = conf_find(entry.get(), "node_id");
        int32_t node_id = node != nullptr ? num_parse_i32(node->value) : 0;
        rule_loader load = find_type(alert_types, type->value);
        if (load == nullptr) {
            log_error_exit(-1, "unknown alert '%s'", type->value);
        }
        load(ctx, num_parse_i32(id->value), node_id, entry.get());
    }
}

void methods_load(collector_ctx* ctx, conf_option* config)
{
    // Every started method counts, also one enabled on a capture opened by
    // an earlier method, which the method list does not hold: two methods
    // must never write lines under one id.
    std::vector<int32_t> started;
    for (conf_option* opt = config; opt != nullptr; opt = opt->next) {
        if (strcmp(opt->key, "method") != 0) {
            continue;
        }
        conf_ptr entry(opts_parse(opt->value, "method"));
        conf_option* type = conf_find(entry.get(), "type");
        conf_option* id_opt = conf_find(entry.get(), "id");
        conf_option* node_opt = conf_find(entry.get(), "node_id");
        int32_t id = id_opt != nullptr ? num_parse_i32(id_opt->value) : 0;
        int32_t node_id = node_opt != nullptr ? num_parse_i32(node_opt->value) : 0;
        if (type == nullptr || id == 0 || node_id == 0) {
            continue;
        }
        bool taken = std::find(started.begin(), started.end(), id) != started.end();
        for (const method_rec* m = ctx->methods; m != nullptr && !taken; m = m->next) {
            taken = m->id == id;
        }
        if (taken) {
            log_error_exit(-1, "one or more 'method's are using the same 'id'");
        }
        method_starter start = find_type(method_types, type->value);
        if (start == nullptr) {
            log_error_exit(-1, "unknown collection method '%s'", type->value);
        }
        method_rec* rec = method_new(id, node_id, type->value);
        if (start(ctx, rec, entry.get()) == start_result::refused) {
            method_list_free(rec);
        } else {
            started.push_back(id);
        }
    }
}

int collector_run(int argc, char** argv, void (*on_ready)(void* arg), void* ready_arg)
{
    if (argc < 4) {
        return -1;
    }
    const char* config_path = argv[3];
    log_message("harvd %s", collector_version);
    log_message("loading config from %s", config_path);

    conf_ptr config(conf_load(config_path));
    if (!config) {
        return -1;
    }
    conf_option* opt = nullptr;

    collector_ctx* ctx = collector_new();
    collector_instance = ctx;

    if ((opt = conf_find(config.get(), "verbose")) != nullptr) {
        ctx->verbose = num_parse_i32(opt->value);
    }

    if ((opt = conf_find(config.get(), "pid_file")) != nullptr) {
        pid_file_write(opt->value, platform_process_id());
    }

    ctx->on_dhcp_pkt = on_dhcp_pkt;
    ctx->on_dnsq_req = on_dnsq_req;
    ctx->on_dnsq_resp = on_dnsq_resp;

    if ((opt = conf_find(config.get(), "alert_dir")) != nullptr) {
        ctx->alert_dir_path = xstrdup(opt->value, copy_failed);
    }

    // The two activity log locks were made with the context; the alert
    // queue's mutexes and event are made here, before any thread can use them.
    create_or_die(alert_queue_init(ctx), "alert_queue_init()");

    opt = conf_find(config.get(), "al_dir");
    const char* al_dir = opt != nullptr ? opt->value : ".";
    opt = conf_find(config.get(), "buffer_als");
    int32_t buffered = opt != nullptr && num_parse_i32(opt->value) != 0 ? 1 : 0;
    al_init(&ctx->dhcp_pkt_log, al_dir, "dhcp-pkt.al", buffered);
    al_init(&ctx->dnsq_req_log, al_dir, "dnsq-req.al", buffered);

    // Opened under their locks: writers on other threads may already be waiting.
    mutex_lock(&ctx->dhcp_pkt_log.lock);
    al_open(&ctx->dhcp_pkt_log);
    mutex_unlock(&ctx->dhcp_pkt_log.lock);
    mutex_lock(&ctx->dnsq_req_log.lock);
    al_open(&ctx->dnsq_req_log);
    mutex_unlock(&ctx->dnsq_req_log.lock);

    if ((opt = conf_find(config.get(), "rotate_interval")) != nullptr) {
        int32_t period = num_parse_i32(opt->value);
        if (period <= 0) {
            log_error_exit(-1, "rotate_interval must be a number of seconds greater than 0, not '%s'",
                           opt->value);
        }
        ctx->rotate_period = period;
    }

    // Work at each rotation, after both logs: the captures' drop counts, then
    // the syslog listeners' kernel drops.
    rotation_hook_register(ctx, capture_stats_report, ctx);
    rotation_hook_register(ctx, syslog_drops_report, ctx);
    rotate_thread_start(ctx);
    alert_thread_start(ctx);

    alerts_load(ctx, config.get());
    methods_load(ctx, config.get());

    config.reset();

    if (on_ready != nullptr) {
        on_ready(ready_arg);
    }
    int rc = collector_wait(ctx);
    // Stop in the order data flows. The methods first hand on what they have
    // already received, so no record raises an alert without its line.
    methods_stop(ctx);
    warn_limit_flush(true);
    // Then nothing written may be lost: flush and close both logs under
    // their locks, so no writer or rotation is cut off half way.
    al_close(&ctx->dhcp_pkt_log);
    al_close(&ctx->dnsq_req_log);
    // Queued alerts get a few seconds to reach their files before the process ends.
    alert_queue_drain(ctx, alert_drain_seconds);
    // Records that came after the logs closed (a method still busy at its
    // stop) raised no alert; they are counted here, as late as possible.
    al_report_lines_after_close(&ctx->dhcp_pkt_log);
    al_report_lines_after_close(&ctx->dnsq_req_log);
    return rc;
}
