// The descriptor read and write loops with 64-bit positions.
#include "toolkit/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "tests/support/process.h"

namespace {

TEST(FdIo, PositionsBeyond4GiB)
{
    temp_dir dir;
    std::string path = dir.file("sparse");
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const int64_t far = (int64_t{5} << 30) + 3;  // past both 2 GiB and 4 GiB
    file_error err;
    int64_t at = 0;
    ASSERT_EQ(fd_seek(fd, far, SEEK_SET, &at, "sparse", &err), 0);
    EXPECT_EQ(at, far);
    ASSERT_EQ(fd_write_all(fd, "tail\n", 5, "sparse", &err), 0);
    int64_t size = 0;
    ASSERT_EQ(fd_size(fd, &size, "sparse", &err), 0);
    EXPECT_EQ(size, far + 5);
    char buf[16] = {};
    size_t got = 0;
    ASSERT_EQ(fd_read_at(fd, buf, sizeof buf, far - 2, &got, "sparse", &err), 0);
    EXPECT_EQ(got, 7u);  // stops at the end of the file
    EXPECT_EQ(std::string(buf, got), std::string("\0\0tail\n", 7));
    ASSERT_EQ(fd_seek(fd, far, SEEK_SET, nullptr, "sparse", &err), 0);
    ASSERT_EQ(fd_read_all(fd, buf, sizeof buf, &got, "sparse", &err), 0);
    EXPECT_EQ(std::string(buf, got), "tail\n");
    close(fd);

    // A pipe has no positions; a read-only descriptor takes no writes.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(fd_seek(fds[0], 0, SEEK_END, nullptr, "pipe", &err), ESPIPE);
    EXPECT_EQ(err.message, "lseek(pipe) failed: 29");
    EXPECT_EQ(fd_write_all(fds[0], "x", 1, "pipe", &err), EBADF);
    EXPECT_EQ(err.message, "write(pipe) failed: 9");
    close(fds[0]);
    close(fds[1]);
}

// Over a pipe, where reads and writes come in pieces: the read-all loop
// stops only at the end, one read takes what is there, and the write-all
// loop says how much went before it failed.
TEST(FdIo, ReadAndWriteLoopsOverAPipe)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    file_error err;
    ASSERT_EQ(fd_write_all(fds[1], "abc", 3, "pipe", &err), 0);
    char buf[8];
    size_t got = 0;
    ASSERT_EQ(fd_read_some(fds[0], buf, sizeof buf, &got, "pipe", &err), 0);
    EXPECT_EQ(std::string(buf, got), "abc");
    ASSERT_EQ(fd_write_all(fds[1], "defgh", 5, "pipe", &err), 0);
    close(fds[1]);
    ASSERT_EQ(fd_read_all(fds[0], buf, 4, &got, "pipe", &err), 0);
    EXPECT_EQ(std::string(buf, got), "defg");
    ASSERT_EQ(fd_read_all(fds[0], buf, 4, &got, "pipe", &err), 0);
    EXPECT_EQ(std::string(buf, got), "h");  // the end came first
    ASSERT_EQ(fd_read_some(fds[0], buf, sizeof buf, &got, "pipe", &err), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(fd_read_some(fds[1], buf, sizeof buf, &got, "pipe", &err), EBADF);  // closed
    EXPECT_EQ(err.message, "read(pipe) failed: 9");
    close(fds[0]);

    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    int capacity = fcntl(fds[1], F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    std::string more(static_cast<size_t>(capacity) + 100, 'x');
    size_t written = 0;
    EXPECT_EQ(fd_write_all(fds[1], more.data(), more.size(), "full", &err, &written), EAGAIN);
    EXPECT_EQ(written, static_cast<size_t>(capacity));
    EXPECT_EQ(err.message, "write(full) failed: 11");
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
