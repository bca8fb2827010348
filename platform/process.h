// Process and thread identities as the log prefix prints them.
#pragma once

int platform_process_id();
unsigned platform_thread_id();  // the kernel thread id
