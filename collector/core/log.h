// The collector's log: one stamped line per message, written whole under one
// process-wide mutex, to the log file or, before one is open, the console.
#pragma once

#include <cstdarg>
#include <cstddef>

// Opens the log file for appending. On failure the lines stay on the
// console, and one line "cannot open log file <path>: <errno>" on standard
// error says so.
void log_open(const char* path);

int log_message(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int log_message_v(const char* fmt, va_list ap);

// Writes a "*** ERROR *** " line and ends the process with `code` (never 0).
// The log mutex stays held through exit, so this line is the last one.
[[noreturn]] void log_error_exit(int code, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void log_error_exit_v(int code, const char* fmt, va_list ap);

// The fatal line for memory that ran out where an allocation throws
// (new, the standard containers): "malloc() failed: 12", exit code ENOMEM.
[[noreturn]] void log_out_of_memory();

int log_lock();
int log_unlock();

// Local time as "%Y/%m/%d %H:%M:%S"; nullptr when it does not fit.
char* time_stamp(char* buffer, size_t size);

// Binds log_error_exit as the toolkit's fatal reporter.
void log_bind_fatal_reporter();

// Tests only: closes the log file and returns output to the console.
void log_close_for_tests();
