// The dataset line reader: one '|'-separated text file read a line at a time,
// first line first or last line first, each line split in place into fields.
//
// A line is the text up to a '\n' (the last one may lack it); one '\r' before
// the end is dropped. Fields are separated by '|' with no quoting; a line has
// at most DSREADER_MAX_FIELDS of them. Every failure ends the process through
// the toolkit's fatal reporter.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <memory>

constexpr int DSREADER_FORWARD = 1;
constexpr int DSREADER_BACKWARD = 2;
constexpr int DSREADER_MAX_FIELDS = 20;
constexpr size_t DSREADER_LINE_BUF_START = 8192;    // first size of the line buffer
constexpr size_t DSREADER_BLOCK = 1024 * 1024;      // largest block of file data per read, backward
constexpr size_t DSREADER_FORWARD_BLOCK = 64 * 1024;  // the same forward
constexpr size_t DSREADER_SMALL_FILE_BLOCK = 8192;  // the block limit of a file no larger than this

// Why two sizes: read last line first, a file gets no read-ahead from the
// kernel, and large blocks keep the seeks of a disk few. Read forward, the
// kernel reads ahead by itself, and a small block stays in the processor's
// cache from the read that fills it until its lines are used, which a merge
// over tens of files taking a line from each in turn otherwise pays for at
// every line.

// Memory for blocks of file data. The open readers of a process share
// DSREADER_READ_BUDGET: one or a few readers each read their largest block
// at a time, many open at once (a merge of a thousand logs) read smaller blocks,
// never below DSREADER_MIN_BLOCK, so that together they stay near the budget
// however many files are open. A reader sizes its block again at every read,
// taking up a share freed by readers that closed or shrank.
// Forward readers also share DSREADER_FORWARD_CACHE_BUDGET, about what a
// processor core keeps in its second-level cache: a merge over a hundred
// files then finds each file's next lines still cached when it comes back to
// that file, where blocks of 64 KiB each would have pushed them out.
constexpr size_t DSREADER_MIN_BLOCK = 16 * 1024;
constexpr size_t DSREADER_READ_BUDGET = 32 * 1024 * 1024;
constexpr size_t DSREADER_FORWARD_CACHE_BUDGET = 2 * 1024 * 1024;

struct dsreader {
    char* path;             // owned copy of the path given to dsreader_open
    int direction;          // DSREADER_FORWARD or DSREADER_BACKWARD
    FILE* stream;           // opened "rb"; every read goes through `descriptor`
    int descriptor;
    off_t file_pos;         // backward: end of the part of the file not yet read (64-bit)
    size_t block_limit;     // the largest block this reader reads: that of its direction, or the
                            // size of a smaller file (at least DSREADER_SMALL_FILE_BLOCK)
    size_t block_size;      // the block size in use (the size of read_buf less one);
                            // 0 before the first read. Large reads, so that a log
                            // read last line first from the disk costs few seeks
    char* line_start;       // the current line: inside read_buf when it lies whole in
                            // one block, else inside line_buf
    char* line_buf;         // grows (doubling) for long lines, never shrinks
    size_t capacity;
    size_t line_length;     // characters of the current line, without its NUL
    char* read_buf;         // one block of file data (block_size bytes), from the first read on
    size_t byte_count;      // bytes the last read put into read_buf
    size_t read_pos;        // forward: next byte to take; backward: bytes not yet taken
    bool at_end;            // the end of the file was delivered: every later call returns 1
    char* fields[DSREADER_MAX_FIELDS];
    int field_count;
};

// Opens `path` for reading in `direction`; never returns empty-handed.
dsreader* dsreader_open(const char* path, int direction);

// 0: a line is ready and split; 1: end of file, no line.
int dsreader_next(dsreader* reader);

// The same as dsreader_next, for a caller that wants the line whole: it is
// left uncut at line_start (line_length characters), field_count gives the
// fields dsreader_next would cut, the same limit applies, and fields[] holds
// only fields[0], the line's start. Cheaper than cutting and rejoining.
int dsreader_next_whole(dsreader* reader);

// Writes `ch` back in front of fields 2 to field_count of the current line.
void dsreader_rejoin(dsreader* reader, int ch);

// Closes the stream and frees the reader; nullptr is accepted.
void dsreader_close(dsreader* reader);

struct dsreader_deleter {
    void operator()(dsreader* reader) const { dsreader_close(reader); }
};
using dsreader_ptr = std::unique_ptr<dsreader, dsreader_deleter>;
