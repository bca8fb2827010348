#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/heap_usage.h"
#include "tests/support/process.h"
#include "tests/toolkit/fatal_capture.h"
#include "tests/toolkit/dsreader_model.h"
#include "toolkit/dsreader.h"

namespace {

struct line {
    std::string text;
    int fields;
    bool operator==(const line& o) const { return text == o.text && fields == o.fields; }
};

std::ostream& operator<<(std::ostream& os, const line& l)
{
    return os << "'" << l.text << "' (" << l.fields << " fields)";
}

// What the reader must deliver: the pieces between '\n', each less one
// trailing '\r'; the piece at the far end of the reading direction only when
// it is not empty.
std::vector<line> model(const std::string& content, int direction)
{
    std::vector<std::string> pieces = dsreader_model_pieces(content, direction);
    std::vector<line> lines;
    for (std::string& p : pieces) {
        int fields = 1 + static_cast<int>(std::count(p.begin(), p.end(), '|'));
        lines.push_back({p, fields});
    }
    return lines;
}

// Every line, cut and rejoined, or read whole.
std::vector<line> read_all(const std::string& path, int direction, bool whole = false)
{
    dsreader_ptr reader(dsreader_open(path.c_str(), direction));
    std::vector<line> lines;
    while ((whole ? dsreader_next_whole(reader.get()) : dsreader_next(reader.get())) == 0) {
        int fields = reader->field_count;
        if (!whole) {
            dsreader_rejoin(reader.get(), '|');
        }
        lines.push_back({reader->line_start, fields});
        EXPECT_EQ(strlen(reader->line_start), reader->line_length);
    }
    EXPECT_EQ(dsreader_next(reader.get()), 1) << "the end stays the end";
    return lines;
}

void expect_matches_model(const std::string& path, const std::string& content, const std::string& what)
{
    for (int direction : {DSREADER_FORWARD, DSREADER_BACKWARD}) {
        for (bool whole : {false, true}) {
            EXPECT_EQ(read_all(path, direction, whole), model(content, direction))
                << what << ", direction " << direction << (whole ? ", whole" : "");
        }
    }
}

// A file of exactly `size` bytes: lines of up to 10 fields, some CR LF ends,
// a line of more than two blocks when there is room, and a "\r\n" pair split
// across every block boundary (the forward block divides the backward one).
std::string generated(size_t size, unsigned seed, int ending)
{
    std::mt19937 rng(seed);
    std::string text;
    bool long_line = size > 3 * DSREADER_BLOCK;
    while (text.size() < size) {
        size_t length = rng() % 90;
        if (long_line && text.size() > 1000) {
            length = 2 * DSREADER_BLOCK + 500;  // longer than two blocks
            long_line = false;
        }
        int separators = static_cast<int>(rng() % 10);
        std::string l;
        for (size_t i = 0; i < length; ++i) {
            l += static_cast<char>('a' + rng() % 26);
        }
        for (int s = 0; s < separators && !l.empty(); ++s) {
            l[rng() % l.size()] = '|';
        }
        text += l;
        text += (rng() % 3 == 0) ? "\r\n" : "\n";
    }
    text.resize(size);
    for (size_t b = DSREADER_FORWARD_BLOCK; b < size; b += DSREADER_FORWARD_BLOCK) {
        text[b - 1] = '\r';
        text[b] = '\n';
    }
    if (size >= 2) {
        if (ending == 0) text[size - 1] = '\n';
        if (ending == 1) { text[size - 2] = '\r'; text[size - 1] = '\n'; }
        if (ending == 2) text[size - 1] = 'z';
    }
    return text;
}

TEST(DsreaderModel, SmallFiles)
{
    temp_dir dir;
    const char* cases[] = {
        "", "\n", "a|b\nc|d\n", "a|b\nc|d", "\nx\n", "a\r\r\n", "a\rb\n", "|\n", "a|\n",
        "\r", "\r\n", "\n\n\n", "x", "a|b|c\r\nd\re|f\r",
    };
    for (const char* c : cases) {
        std::string path = dir.file("small");
        write_file(path, c);
        expect_matches_model(path, c, std::string("content '") + c + "'");
    }
}

TEST(DsreaderModel, SizesAroundBlockMultiples)
{
    temp_dir dir;
    // Around multiples of the read blocks, and of the line buffer's first size.
    const size_t B = DSREADER_BLOCK;
    const size_t F = DSREADER_FORWARD_BLOCK;
    const size_t L = DSREADER_LINE_BUF_START;
    const size_t sizes[] = {1, 2, L - 1, L, L + 1, 2 * L + 1, F - 1, F, F + 1, 2 * F + 1,
                            B - 1, B, B + 1, 2 * B - 1, 2 * B, 2 * B + 1, 3 * B + 7};
    unsigned seed = 1;
    for (size_t size : sizes) {
        for (int ending = 0; ending < 3; ++ending) {
            std::string content = generated(size, seed++, ending);
            ASSERT_EQ(content.size(), size);
            std::string path = dir.file("gen");
            write_file(path, content);
            expect_matches_model(path, content,
                                 "size " + std::to_string(size) + " ending " + std::to_string(ending));
        }
    }
}

TEST(DsreaderModel, KnownSplitsOfAShortFile)
{
    temp_dir dir;
    std::string path = dir.file("ab");
    write_file(path, "a|b\nc|d\n");
    std::vector<line> backward = {{"", 1}, {"c|d", 2}, {"a|b", 2}};
    EXPECT_EQ(read_all(path, DSREADER_BACKWARD), backward);
    std::vector<line> forward = {{"a|b", 2}, {"c|d", 2}};
    EXPECT_EQ(read_all(path, DSREADER_FORWARD), forward);
}

TEST(Dsreader, FieldsAreCutAndRejoined)
{
    temp_dir dir;
    std::string path = dir.file("f");
    write_file(path, "one|two||four\n");
    dsreader_ptr reader(dsreader_open(path.c_str(), DSREADER_FORWARD));
    ASSERT_EQ(dsreader_next(reader.get()), 0);
    ASSERT_EQ(reader->field_count, 4);
    EXPECT_STREQ(reader->fields[0], "one");
    EXPECT_STREQ(reader->fields[1], "two");
    EXPECT_STREQ(reader->fields[2], "");
    EXPECT_STREQ(reader->fields[3], "four");
    EXPECT_STREQ(reader->line_start, "one");
    // Lowering the count first leaves the last separator cut: the line
    // without its last field.
    reader->field_count = 3;
    dsreader_rejoin(reader.get(), '|');
    EXPECT_STREQ(reader->line_start, "one|two|");
    reader->field_count = 4;
    dsreader_rejoin(reader.get(), '|');
    EXPECT_STREQ(reader->line_start, "one|two||four");
}

TEST(Dsreader, NulInsideALineEndsWhatIsSeen)
{
    temp_dir dir;
    std::string path = dir.file("nul");
    write_file(path, std::string("a\0b|c\nd|e\n", 10));
    dsreader_ptr reader(dsreader_open(path.c_str(), DSREADER_FORWARD));
    ASSERT_EQ(dsreader_next(reader.get()), 0);
    EXPECT_EQ(reader->field_count, 1);
    EXPECT_STREQ(reader->line_start, "a");
    ASSERT_EQ(dsreader_next(reader.get()), 0);
    EXPECT_EQ(reader->field_count, 2);
    // Read whole, the line keeps every byte; its fields are counted as cut.
    reader.reset(dsreader_open(path.c_str(), DSREADER_FORWARD));
    ASSERT_EQ(dsreader_next_whole(reader.get()), 0);
    EXPECT_EQ(reader->field_count, 1);
    EXPECT_EQ(std::string(reader->line_start, reader->line_length), std::string("a\0b|c", 5));
}

TEST(Dsreader, TwentyFieldsAcceptedTwentyOneRefused)
{
    temp_dir dir;
    std::string twenty = "f1";
    for (int i = 2; i <= 20; ++i) twenty += "|f" + std::to_string(i);
    std::string path = dir.file("fields");
    write_file(path, twenty + "\n" + twenty + "|f21\n");
    for (int direction : {DSREADER_FORWARD, DSREADER_BACKWARD}) {
        for (auto next : {dsreader_next, dsreader_next_whole}) {
            dsreader_ptr reader(dsreader_open(path.c_str(), direction));
            // Forward the 20-field line comes first, backward the empty piece
            // after the last '\n'.
            ASSERT_EQ(next(reader.get()), 0);
            EXPECT_EQ(reader->field_count, direction == DSREADER_FORWARD ? 20 : 1);
            fatal_error e = expect_fatal([&] { next(reader.get()); });
            EXPECT_EQ(e.code, -1);
            EXPECT_EQ(e.message, "line 'f1' has too many fields (more than 20)");
        }
    }
    // The line is echoed with its control bytes escaped, read any way. No
    // '\n' at the end: backward, too, the line comes first.
    write_file(path, "\x1b[2J\r" + std::string(20, '|'));
    for (int direction : {DSREADER_FORWARD, DSREADER_BACKWARD}) {
        for (auto next : {dsreader_next, dsreader_next_whole}) {
            dsreader_ptr reader(dsreader_open(path.c_str(), direction));
            fatal_error e = expect_fatal([&] { next(reader.get()); });
            EXPECT_EQ(e.message, "line '%1;[2J%0=' has too many fields (more than 20)");
        }
    }
}

TEST(Dsreader, OpenFailures)
{
    temp_dir dir;
    std::string present = dir.file("present");
    write_file(present, "x\n");
    std::string missing = dir.file("missing");
    struct row {
        std::string path;
        int direction;
        int code;
        std::string message;
    } rows[] = {
        {missing, DSREADER_FORWARD, ENOENT, "fopen(" + missing + ") failed: 2"},
        {missing, 3, ENOENT, "fopen(" + missing + ") failed: 2"},  // the open is reported first
        {present, 3, -1, "unknown read direction '3'"},
        {present, 0, -1, "unknown read direction '0'"},
    };
    for (const row& r : rows) {
        fatal_error e = expect_fatal([&] { dsreader_open(r.path.c_str(), r.direction); });
        EXPECT_EQ(e.code, r.code) << r.message;
        EXPECT_EQ(e.message, r.message);
    }
}

TEST(Dsreader, PipeReadsForwardAndRefusesBackward)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "a|b\nc\n", 6), 6);
    close(fds[1]);
    std::string path = "/dev/fd/" + std::to_string(fds[0]);

    fatal_error e = expect_fatal([&] { dsreader_open(path.c_str(), DSREADER_BACKWARD); });
    EXPECT_EQ(e.code, ESPIPE);
    EXPECT_EQ(e.message, "lseek(" + path + ") failed: " + std::to_string(ESPIPE));

    std::vector<line> expected = {{"a|b", 2}, {"c", 1}};
    EXPECT_EQ(read_all(path, DSREADER_FORWARD), expected);
    close(fds[0]);
}

// A sparse file past 4 GiB costs no disk: its last lines must come from the
// right place, which 32-bit positions would get wrong.
TEST(Dsreader, BackwardPastFourGiB)
{
    temp_dir dir;
    std::string path = dir.file("big");
    const off_t size = (off_t{1} << 32) + 12345;
    std::string long_field(20000, 'm');  // spans the first block boundary from the end
    std::string tail = "\nfirst|x\n" + long_field + "|y\r\nlast|z\n";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, size), 0);
    ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), size - static_cast<off_t>(tail.size())),
              static_cast<ssize_t>(tail.size()));
    close(fd);

    dsreader_ptr reader(dsreader_open(path.c_str(), DSREADER_BACKWARD));
    EXPECT_EQ(reader->file_pos, size);
    std::vector<std::string> got;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(dsreader_next(reader.get()), 0);
        dsreader_rejoin(reader.get(), '|');
        got.emplace_back(reader->line_start);
    }
    std::vector<std::string> expected = {"", "last|z", long_field + "|y", "first|x"};
    EXPECT_EQ(got, expected);
}

TEST(Dsreader, ReadFailureNamesTheFile)
{
    temp_dir dir;
    // A directory opens like a file and fails at its first read.
    fatal_error e = expect_fatal([&] {
        dsreader_ptr reader(dsreader_open(dir.path().c_str(), DSREADER_FORWARD));
        dsreader_next(reader.get());
    });
    EXPECT_EQ(e.code, EISDIR);
    EXPECT_EQ(e.message, "read(" + dir.path() + ") failed: 21");
}

// The readers open at once share one read budget: many open files take
// small blocks, so their memory stays bounded (a block of the largest size
// each would be 600 MiB here), while a reader left alone reads large blocks
// again: 1 MiB last line first, 64 KiB first line first. A reader whose
// block size changes in the middle of its file, either way and in either
// direction, still delivers every line.
TEST(Dsreader, OpenReadersShareTheReadBudget)
{
    temp_dir dir;
    const std::string content = generated(8 * DSREADER_BLOCK + 7, 99, 0);
    const std::string path = dir.file("gen");
    write_file(path, content);
    // Enough readers that an even share is below either largest block.
    const int readers = static_cast<int>(DSREADER_READ_BUDGET / DSREADER_FORWARD_BLOCK) + 100;
    for (int direction : {DSREADER_FORWARD, DSREADER_BACKWARD}) {
        const size_t largest = direction == DSREADER_FORWARD ? DSREADER_FORWARD_BLOCK : DSREADER_BLOCK;
        const std::vector<line> expected = model(content, direction);
        dsreader_ptr alone(dsreader_open(path.c_str(), direction));
        std::vector<line> got;
        auto take = [&](size_t count) {
            for (size_t i = 0; i < count && dsreader_next(alone.get()) == 0; ++i) {
                int fields = alone->field_count;
                dsreader_rejoin(alone.get(), '|');
                got.push_back({alone->line_start, fields});
            }
        };
        take(1000);
        EXPECT_EQ(alone->block_size, largest);

        size_t before = heap_in_use();
        std::vector<dsreader_ptr> many;
        for (int i = 0; i < readers; ++i) {
            many.emplace_back(dsreader_open(path.c_str(), direction));
            ASSERT_EQ(dsreader_next(many.back().get()), 0);
        }
        size_t held = heap_in_use() - before;
        EXPECT_LT(held, DSREADER_READ_BUDGET + readers * (DSREADER_MIN_BLOCK + 2 * DSREADER_LINE_BUF_START))
            << "bytes held by " << readers << " open readers";
        take(40000);  // past the end of its first blocks: a small block now
        EXPECT_LT(alone->block_size, largest);

        many.clear();
        take(40000);
        EXPECT_EQ(alone->block_size, largest);
        take(SIZE_MAX);
        EXPECT_EQ(got, expected) << "direction " << direction;
    }
}

}  // namespace
