// The alert writer's file side: one alert text, one new file.
#pragma once

#include <cstdint>

// Most names tried for one alert before it goes to the log instead.
constexpr uint32_t alert_name_tries = 1000000;

// Writes `text` into a new file "<dir>/<n>.alert", n being the first number
// after *counter whose name is free; *counter ends at the last number tried.
// The text is written into an unnamed file of the directory first (or a
// ".alert-*" temporary where unnamed files are refused), which then gets its
// name without replacing anything: a reader, a crash or a second Ctrl-C never
// sees a partial alert file. An existing entry of any kind (a symlink too,
// dangling or not) is never opened, it only moves the search on.
// 0 when the whole text is in the file; -1 when no file could be made or the
// text could not be stored whole, in which case no file is left behind.
int alert_file_write(const char* dir, uint32_t* counter, const char* text);

// The writer's thread routine for the collector context `collector`: writes
// every alert of its queue (alert_queue.h) to its own file in its
// alert_dir_path, or to the log when it cannot have one; never returns.
void* alert_thread(void* collector);
