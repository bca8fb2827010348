// The failure record of the toolkit's file layer.
//
// Status convention of the layer: a function returns 0 on success, the
// failing call's errno on a system failure, or -1 when it refused to go on
// (for instance an output that is one of the inputs). When it fails it also
// fills the optional file_error with that code and the whole diagnostic, so
// every tool reports a failure in the same words. Only a program's edge
// (its main or its frame) turns a failure into an exit, with
// file_error_check or file_error_exit (see diag.h for the whole toolkit).
#pragma once

#include <string>

struct file_error {
    int code = 0;         // errno of the failing call, -1 for a refusal, 0 for none
    std::string message;  // e.g. "write(out.txt) failed: 28", without "ERROR: "
};

// Fills `err` (when given) from a printf-style message; returns `code`.
int file_error_set(file_error* err, int code, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// Reports through the fatal reporter and ends the program; the exit code is
// the error's code, never 0.
[[noreturn]] void file_error_exit(const file_error& err);

// A program's edge: `rc` is what a file layer call returned with `err`;
// anything but 0 ends the program with file_error_exit.
inline void file_error_check(int rc, const file_error& err)
{
    if (rc != 0) {
        file_error_exit(err);
    }
}
