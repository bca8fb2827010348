// Stopping a console run: SIGINT and SIGTERM request the same stop as the
// service control path; a second SIGINT ends the process at once.
#pragma once

// Call before any other thread is started: blocks both signals in every
// thread to come and starts the thread that waits for them. When that thread
// cannot be started the signals are unblocked again and keep their default
// action.
void console_stop_start();
