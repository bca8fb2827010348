#include "collector/core/config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "collector/core/escape.h"
#include "collector/core/log.h"
#include "toolkit/alloc.h"
#include "toolkit/text.h"

namespace {

char* copy_or_die(const char* text, size_t len)
{
    char* copy = strndup(text, len);
    if (copy == nullptr) {
        log_error_exit(-1, "strdup() failed");
    }
    return copy;
}

}  // namespace

conf_option* conf_option_new()
{
    return static_cast<conf_option*>(xalloc(sizeof(conf_option), 1));
}

conf_option* conf_find(conf_option* list, const char* name)
{
    for (; list != nullptr; list = list->next) {
        if (list->key != nullptr && strcmp(list->key, name) == 0) {
            return list;
        }
    }
    return nullptr;
}

void conf_free(conf_option* list)
{
    while (list != nullptr) {
        conf_option* next = list->next;
        free(list->key);
        free(list->value);
        free(list);
        list = next;
    }
}

char* conf_read_line(FILE* stream)
{
    // The line is read whole, however long, and the comment rule looks only at
    // its first byte: a long comment never turns into a live setting because
    // its tail happened to start a new read.
    char chunk[1024];
    char* line = nullptr;
    size_t len = 0;
    bool skipping = false;  // inside a comment line, up to its line feed
    for (;;) {
        if (fgets(chunk, sizeof chunk, stream) == nullptr) {
            if (ferror(stream)) {
                log_error_exit(errno, "ferror() while reading file");
            }
            return line;  // a last line without a line feed still counts
        }
        size_t n = strlen(chunk);
        if (n == 0) {
            continue;  // a NUL byte at the start of a read: nothing to keep
        }
        bool ends_line = chunk[n - 1] == '\n';
        if (len == 0 && !skipping && chunk[0] == '#') {
            skipping = !ends_line;
            continue;
        }
        if (skipping) {
            skipping = !ends_line;
            continue;
        }
        line = static_cast<char*>(xrealloc(line, len + n + 1));
        memcpy(line + len, chunk, n + 1);
        len += n;
        if (ends_line) {
            line[len - 1] = '\0';
            return line;
        }
    }
}

conf_option* conf_parse_line(const char* line)
{
    const char* start = line;
    if (str_skip_space(&start) != 0) {
        return nullptr;
    }
    const char* eq = strchr(start, '=');
    if (eq == nullptr || eq == start) {
        return nullptr;
    }
    const char* value = eq + 1;
    if (str_skip_space(&value) != 0) {
        return nullptr;  // an empty value is no option
    }
    conf_option* opt = conf_option_new();
    opt->key = copy_or_die(start, static_cast<size_t>(eq - start));
    opt->value = copy_or_die(value, strlen(value));
    for (char* p = opt->key; *p != '\0'; ++p) {
        *p = static_cast<char>(ascii_lower(static_cast<unsigned char>(*p)));
    }
    str_trim(opt->key);
    str_trim(opt->value);
    return opt;
}

conf_option* conf_load(const char* path)
{
    FILE* stream = fopen(path, "r");
    if (stream == nullptr) {
        int err = errno;
        log_message("*** ERROR *** fopen(%s) failed: %d", path, err);
        return nullptr;
    }
    conf_option* head = nullptr;
    conf_option** tail = &head;
    while (char* line = conf_read_line(stream)) {
        conf_option* opt = conf_parse_line(line);
        free(line);
        if (opt != nullptr) {
            *tail = opt;
            tail = &opt->next;
        }
    }
    fclose(stream);
    return head;
}

conf_option* opts_parse(const char* value)
{
    conf_option* head = nullptr;
    conf_option** tail = &head;
    strlist_ptr words(strlist_split(value, ' '));
    for (const strlist* word = words.get(); word != nullptr; word = word->next) {
        strlist_ptr parts(strlist_split(word->text, ':'));
        if (strlist_count(parts.get()) != 2) {
            continue;  // no colon, or two separate ones: not a key:value word
        }
        conf_option* opt = conf_option_new();
        opt->key = copy_or_die(parts->text, strlen(parts->text));
        opt->value = copy_or_die(parts->next->text, strlen(parts->next->text));
        *tail = opt;
        tail = &opt->next;
    }
    return head;
}

strlist* strlist_read_file(const char* path)
{
    FILE* stream = fopen(path, "r");
    if (stream == nullptr) {
        int err = errno;
        log_error_exit(err, "fopen(%s) failed: %d", path, err);
    }
    strlist* head = nullptr;
    strlist** tail = &head;
    char line[8192];
    while (fgets(line, sizeof line, stream) != nullptr) {
        char* comment = strchr(line, '#');
        if (comment != nullptr) {
            *comment = '\0';
        }
        str_trim(line);
        if (line[0] == '\0') {
            continue;
        }
        *tail = strlist_node_new(line, static_cast<int>(strlen(line)));
        tail = &(*tail)->next;
    }
    fclose(stream);
    return head;
}
