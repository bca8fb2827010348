// The one thread that writes a run's alerts out, each to its own file.
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
#include "toolkit/rename_noreplace.h"

namespace {

// Seconds the writer sleeps with nothing to do; an enqueue wakes it earlier.
constexpr int64_t idle_wait_seconds = 600;

int write_whole(int fd, const char* text)
{
    return text_write(fd, text, strlen(text));
}

// Gives the written file `from` (a /proc path of an unnamed file, or a
// dot-named temporary) the first free alert number. 0, or -1 with errno.
int publish(const char* dir, uint32_t* counter, const char* from, bool unnamed)
{
    char name[4096];
    for (uint32_t tries = 0; tries < alert_name_tries; ++tries) {
        ++*counter;
        int len = snprintf(name, sizeof name, "%s/%u.alert", dir, *counter);
        if (len < 0 || static_cast<size_t>(len) >= sizeof name) {
            errno = ENAMETOOLONG;
            return -1;  // a cut name would be some other file's
        }
        // Neither call ever replaces an existing entry of any kind.
        int rc = unnamed ? linkat(AT_FDCWD, from, AT_FDCWD, name, AT_SYMLINK_FOLLOW) : rename_noreplace(from, name);
        if (rc == 0) {
            return 0;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

// The text in an unnamed file of the directory, then linked under its
// number: the name appears with the whole text or not at all. -1 with errno
// EOPNOTSUPP (or another) when this way is not available here.
int write_unnamed(const char* dir, uint32_t* counter, const char* text)
{
    int fd = open(dir, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -1;
    }
    if (int err = write_whole(fd, text); err != 0) {
        close(fd);
        errno = err;
        return -2;  // nothing named was made; the text goes to the log
    }
    char self[64];
    snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    int rc = publish(dir, counter, self, true);
    int err = errno;
    close(fd);
    errno = err;
    if (rc != 0 && (err == ENOENT || err == EXDEV)) {
        return -1;  // no /proc to link from: the other way
    }
    return rc == 0 ? 0 : -2;
}

// Where unnamed files are refused: a dot-named temporary, renamed without
// replacing anything. A crash may leave a ".alert-*" temporary, never a cut
// alert file.
int write_renamed(const char* dir, uint32_t* counter, const char* text)
{
    char temp[4096];
    int len = snprintf(temp, sizeof temp, "%s/.alert-XXXXXX", dir);
    if (len < 0 || static_cast<size_t>(len) >= sizeof temp) {
        return -1;
    }
    int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int wrote = write_whole(fd, text);
    int closed = close(fd);
    if (wrote != 0 || closed != 0 || publish(dir, counter, temp, false) != 0) {
        unlink(temp);
        return -1;
    }
    return 0;
}

// The text to its file, or to the log when it cannot have one.
void alert_write(const char* dir, uint32_t* counter, const char* text)
{
    if (alert_file_write(dir, counter, text) != 0) {
        log_message("ALERT: %s", text);
    }
}

}  // namespace

int alert_file_write(const char* dir, uint32_t* counter, const char* text)
{
    uint32_t first = *counter;
    int rc = write_unnamed(dir, counter, text);
    if (rc == -1 && errno != ENOENT && errno != EACCES && errno != ENOTDIR) {
        rc = write_renamed(dir, counter, text);
    }
    if (rc != 0 && *counter == first) {
        ++*counter;  // a failed alert uses up its number all the same
    }
    return rc == 0 ? 0 : -1;
}

void* alert_thread(void* collector)
{
    auto* ctx = static_cast<collector_ctx*>(collector);
    alert_queue* queue = ctx->alerts;
    // The number of the last alert file name tried. Never reset in a run, so
    // a number is not tried twice even when files are deleted behind the
    // writer.
    uint32_t alert_counter = 0;
    for (;;) {
        alert_item* item = alert_queue_take(queue);
        if (item == nullptr) {
            // Drops still unreported shorten the sleep so their warning is not late.
            int64_t due = alert_queue_report_drops(queue, false);
            alert_queue_wait(queue, due > 0 && due < idle_wait_seconds ? due : idle_wait_seconds);
            continue;
        }
        alert_write(ctx->alert_dir_path, &alert_counter, item->text);
        alert_item_free(item);
        alert_queue_done(queue);
        alert_queue_report_drops(queue, false);
    }
}
