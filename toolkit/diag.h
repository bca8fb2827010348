// Diagnostics shared by every program: the fatal reporter hook, the tools'
// "ERROR: " / "INFO: " lines and the usage printer.
#pragma once

#include <cstdarg>

// The one function through which every failure inside the toolkit ends the
// process. Tools keep the default (error_exit's body); harvd binds its log
// facility's fatal line before anything else runs.
using fatal_reporter = void (*)(int code, const char* fmt, va_list ap);

// Binds the reporter; nullptr restores the default. Returns the previous one.
fatal_reporter fatal_reporter_set(fatal_reporter reporter);

// Reports through the bound reporter and never returns.
[[noreturn]] void fatal(int code, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void fatal_v(int code, const char* fmt, va_list ap);

// "ERROR: " + message + '\n' on standard error, then exit(code). A code of 0
// becomes -1: a fatal path never reports success.
[[noreturn]] void error_exit(int code, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void error_exit_v(int code, const char* fmt, va_list ap);

// "INFO: " + message + '\n' on standard error; processing goes on.
void log_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The usage printer: each tool hands its text (with one "%s" for the version)
// once at start-up; usage_exit prints it to standard error and exits with 1.
void usage_set(const char* usage_format);
[[noreturn]] void usage_exit();

// Exit code for a fatal path: never 0.
inline int fatal_code(int code) { return code == 0 ? -1 : code; }

extern const char tool_version[];  // "1.0.3"
