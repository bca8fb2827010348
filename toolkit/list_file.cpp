#include "toolkit/list_file.h"

#include <cerrno>
#include <cstring>

#include "toolkit/text.h"

list_file::~list_file()
{
    list_file_close(*this);
}

int list_file_open(list_file& list, const char* path, file_error* err)
{
    list_file_close(list);
    list.stream = fopen(path, "re");
    if (list.stream == nullptr) {
        int e = errno;
        return file_error_set(err, e, "fopen(%s) failed: %d", path, e);
    }
    list.path = path;
    list.line_number = 0;
    return 0;
}

int list_file_next(list_file& list, bool& have_line, file_error* err)
{
    have_line = false;
    if (list.stream == nullptr) {
        return 0;
    }
    for (;;) {
        list.raw.clear();
        bool too_long = false;
        bool ended = false;
        errno = 0;
        for (;;) {
            int c = getc_unlocked(list.stream);
            if (c == EOF) {
                if (ferror(list.stream)) {
                    int e = errno != 0 ? errno : EIO;
                    return file_error_set(err, e, "read(%s) failed: %d", list.path.c_str(), e);
                }
                ended = true;
                break;
            }
            if (c == '\n') {
                break;
            }
            // One byte more than the limit is kept: a carriage return there
            // belongs to the line end, not to the line.
            if (list.raw.size() <= LIST_LINE_MAX) {
                list.raw.push_back(static_cast<char>(c));
            } else {
                too_long = true;  // read on to the line's end, keep nothing more
            }
        }
        if (list.raw.size() > LIST_LINE_MAX && list.raw.back() != '\r') {
            too_long = true;
        }
        if (ended && list.raw.empty() && !too_long) {
            return 0;  // the end of the list
        }
        ++list.line_number;
        if (too_long) {
            return file_error_set(err, -1, "line %ld of list '%s' is longer than %zu characters", list.line_number,
                                  list.path.c_str(), LIST_LINE_MAX);
        }
        // Text after a NUL byte is no part of the line.
        list.raw.resize(strnlen(list.raw.c_str(), list.raw.size()));
        list.line = list.raw;
        str_trim(list.line.data());
        list.line.resize(strlen(list.line.c_str()));
        if (!list.line.empty()) {
            have_line = true;
            return 0;
        }
    }
}

void list_file_close(list_file& list)
{
    if (list.stream != nullptr) {
        fclose(list.stream);
        list.stream = nullptr;
    }
}
