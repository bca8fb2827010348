// The alert writer's file side: one alert text, one new file.
#pragma once

#include <cstdint>

// Most names tried for one alert before it goes to the log instead.
constexpr uint32_t alert_name_tries = 1000000;

// Writes `text` into a new file "<dir>/<n>.alert", n being the first number
// after *counter whose name is free; *counter ends at the last number tried.
// Names are created exclusively: an existing entry of any kind (a symlink
// too, dangling or not) is never opened, it only moves the search on.
// 0 when the whole text is in the file; -1 when no file could be made or the
// text could not be stored whole, in which case no file is left behind.
int alert_file_write(const char* dir, uint32_t* counter, const char* text);
