// The process's alert queue and the one thread that writes its alerts out.
#include "collector/alerts/alert_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "collector/alerts/alert_queue.h"
#include "collector/core/context.h"
#include "collector/core/log.h"
#include "platform/text_file.h"

namespace {

// Plain data, zero until alert_queue_init: nothing to destroy at exit while
// producers may still run.
alert_queue process_queue;
int process_queue_ready;

// The number of the last alert file name tried; the writer thread's alone.
// Never reset in a run, so a number is not tried twice even when files are
// deleted behind the writer.
uint32_t alert_counter;

// Seconds the writer sleeps with nothing to do; an enqueue wakes it earlier.
constexpr int64_t idle_wait_seconds = 600;

int open_exclusive(const char* name)
{
    int fd;
    do {
        fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The text to its file, or to the log when it cannot have one.
void alert_write(const char* text)
{
    if (alert_file_write(alert_dir_path, &alert_counter, text) != 0) {
        log_message("ALERT: %s", text);
    }
}

}  // namespace

int alert_file_write(const char* dir, uint32_t* counter, const char* text)
{
    char name[4096];
    for (uint32_t tries = 0; tries < alert_name_tries; ++tries) {
        ++*counter;
        int len = snprintf(name, sizeof name, "%s/%u.alert", dir, *counter);
        if (len < 0 || static_cast<size_t>(len) >= sizeof name) {
            return -1;  // a cut name would be some other file's
        }
        int fd = open_exclusive(name);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return -1;  // no directory, no permission: no number will do
        }
        int wrote = text_write(fd, text, strlen(text));
        int closed = close(fd);
        if (wrote != 0 || closed != 0) {
            // A cut alert file would pass for a whole one: keep the text for the log only.
            unlink(name);
            return -1;
        }
        return 0;
    }
    return -1;
}

int alert_queue_init()
{
    if (process_queue_ready) {
        return 0;
    }
    if (alert_queue_setup(&process_queue, alert_queue_bound) != 0) {
        return -1;
    }
    process_queue_ready = 1;
    return 0;
}

int alert_enqueue(alert_item* item)
{
    return alert_queue_put(&process_queue, item);
}

void* alert_thread(void*)
{
    for (;;) {
        alert_item* item = alert_queue_take(&process_queue);
        if (item == nullptr) {
            // Drops still unreported shorten the sleep so their warning is not late.
            int64_t due = alert_queue_report_drops(&process_queue, false);
            alert_queue_wait(&process_queue, due > 0 && due < idle_wait_seconds ? due : idle_wait_seconds);
            continue;
        }
        alert_write(item->text);
        alert_item_free(item);
        alert_queue_done(&process_queue);
        alert_queue_report_drops(&process_queue, false);
    }
}

uint32_t alert_queue_drain(int seconds)
{
    return alert_queue_settle(&process_queue, seconds);
}
