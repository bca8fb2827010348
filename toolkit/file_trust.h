// Whether a file an earlier run left behind may be acted on. A run removes
// or renames such a file only when this run's user made it and no other
// user could have changed it since: otherwise a file planted by someone
// else (a commit record, a join record) could steer a run, perhaps one with
// more rights than the planter, into removing or replacing files.
#pragma once

#include <sys/stat.h>

#include <string>

#include "toolkit/file_error.h"

// Owned by the effective user and writable by no one else (no group or
// other write bit).
bool file_is_own(const struct stat& st);

// A regular file, and one of the effective user's own as above: the test for
// a record or temporary file that carries no identity of its own to check.
bool file_is_own_regular(const struct stat& st);

// A file meant to take the place of `target`, or that held its content: one
// of this user's own, or one of the target's owner that grants writing to
// no one who cannot write the target. (A run as root gives each new file
// its dataset's owner and permission bits.)
bool file_may_stand_for(const struct stat& st, const struct stat& target);

// The refusal (-1) when a commit record would have the run act on a file
// that fails these tests (the record itself included): names both, and says
// how to clear the state.
int file_trust_refusal(const std::string& path, const std::string& record_path, file_error* err);
