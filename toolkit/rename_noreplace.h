// Renaming that never replaces an existing file.
#pragma once

// Renames `from` to `to` only when `to` does not exist (EEXIST otherwise).
// Uses the kernel's no-replace rename, or link + unlink on file systems
// without it. 0, or -1 with errno set.
int rename_noreplace(const char* from, const char* to);
