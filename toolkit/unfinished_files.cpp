#include "toolkit/unfinished_files.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <vector>

#include "toolkit/diag.h"

namespace {

// A plain pointer: nothing here needs a destructor at exit.
std::vector<std::string>* registered = nullptr;

void remove_registered()
{
    if (registered == nullptr) {
        return;
    }
    // Latest first: the commit records of a run go before the new files
    // they name, so that no moment shows a complete record whose new files
    // are partly gone.
    for (auto it = registered->rbegin(); it != registered->rend(); ++it) {
        unlink(it->c_str());
    }
    registered->clear();
}

void remove_then_report(int code, const char* fmt, va_list ap)
{
    remove_registered();
    error_exit(code, fmt, ap);
}

}  // namespace

void unfinished_files_remove_on_failure()
{
    if (registered == nullptr) {
        registered = new std::vector<std::string>();
        registered->reserve(16);
    }
    fatal_reporter_set(&remove_then_report);
}

void unfinished_file_add(const std::string& path)
{
    if (registered != nullptr) {
        registered->push_back(path);
    }
}

void unfinished_file_forget(const std::string& path)
{
    if (registered != nullptr) {
        registered->erase(std::remove(registered->begin(), registered->end(), path), registered->end());
    }
}

void unfinished_files_forget_all()
{
    if (registered != nullptr) {
        registered->clear();
    }
}
