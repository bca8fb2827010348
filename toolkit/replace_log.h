// Replacing a log that others append to (an alert log pruned in place), on
// top of replace_file.h. Entries may reach the old file after the copy
// ended: the run carries them over once the new file has taken the path.
// A run cut off after the swap leaves the old file at "<log>.old"; whether
// it holds entries the log lacks is told by a commit record beside the log
// ("<log>.commit", commit_record.h, with one file and the offset where the
// copy ended), written before the swap and removed after "<log>.old".
//
//   replace_file_lock(rf, path, noun)
//   replace_log_settle(rf, tool)   what a cut-off run left (below)
//   replace_file_create, the new content, replace_file_complete
//   replace_log_swap(rf, copied)   the record, then replace_file_swap
//   carry over what reached the old file (open on rf.lock.fd)
//   replace_log_finish(rf)         removes "<log>.old", the record, syncs
//
// Status convention of the file layer (file_error.h).
#pragma once

#include <cstdint>

#include "toolkit/file_error.h"
#include "toolkit/replace_file.h"

// Settles what an interrupted run of `tool` left at the log. Its record
// (only when it is this user's own, file_trust.h) proves a "<log>.old" to be
// that run's old file; one that gained nothing after the copy ended is
// removed, as the log holds all it is to keep of it. Any other "<log>.old"
// is refused (-1) before anything is written: "'<log>.old' is left by an
// interrupted <tool>: append to '<log>' the entries at its end that it
// lacks, then remove it". A record with nothing left to finish is removed.
int replace_log_settle(replace_file& rf, const char* tool, file_error* err);

// Makes sure the path still names the log read (replace_file_unchanged),
// writes the record with `copied`, and swaps (replace_file_swap). A failure
// before the new file takes the path removes the record too; from then on
// the record stays until replace_log_finish.
int replace_log_swap(replace_file& rf, int64_t copied, file_error* err);

// Removes "<log>.old" (replace_file_remove_old), then the record, and syncs
// the directory.
int replace_log_finish(replace_file& rf, file_error* err);
