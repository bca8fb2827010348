#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/process.h"
#include "tools/alertlog/log_tail.h"
#include "toolkit/out_file.h"

namespace {

// Entries appended to the log after its tail was found (while the prune
// runs) are copied too, not cut off at the size the scan saw.
TEST(LogTail, EntriesAppendedAfterTheScanAreKept)
{
    temp_dir dir;
    const std::string log = dir.file("log");
    write_file(log, "a\nb\nc\nd\n");
    int fd = open(log.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int64_t start = log_tail_start(fd, 8, 2, log.c_str());
    EXPECT_EQ(start, 4);

    int appender = open(log.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(appender, 0);
    ASSERT_EQ(write(appender, "e\n", 2), 2);
    close(appender);

    out_file out;
    file_error err;
    ASSERT_EQ(out_file_open(out, dir.file("out").c_str(), OUT_FILE_REPLACE, &err), 0) << err.message;
    ASSERT_EQ(out_file_start(out, &err), 0) << err.message;
    log_tail_copy(fd, start, log.c_str(), out);
    ASSERT_EQ(out_file_close(out, &err), 0) << err.message;
    close(fd);
    EXPECT_EQ(read_file(dir.file("out")), "c\nd\ne\n");
}

}  // namespace
