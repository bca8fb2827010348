// How the alert log tools end a run on a file failure, and open the log
// they read.
#pragma once

#include <cstdio>

#include "toolkit/file_error.h"

// Ends the run with the file layer's diagnostic when `rc` is not 0.
void alertlog_check(int rc, const file_error& err);

// Ends the run with "write(<path>) failed: <errno>" when `rc` is not 0.
void alertlog_write_check(int rc, const file_error& err);

// The alert log at `path`, open for reading; the run ends with
// "fopen(<path>) failed: <errno>" when it cannot be opened.
FILE* alertlog_open_input(const char* path);
