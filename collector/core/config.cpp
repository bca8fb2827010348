#include "collector/core/config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "collector/core/log.h"
#include "collector/core/string_helpers.h"
#include "collector/core/text_cursor.h"
#include "toolkit/alloc.h"
#include "toolkit/text.h"

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

namespace {

// One physical line, read whole by length however long it is (the buffer
// grows geometrically); its text ends at the line feed or at a NUL byte
// inside it, whose rest is ignored: it never joins the next line. nullptr at
// end of file; a read error is fatal with `what`.
char* read_whole_line(FILE* stream, const char* path)
{
    char* line = nullptr;
    size_t cap = 0;
    errno = 0;
    ssize_t n = getline(&line, &cap, stream);
    if (n < 0) {
        int err = errno;
        free(line);
        if (ferror(stream)) {
            if (path != nullptr) {
                log_error_exit(err, "ferror() while reading file %s: %d", path, err);
            }
            log_error_exit(err, "ferror() while reading file");
        }
        return nullptr;
    }
    size_t len = strnlen(line, static_cast<size_t>(n));
    if (len > 0 && line[len - 1] == '\n') {
        --len;
    }
    line[len] = '\0';
    return line;
}

}  // namespace

char* conf_read_line(FILE* stream)
{
    // A comment line is one whose first byte is '#', however long it is.
    for (;;) {
        char* line = read_whole_line(stream, nullptr);
        if (line == nullptr || line[0] != '#') {
            return line;
        }
        free(line);
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
    opt->key = xstrdup(start, copy_failed);
    opt->key[eq - start] = '\0';
    opt->value = xstrdup(value, copy_failed);
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

conf_option* opts_parse(const char* value, const char* entry_key)
{
    conf_option* head = nullptr;
    conf_option** tail = &head;
    strlist_ptr words(strlist_split(value, ' '));
    for (const strlist* word = words.get(); word != nullptr; word = word->next) {
        strlist_ptr parts(strlist_split(word->text, ':'));
        if (strlist_count(parts.get()) != 2) {
            // No colon, or two separate ones: not a key:value word. Said, or
            // a timezone pasted from --timezones with its "(UTC+01:00)"
            // would leave its method on UTC without a word.
            if (entry_key != nullptr) {
                log_message("*** WARN *** %s entry: '%s' is not a name:value word, ignored "
                            "(a ':' inside a value is written %%3a)",
                            entry_key, word->text);
            }
            continue;
        }
        conf_option* opt = conf_option_new();
        opt->key = xstrdup(parts->text, copy_failed);
        opt->value = xstrdup(parts->next->text, copy_failed);
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
    // A list that cannot be read (a directory named as the list) is fatal:
    // starting with an empty watch list would watch nothing, silently.
    while (char* line = read_whole_line(stream, path)) {
        char* comment = strchr(line, '#');
        if (comment != nullptr) {
            *comment = '\0';
        }
        str_trim(line);
        if (line[0] != '\0') {
            *tail = strlist_node_new(line, static_cast<int>(strlen(line)));
            tail = &(*tail)->next;
        }
        free(line);
    }
    fclose(stream);
    return head;
}
