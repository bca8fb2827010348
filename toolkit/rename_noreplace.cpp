#include "toolkit/rename_noreplace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int rename_noreplace(const char* from, const char* to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        return errno;
    }
    // No atomic no-replace rename here: link fails with EEXIST on its own.
    if (link(from, to) != 0) {
        return errno;
    }
    if (unlink(from) != 0) {
        int err = errno;
        unlink(to);  // leave one name, not two
        errno = err;
        return err;
    }
    return 0;
}
