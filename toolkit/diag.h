// Diagnostics shared by every program: the fatal reporter hook, the tools'
// "ERROR: " / "INFO: " lines, the usage printer and a tool's first call.
//
// How the toolkit fails (one convention for every program that links it):
// - A function that may fail for a reason its caller can act on returns 0
//   or an error number: the failing call's errno, or -1 when it refused to
//   go on. The file layer (file_error.h: out_file, list_file, fd_io,
//   file_lock, replace_file, replace_set, commit_record) also fills an
//   optional file_error with the whole message; rename_noreplace returns
//   the error number alone.
// - Only these end the process, through the bound fatal reporter, because
//   every caller relies on them never returning empty-handed and could do
//   nothing better than end: xalloc, xrealloc, xstrdup, strlist_node_new
//   and strlist_split (memory; and operator new once alloc_failure_is_fatal
//   ran); dsreader_open and dsreader_next (a dataset that cannot be opened
//   or read, a line of too many fields); filter_parse_index and the
//   filter_*_parse parsers (a bad command-line value); usage_exit; fatal.
// - The rest cannot fail: text, echo_text (beyond memory, as above),
//   number, list_sort, the filter tests.
// A program's edge (a tool's main and the frame its folder shares) turns a
// returned error into an exit with file_error_check or file_error_exit, and
// reports its own failures with fatal, so that every exit passes the bound
// reporter (which may first remove a run's unfinished files).
#pragma once

#include <cstdarg>

// The one function through which every failure inside the toolkit ends the
// process. Tools keep the default (error_exit); harvd binds its log
// facility's fatal line before anything else runs.
using fatal_reporter = void (*)(int code, const char* fmt, va_list ap);

// Binds the reporter; nullptr restores the default. Returns the previous one.
fatal_reporter fatal_reporter_set(fatal_reporter reporter);

// Reports through the bound reporter and never returns.
[[noreturn]] void fatal(int code, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void fatal_v(int code, const char* fmt, va_list ap);

// The tools' fatal reporter, the default: "ERROR: " + message + '\n' on
// standard error, then exit(code). A code of 0 becomes -1: a fatal path
// never reports success. A reporter a tool binds ends by calling it.
[[noreturn]] void error_exit(int code, const char* fmt, va_list ap);

// "INFO: " + message + '\n' on standard error; processing goes on.
void log_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The usage printer: each tool hands its text (with one "%s" for the version)
// once at start-up; usage_exit prints it to standard error and exits with 1.
void usage_set(const char* usage_format);
[[noreturn]] void usage_exit();

// A tool's first call: a failed allocation anywhere becomes fatal
// (alloc_failure_is_fatal) and `usage_format` is the usage text.
void tool_start(const char* usage_format);

// Exit code for a fatal path: never 0.
inline int fatal_code(int code) { return code == 0 ? -1 : code; }

extern const char tool_version[];  // "1.0.3"
