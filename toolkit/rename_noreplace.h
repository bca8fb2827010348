// Renaming that never replaces an existing file.
#pragma once

// Renames `from` to `to` only when `to` does not exist (EEXIST otherwise).
// Uses the kernel's no-replace rename, or link + unlink on file systems
// without it. 0, or the error number (also left in errno): EEXIST when `to`
// exists.
int rename_noreplace(const char* from, const char* to);
