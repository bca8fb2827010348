// Turns the toolkit's fatal path into an exception for the length of a test,
// so a failure's exit code and message can be checked in-process.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "toolkit/diag.h"

struct fatal_error {
    int code;
    std::string message;
};

class fatal_capture {
public:
    fatal_capture() : previous_(fatal_reporter_set(&fatal_capture::report)) {}
    ~fatal_capture() { fatal_reporter_set(previous_); }
    fatal_capture(const fatal_capture&) = delete;
    fatal_capture& operator=(const fatal_capture&) = delete;

private:
    static void report(int code, const char* fmt, va_list ap)
    {
        char text[1024];
        vsnprintf(text, sizeof text, fmt, ap);
        throw fatal_error{code, text};
    }
    fatal_reporter previous_;
};

// Runs `fn`, which must end in the fatal path; returns what it reported.
template <typename Fn>
fatal_error expect_fatal(Fn&& fn)
{
    fatal_capture capture;
    try {
        fn();
    } catch (const fatal_error& e) {
        return e;
    }
    return fatal_error{0, "(no fatal error)"};
}
