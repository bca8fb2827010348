#include "toolkit/out_file.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <sched.h>
#include <string>

#include "tests/support/process.h"
#include "tests/toolkit/child_run.h"
#include "toolkit/fd_io.h"
#include "toolkit/replace_file.h"

namespace {

const std::string input_text = "1|a|b|c\n2|d|e|f\n";

struct open_input {
    int fd = -1;
    explicit open_input(const std::string& path) : fd(open(path.c_str(), O_RDONLY)) {}
    ~open_input() { if (fd >= 0) close(fd); }
};

TEST(OutFile, SameFileByAnyNameRefusedBeforeTruncating)
{
    temp_dir dir;
    std::string input = dir.file("input.log");
    write_file(input, input_text);
    ASSERT_EQ(symlink(input.c_str(), dir.file("sym").c_str()), 0);
    ASSERT_EQ(link(input.c_str(), dir.file("hard").c_str()), 0);
    open_input in(input);
    ASSERT_GE(in.fd, 0);
    const std::string by_descriptor = "/proc/self/fd/" + std::to_string(in.fd);
    for (const std::string& name : {input, dir.file("sym"), dir.file("hard"), dir.path() + "/./input.log", by_descriptor}) {
        for (int mode : {OUT_FILE_REPLACE, OUT_FILE_APPEND}) {
            out_file out;
            file_error err;
            ASSERT_EQ(out_file_open(out, name.c_str(), mode, &err), 0) << err.message;
            EXPECT_EQ(out_file_guard(out, in.fd, input.c_str(), &err), -1) << name;
            EXPECT_EQ(err.code, -1);
            EXPECT_EQ(err.message, "outfile '" + name + "' is the same file as input '" + input + "'");
            EXPECT_EQ(read_file(input), input_text) << name;
        }
    }
    // Another file passes and is emptied only by out_file_start.
    std::string other = dir.file("other");
    write_file(other, "previous content\n");
    out_file out;
    file_error err;
    ASSERT_EQ(out_file_open(out, other.c_str(), OUT_FILE_REPLACE, &err), 0);
    EXPECT_EQ(out_file_guard(out, in.fd, input.c_str(), &err), 0);
    EXPECT_EQ(read_file(other), "previous content\n");
    ASSERT_EQ(out_file_start(out, &err), 0);
    ASSERT_EQ(out_file_puts(out, "new\n", &err), 0);
    ASSERT_EQ(out_file_close(out, &err), 0);
    EXPECT_EQ(read_file(other), "new\n");
    EXPECT_TRUE(out.is_stdout());
}

TEST(OutFile, AppendKeepsWhatIsThere)
{
    temp_dir dir;
    std::string path = dir.file("log");
    write_file(path, "first\n");
    out_file out;
    file_error err;
    ASSERT_EQ(out_file_open(out, path.c_str(), OUT_FILE_APPEND, &err), 0);
    ASSERT_EQ(out_file_start(out, &err), 0);
    ASSERT_EQ(out_file_printf(out, &err, "%s|%d\n", "second", 2), 0);
    ASSERT_EQ(out_file_close(out, &err), 0);
    EXPECT_EQ(read_file(path), "first\nsecond|2\n");
}

// Lines reach the file in whole blocks of OUT_FILE_BUFFER bytes, not in the
// C library's default 4 KiB; the buffer moves with the output.
TEST(OutFile, WritesWholeBlocks)
{
    temp_dir dir;
    std::string path = dir.file("out");
    out_file out;
    file_error err;
    ASSERT_EQ(out_file_open(out, path.c_str(), OUT_FILE_REPLACE, &err), 0);
    ASSERT_EQ(out_file_start(out, &err), 0);
    const std::string line = "1700000000|3|rule-1|node-2|dns-query-watch|host1.example\n";
    std::string want;
    auto size_now = [&] {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : size_t{0};
    };
    while (want.size() + line.size() < OUT_FILE_BUFFER) {
        ASSERT_EQ(out_file_write(out, line.data(), line.size(), &err), 0);
        want += line;
    }
    EXPECT_EQ(size_now(), 0u) << "written before a block was full";
    out_file moved(std::move(out));
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(out_file_write(moved, line.data(), line.size(), &err), 0);
        want += line;
    }
    EXPECT_EQ(size_now(), OUT_FILE_BUFFER);
    ASSERT_EQ(out_file_close(moved, &err), 0);
    EXPECT_EQ(read_file(path), want);
}

TEST(OutFile, OpenFailureNamesThePath)
{
    temp_dir dir;
    out_file out;
    file_error err;
    std::string path = dir.file("no/such/out");
    EXPECT_EQ(out_file_open(out, path.c_str(), OUT_FILE_REPLACE, &err), ENOENT);
    EXPECT_EQ(err.message, "fopen(" + path + ") failed: 2");
    EXPECT_EQ(out_file_open(out, dir.path().c_str(), OUT_FILE_REPLACE, &err), EISDIR);
    EXPECT_TRUE(out.is_stdout());
}

// Standard output redirected onto the input, and standard output closed:
// each is told as what it is.
TEST(OutFile, StandardOutputChecks)
{
    temp_dir dir;
    std::string input = dir.file("input.log");
    write_file(input, input_text);
    std::string result = run_in_child([&]() -> std::string {
        int fd = open(input.c_str(), O_RDWR);
        if (fd < 0 || dup2(fd, 1) != 1) return "redirect failed";
        close(fd);
        open_input in(input);
        out_file out;
        file_error err;
        if (out_file_guard(out, in.fd, input.c_str(), &err) != -1 ||
            err.message != "standard output is the same file as input '" + input + "'") {
            return "stdout onto the input: " + err.message;
        }
        // "/dev/stdout" names the same file.
        if (out_file_open(out, "/dev/stdout", OUT_FILE_REPLACE, &err) != 0 ||
            out_file_guard(out, in.fd, input.c_str(), &err) != -1 ||
            err.message != "outfile '/dev/stdout' is the same file as input '" + input + "'") {
            return "/dev/stdout onto the input: " + err.message;
        }
        return "";
    });
    EXPECT_EQ(result, "");
    EXPECT_EQ(read_file(input), input_text);

    result = run_in_child([&]() -> std::string {
        close(1);
        file_error err;
        if (std_descriptors_reserve(&err) != 0) return "reserve: " + err.message;
        open_input in(input);  // must not land on descriptor 1
        if (in.fd == 1) return "input opened as standard output";
        out_file out;
        if (out_file_guard(out, in.fd, input.c_str(), &err) != 0) return "guard: " + err.message;
        if (out_file_start(out, &err) != EBADF || err.message != "write(stdout) failed: 9") {
            return "start: " + err.message;
        }
        return "";
    });
    EXPECT_EQ(result, "");
}

// The failure of a full device is reported where it shows: at the write
// when the bytes leave the buffer at once, else when it is flushed.
TEST(OutFile, FullDeviceReportedAtWriteAndAtClose)
{
    const std::string big(200000, 'x');
    for (bool at_write : {true, false}) {
        out_file out;
        file_error err;
        ASSERT_EQ(out_file_open(out, "/dev/full", OUT_FILE_REPLACE, &err), 0);
        ASSERT_EQ(out_file_start(out, &err), 0);
        if (at_write) {
            EXPECT_EQ(out_file_write(out, big.data(), big.size(), &err), ENOSPC);
            EXPECT_EQ(err.message, "write(/dev/full) failed: 28");
        } else {
            EXPECT_EQ(out_file_puts(out, "one line\n", &err), 0);
        }
        err = file_error{};
        EXPECT_EQ(out_file_close(out, &err), ENOSPC);
        EXPECT_EQ(err.message, "write(/dev/full) failed: 28");
    }
}

// A file system with two pages of room, in a mount namespace of a child.
std::string in_small_tmpfs(const std::string& where, std::string (*fn)(const std::string&))
{
    return run_in_child([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0) return "skip: unshare: " + std::to_string(errno);
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "skip: private mounts";
        if (mount("tmpfs", where.c_str(), "tmpfs", 0, "size=8k") != 0) return "skip: mount tmpfs";
        return fn(where);
    });
}

std::string full_tmpfs_cases(const std::string& dir)
{
    std::string result;
    auto check = [&](bool ok, const std::string& what) {
        if (!ok) result += what + "; ";
    };
    const std::string big(64 * 1024, 'y');
    // Plain output: at the write, and at the close for a small buffered write.
    {
        out_file out;
        file_error err;
        std::string path = dir + "/out";
        check(out_file_open(out, path.c_str(), OUT_FILE_REPLACE, &err) == 0, "open");
        check(out_file_start(out, &err) == 0, "start");
        check(out_file_write(out, big.data(), big.size(), &err) == ENOSPC &&
                  err.message == "write(" + path + ") failed: 28",
              "write: " + err.message);
        out_file_close(out, nullptr);
        unlink(path.c_str());
    }
    // Replace in place: the original keeps its content when the new file
    // cannot be written, whether that shows at a write or at the commit.
    const std::string original = "k|1=1\n";
    for (size_t size : {big.size(), size_t{6000}}) {
        std::string path = dir + "/dataset";
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
        file_error err;
        check(fd >= 0 && fd_write_all(fd, original.data(), original.size(), "dataset", &err) == 0, "fixture");
        close(fd);
        // Leave less room than `size` for the new file.
        std::string filler = dir + "/filler";
        fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const std::string page(4096, 'f');
        check(fd >= 0 && fd_write_all(fd, page.data(), page.size(), "filler", &err) == 0, "filler");
        close(fd);

        replace_file rf;
        check(replace_file_lock(rf, path, "dataset", nullptr, &err) == 0, "replace lock");
        check(replace_file_create(rf, &err) == 0, "replace create");
        check(out_file_start(rf.out, &err) == 0, "replace start");
        int rc = out_file_write(rf.out, big.data(), size, &err);
        if (rc == 0) {
            rc = replace_file_commit(rf, &err);
        }
        check(rc == ENOSPC && err.message == "write(" + path + ".new) failed: 28",
              "replace " + std::to_string(size) + ": " + err.message);
        check(read_file(path) == original, "original changed");
        check(!file_exists(path + ".old"), "renamed after a failed write");
        unlink(filler.c_str());
        unlink((path + ".new").c_str());
        unlink(path.c_str());
    }
    return result;
}

TEST(OutFile, FullFileSystemReported)
{
    temp_dir dir;
    std::string result = in_small_tmpfs(dir.path(), full_tmpfs_cases);
    if (result.rfind("skip: ", 0) == 0) {
        GTEST_SKIP() << "no private tmpfs here: " << result;
    }
    EXPECT_EQ(result, "");
}

}  // namespace
