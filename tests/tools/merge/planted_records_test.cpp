// Commit records steer a run only when the run's own user wrote them: a
// record planted by another user removes or replaces nothing, and every
// refusal that comes from a record names it.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>

#include <string>
#include <vector>

#include "tests/support/as_user.h"
#include "tests/support/planted_record.h"
#include "tests/support/process.h"
#include "tests/support/syscall_kill.h"
#include "tests/tools/merge/merge_support.h"

namespace {

// Writes the copies of one record beside each of `paths`, each entry
// naming a path with the identities given.
std::string write_record(const std::vector<commit_entry>& entries, const std::vector<std::string>& beside)
{
    commit_record record;
    record.entries = entries;
    return write_commit_record(record, beside);
}

struct stat_of {
    uid_t uid;
    ino_t ino;
};

stat_of owner_and_inode(const std::string& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return {st.st_uid, st.st_ino};
}

// One report data file merged into one dataset.
const file_set one_merge = {{"files", "r\n"}, {"datasets", "d1\n"}, {"r", "a|1=1\n"}, {"d1", "b|1=1\n"}};

const char refused_d1[] =
    "ERROR: 'd1.commit' is another user's or others can write it: commit record 'd1.commit' is not acted on; "
    "remove the record to give its run up\n";

// Runs `tool` over the run's files in `dir`: it refuses for d1's record and
// leaves every name in the folder as it was.
void expect_refused_for_d1(const std::string& tool, const std::string& dir)
{
    const std::vector<std::string> before = list_dir(dir);
    process_result res = run_merge(tool, {"files", "datasets"}, dir);
    EXPECT_EQ(res.status, 255);
    EXPECT_EQ(res.err, refused_d1);
    EXPECT_EQ(list_dir(dir), before);
}

// nobody writes a record in its own dataset folder that names a file in a
// folder only root can write, as if an uncommitted run had left its new
// file and record there. Root's merge over nobody's dataset must not remove
// them.
TEST(PlantedRecords, UncommittedRecordOfAnotherUserRemovesNothing)
{
    test_user nobody;
    SKIP_WITHOUT_NOBODY(nobody, "to plant the record");
    temp_dir top;
    ASSERT_EQ(chmod(top.path().c_str(), 0755), 0);
    const std::string ds = top.file("ds"), other = top.file("O");
    ASSERT_EQ(mkdir(ds.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
    write_all(ds, one_merge);
    ASSERT_EQ(chown(ds.c_str(), nobody.uid, nobody.gid), 0);
    ASSERT_EQ(chown((ds + "/d1").c_str(), nobody.uid, nobody.gid), 0);
    write_file(other + "/job", "root's job\n");
    write_file(other + "/job.new", "root's next job\n");
    write_file(other + "/job.commit.tmp", "root's record, half written\n");

    const std::string planted = run_as(nobody, [&] {
        return write_record({{ds + "/d1", id_of(ds + "/d1"), {}},
                             {other + "/job", id_of(other + "/job"), id_of(other + "/job.new")}},
                            {ds + "/d1"});
    });
    ASSERT_EQ(planted, "");

    expect_refused_for_d1("peakfuse", ds);
    EXPECT_EQ(read_file(other + "/job.new"), "root's next job\n");
    EXPECT_EQ(read_file(other + "/job.commit.tmp"), "root's record, half written\n");
    EXPECT_EQ(read_file(other + "/job"), "root's job\n");
    EXPECT_EQ(read_file(ds + "/d1"), "b|1=1\n");
}

// In a folder everyone may write (sticky, as /tmp), nobody plants a new
// file beside root's file and a complete record naming both that and its
// own dataset, as if a committed run had been cut off. Root's merge over
// nobody's dataset must not put nobody's file in the place of root's.
TEST(PlantedRecords, CommittedRecordOfAnotherUserReplacesNothing)
{
    test_user nobody;
    SKIP_WITHOUT_NOBODY(nobody, "to plant the record");
    const sticky_folder folder;
    const std::string& shared = folder.path();
    ASSERT_NE(shared, "");
    write_all(shared, {{"victim", "root's data\n"}, {"files", "r\n"}, {"datasets", "d1\n"}, {"r", "a|5\n"}});

    const std::string planted = run_as(nobody, [&] {
        write_file(shared + "/d1", "b|1\n");
        write_file(shared + "/victim.new", "nobody's data\n");
        return write_record({{shared + "/d1", id_of(shared + "/d1"), {}},
                             {shared + "/victim", id_of(shared + "/victim"), id_of(shared + "/victim.new")}},
                            {shared + "/d1", shared + "/victim"});
    });
    ASSERT_EQ(planted, "");
    const stat_of victim = owner_and_inode(shared + "/victim");

    expect_refused_for_d1("recentfuse", shared);
    EXPECT_EQ(read_file(shared + "/victim"), "root's data\n");
    EXPECT_EQ(owner_and_inode(shared + "/victim").uid, victim.uid);
    EXPECT_EQ(owner_and_inode(shared + "/victim").ino, victim.ino);
    EXPECT_EQ(read_file(shared + "/victim.new"), "nobody's data\n");
}

// Root merging into another user's dataset gives the new file that user
// (and the dataset's bits): such a new file, left by root's own run cut
// off after it committed, is still the run's to swap in.
TEST(PlantedRecords, RootsOwnRunOverAnotherUsersDatasetIsFinished)
{
    test_user nobody;
    SKIP_WITHOUT_NOBODY(nobody, "to own the dataset");
    SKIP_WITHOUT_STRACE();
    temp_dir dir;
    write_all(dir.path(), one_merge);
    ASSERT_EQ(chown(dir.file("d1").c_str(), nobody.uid, nobody.gid), 0);
    ASSERT_EQ(chmod(dir.file("d1").c_str(), 0664), 0);
    process_result killed = run_killed_at({merge_tool("peakfuse"), "files", "datasets"}, dir.path(), "renameat2", 1,
                                          "d1.new");
    ASSERT_EQ(killed.signal, SIGKILL);
    ASSERT_EQ(owner_and_inode(dir.file("d1.new")).uid, nobody.uid);
    process_result res = run_merge("peakfuse", {"files", "datasets"}, dir.path());
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.err, "INFO: finished replacing '" + dir.file("d1") + "' for an interrupted run\n");
    EXPECT_EQ(read_file(dir.file("d1")), "a|1=2\nb|1=1\n");
    EXPECT_EQ(owner_and_inode(dir.file("d1")).uid, nobody.uid);
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"d1", "datasets", "files", "r"}));
}

// A record of this user that names something no run can have replaced (a
// FIFO, a folder, a device, a link, a path too long for the system), or
// that others can write: the run stops before it writes anything, and the
// message says which record is in the way.
TEST(RecordRefusals, EveryRefusalNamesTheRecord)
{
    temp_dir dir, elsewhere;
    ASSERT_EQ(mkfifo(elsewhere.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(elsewhere.file("folder").c_str(), 0755), 0);
    write_file(elsewhere.file("plain"), "x\n");
    ASSERT_EQ(symlink("plain", elsewhere.file("link").c_str()), 0);
    const std::string too_long = elsewhere.path() + "/" + std::string(5000, 'n');
    const std::string named = " (named in commit record 'd1.commit')\n";
    struct row {
        std::string other;  // the second file the record names
        mode_t record_mode;
        int status;
        std::string err;
    } rows[] = {
        {elsewhere.file("fifo"), 0600, 255, "ERROR: dataset '" + elsewhere.file("fifo") + "' is not a regular file" + named},
        {elsewhere.file("folder"), 0600, 255,
         "ERROR: dataset '" + elsewhere.file("folder") + "' is not a regular file" + named},
        {elsewhere.file("link"), 0600, 255, "ERROR: dataset '" + elsewhere.file("link") + "' is not a regular file" + named},
        {"/dev/null", 0600, 255, "ERROR: dataset '/dev/null' is not a regular file" + named},
        {too_long, 0600, ENAMETOOLONG, "ERROR: fopen(" + too_long + ") failed: 36" + named},
        {elsewhere.file("plain"), 0606, 255, refused_d1},
    };
    for (const row& r : rows) {
        write_all(dir.path(), one_merge);
        ASSERT_EQ(write_record({{dir.file("d1"), id_of(dir.file("d1")), {}}, {r.other, {}, {}}}, {dir.file("d1")}),
                  "");
        ASSERT_EQ(chmod(dir.file("d1.commit").c_str(), r.record_mode), 0);
        const std::string record = read_file(dir.file("d1.commit"));
        process_result res = run_merge("peakfuse", {"files", "datasets"}, dir.path());
        EXPECT_EQ(res.status, r.status) << r.other.substr(0, 80);
        EXPECT_EQ(res.err, r.err);
        EXPECT_EQ(read_file(dir.file("d1")), "b|1=1\n");
        EXPECT_EQ(read_file(dir.file("d1.commit")), record);
        EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"d1", "d1.commit", "datasets", "files", "r"}));
        unlink(dir.file("d1.commit").c_str());
    }
    EXPECT_EQ(read_file(elsewhere.file("plain")), "x\n");
}

// A committed record of this user whose new file is not there (another
// file, or none, at "d1.new"): nothing is replaced, so nothing is said,
// the record goes and the run merges as usual.
TEST(RecordRefusals, NothingFinishedNothingSaid)
{
    temp_dir dir;
    write_all(dir.path(), one_merge);
    write_file(dir.file("d1.new"), "z|9=9\n");
    file_id wrong = id_of(dir.file("d1"));
    wrong.ino += 1000003;
    ASSERT_EQ(write_record({{dir.file("d1"), id_of(dir.file("d1")), wrong}}, {dir.file("d1")}), "");
    process_result res = run_merge("peakfuse", {"files", "datasets"}, dir.path());
    EXPECT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(read_file(dir.file("d1")), "a|1=1\nb|1=1\n");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"d1", "datasets", "files", "r"}));
}

}  // namespace
