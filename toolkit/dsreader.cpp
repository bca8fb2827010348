#include "toolkit/dsreader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>

#include <cerrno>
#include <cstring>

#include "toolkit/alloc.h"
#include "toolkit/diag.h"
#include "toolkit/echo_text.h"
#include "toolkit/fd_io.h"

namespace {

// Kept out of the reading loops, with the error number passed in: the loops
// hold no object that needs destroying.
[[noreturn]] void read_failed(const dsreader* reader, int err)
{
    fatal(fatal_code(err), "read(%s) failed: %d", reader->path, err);
}

[[noreturn]] void seek_failed(const dsreader* reader)
{
    // A pipe or terminal cannot be read last line first: say so instead of
    // reading from a position that does not exist.
    int err = errno;
    fatal(fatal_code(err), "lseek(%s) failed: %d", reader->path, err);
}

// What the open readers of the process hold together (see DSREADER_READ_BUDGET).
// Atomic only so that readers in different threads cannot tear the counts.
std::atomic<size_t> open_readers{0};
std::atomic<size_t> block_bytes{0};

constexpr size_t page_size = 4096;

// The block size for this reader's next read: an even share of the budget
// (for a forward reader, of the cache budget too) among the open readers, no
// more than the budget others leave, and never below the smallest block or
// above the reader's own limit.
size_t block_share(const dsreader* reader)
{
    size_t readers = std::max<size_t>(open_readers.load(std::memory_order_relaxed), 1);
    size_t held = block_bytes.load(std::memory_order_relaxed);
    size_t others = held > reader->block_size ? held - reader->block_size : 0;
    size_t share = DSREADER_READ_BUDGET / readers;
    if (reader->direction == DSREADER_FORWARD) {
        share = std::min(share, DSREADER_FORWARD_CACHE_BUDGET / readers);
    }
    size_t room = others < DSREADER_READ_BUDGET ? DSREADER_READ_BUDGET - others : 0;
    share = std::max(std::min(share, room), DSREADER_MIN_BLOCK) & ~(page_size - 1);
    return std::min(share, reader->block_limit);
}

// Called before every read, when nothing in the block buffer is needed any
// more: the buffer comes with the first read, and takes a new size whenever
// the reader's share has changed. A tool that opens many logs and reads them
// one after another holds one buffer at a time.
void ensure_read_buffer(dsreader* reader)
{
    size_t want = block_share(reader);
    if (reader->read_buf != nullptr && want == reader->block_size) {
        return;
    }
    // One byte more than a block: room for the NUL of a line that ends with
    // the block's data.
    char* buf = static_cast<char*>(xalloc(want + 1, 0));
    xfree(reader->read_buf);
    block_bytes.fetch_sub(reader->block_size, std::memory_order_relaxed);
    block_bytes.fetch_add(want, std::memory_order_relaxed);
    reader->read_buf = buf;
    reader->block_size = want;
}

// The first '|' or NUL at or after `p`; `end` points at the line's own NUL,
// so the search never reads past it.
char* next_cut(char* p, const char* end)
{
#ifdef __SSE2__
    // Sixteen bytes at a time while they lie inside the line.
    const __m128i bar = _mm_set1_epi8('|');
    const __m128i nul = _mm_setzero_si128();
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned hits = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, bar), _mm_cmpeq_epi8(v, nul))));
        if (hits != 0) {
            return p + __builtin_ctz(hits);
        }
        p += 16;
    }
#endif
    while (*p != '|' && *p != '\0') {
        ++p;
    }
    return p;
}

// Cuts the completed line at every '|'. A NUL inside the line ends what the
// split and the callers see.
void split_line(dsreader* reader)
{
    reader->fields[0] = reader->line_start;
    reader->field_count = 1;
    const char* end = reader->line_start + reader->line_length;
    for (char* p = next_cut(reader->line_start, end); *p == '|'; p = next_cut(p, end)) {
        if (reader->field_count == DSREADER_MAX_FIELDS) {
            fatal(-1, "line '%s' has too many fields (more than %d)", echo_text(reader->line_start).c_str(),
                  DSREADER_MAX_FIELDS);
        }
        *p++ = '\0';
        reader->fields[reader->field_count++] = p;
    }
}

// The fields of the completed line as split_line would cut them (the '|'
// before its first NUL), counted without cutting: one more than the '|'
// found. Bytes up to `limit` may be read; they are all data, and the line's
// NUL lies before it.
int count_fields(const char* p, const char* limit)
{
    int bars = 0;
#ifdef __SSE2__
    const __m128i bar = _mm_set1_epi8('|');
    const __m128i nul = _mm_setzero_si128();
    while (limit - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned bars_here = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, bar)));
        unsigned nuls_here = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nul)));
        if (nuls_here != 0) {
            bars_here &= (nuls_here & -nuls_here) - 1;  // only the '|' in front of the first NUL
        }
        // A line holds few: one step per '|' (the baseline x86-64 has no popcnt).
        for (; bars_here != 0; bars_here &= bars_here - 1) {
            ++bars;
        }
        if (nuls_here != 0) {
            return 1 + bars;
        }
        p += 16;
    }
#endif
    for (; *p != '\0'; ++p) {
        bars += *p == '|';
    }
    return 1 + bars;
}

void drop_carriage_return(dsreader* reader)
{
    if (reader->line_length > 0 && reader->line_start[reader->line_length - 1] == '\r') {
        --reader->line_length;
        reader->line_start[reader->line_length] = '\0';
    }
}

size_t grown_capacity(size_t capacity, size_t needed)
{
    while (capacity < needed) {
        capacity *= 2;
    }
    return capacity;
}

// A line that lies whole inside the block is used where it is: no copy, and
// its bytes are read from memory the kernel wrote long ago rather than just
// now. The '\n' after it, already taken, becomes its NUL.
bool forward_in_block(dsreader* reader)
{
    if (reader->read_pos == reader->byte_count) {
        return false;
    }
    char* from = reader->read_buf + reader->read_pos;
    auto* nl = static_cast<char*>(memchr(from, '\n', reader->byte_count - reader->read_pos));
    if (nl == nullptr) {
        return false;
    }
    *nl = '\0';
    reader->line_start = from;
    reader->line_length = static_cast<size_t>(nl - from);
    reader->read_pos += reader->line_length + 1;
    return true;
}

int next_forward(dsreader* reader)
{
    if (forward_in_block(reader)) {
        return 0;
    }
    reader->line_length = 0;
    reader->line_start = reader->line_buf;
    for (;;) {
        if (reader->read_pos == reader->byte_count) {
            ensure_read_buffer(reader);
            size_t got = 0;
            int err =
                fd_read_some(reader->descriptor, reader->read_buf, reader->block_size, &got, reader->path, nullptr);
            if (err != 0) {
                read_failed(reader, err);
            }
            reader->byte_count = got;
            reader->read_pos = 0;
            if (got == 0) {
                reader->at_end = true;
                if (reader->line_length == 0) {
                    return 1;
                }
                break;  // the file's last line, without '\n'
            }
        }
        const char* from = reader->read_buf + reader->read_pos;
        size_t avail = reader->byte_count - reader->read_pos;
        const auto* nl = static_cast<const char*>(memchr(from, '\n', avail));
        size_t take = nl != nullptr ? static_cast<size_t>(nl - from) : avail;
        size_t needed = reader->line_length + take + 1;  // room for the NUL too
        if (needed > reader->capacity) {
            reader->capacity = grown_capacity(reader->capacity, needed);
            reader->line_buf = static_cast<char*>(xrealloc(reader->line_buf, reader->capacity));
            reader->line_start = reader->line_buf;
        }
        memcpy(reader->line_buf + reader->line_length, from, take);
        reader->line_length += take;
        reader->read_pos += take;
        if (nl != nullptr) {
            ++reader->read_pos;
            break;
        }
    }
    reader->line_buf[reader->line_length] = '\0';
    return 0;
}

// Reads the block that ends at the current file position into the read
// buffer. Returns the bytes read; 0 at the start of the file.
size_t read_previous_block(dsreader* reader)
{
    if (reader->file_pos == 0) {
        return 0;
    }
    ensure_read_buffer(reader);
    // Blocks end at multiples of the block size, so the first one read (at
    // the end of the file, or after the size changed) is the remainder.
    off_t block = static_cast<off_t>(reader->block_size);
    off_t length = reader->file_pos % block;
    if (length == 0) {
        length = block;
    }
    reader->file_pos -= length;
    size_t got = 0;
    int err = fd_read_at(reader->descriptor, reader->read_buf, static_cast<size_t>(length), reader->file_pos, &got,
                         reader->path, nullptr);
    if (err != 0) {
        read_failed(reader, err);
    }
    // Reading backward gets no read-ahead from the kernel: ask for the block
    // before this one now, so that the disk reads it while this one is split.
    if (reader->file_pos > 0) {
        off_t ahead = std::min(reader->file_pos, block);
        posix_fadvise(reader->descriptor, reader->file_pos - ahead, ahead, POSIX_FADV_WILLNEED);
    }
    // A file cut shorter meanwhile has no whole block here: the reading ends
    // as at the start of the file.
    return got == static_cast<size_t>(length) ? got : 0;
}

// Makes room for `take` more bytes in front of the line, which sits with its
// NUL at the very end of the line buffer.
void make_room_in_front(dsreader* reader, size_t take)
{
    size_t room = static_cast<size_t>(reader->line_start - reader->line_buf);
    if (room >= take) {
        return;
    }
    size_t old_capacity = reader->capacity;
    size_t needed = reader->line_length + 1 + take;
    reader->capacity = grown_capacity(old_capacity, needed);
    reader->line_buf = static_cast<char*>(xrealloc(reader->line_buf, reader->capacity));
    char* old_start = reader->line_buf + (old_capacity - 1 - reader->line_length);
    reader->line_start = reader->line_buf + (reader->capacity - 1 - reader->line_length);
    memmove(reader->line_start, old_start, reader->line_length + 1);
}

// The same backward: a line with a '\n' before it inside the block. Its end
// is the '\n' after it (already taken) or the end of the block's data, which
// has one spare byte behind it for the NUL.
bool backward_in_block(dsreader* reader)
{
    if (reader->read_pos == 0) {
        return false;
    }
    auto* nl = static_cast<char*>(memrchr(reader->read_buf, '\n', reader->read_pos));
    if (nl == nullptr) {
        return false;
    }
    reader->line_start = nl + 1;
    reader->line_length = reader->read_pos - static_cast<size_t>(nl + 1 - reader->read_buf);
    reader->line_start[reader->line_length] = '\0';
    reader->read_pos = static_cast<size_t>(nl - reader->read_buf);  // the '\n' is taken too
    return true;
}

int next_backward(dsreader* reader)
{
    if (backward_in_block(reader)) {
        return 0;
    }
    reader->line_length = 0;
    reader->line_start = reader->line_buf + reader->capacity - 1;
    *reader->line_start = '\0';
    for (;;) {
        if (reader->read_pos == 0) {
            size_t got = read_previous_block(reader);
            reader->byte_count = got;
            reader->read_pos = got;
            if (got == 0) {
                reader->at_end = true;
                if (reader->line_length == 0) {
                    return 1;
                }
                break;  // the file's first line
            }
        }
        const auto* nl = static_cast<const char*>(memrchr(reader->read_buf, '\n', reader->read_pos));
        size_t from = nl != nullptr ? static_cast<size_t>(nl - reader->read_buf) + 1 : 0;
        size_t take = reader->read_pos - from;
        make_room_in_front(reader, take);
        reader->line_start -= take;
        memcpy(reader->line_start, reader->read_buf + from, take);
        reader->line_length += take;
        reader->read_pos = from;
        if (nl != nullptr) {
            --reader->read_pos;  // the '\n' itself is taken too
            break;
        }
    }
    return 0;
}

// The next line in the reader's direction, without its '\r', at line_start:
// 0, or 1 at the end of the file (no fields then).
int read_next_line(dsreader* reader)
{
    if (reader->at_end) {
        return 1;
    }
    int rc = reader->direction == DSREADER_FORWARD ? next_forward(reader) : next_backward(reader);
    if (rc != 0) {
        reader->field_count = 0;
        return rc;
    }
    drop_carriage_return(reader);
    return 0;
}

}  // namespace

dsreader* dsreader_open(const char* path, int direction)
{
    dsreader_ptr reader(static_cast<dsreader*>(xalloc(sizeof(dsreader), 1)));
    open_readers.fetch_add(1, std::memory_order_relaxed);  // dsreader_close takes it back
    reader->path = xstrdup(path);
    reader->direction = direction;
    reader->stream = fopen(path, "rb");
    if (reader->stream == nullptr) {
        int err = errno;
        fatal(fatal_code(err), "fopen(%s) failed: %d", path, err);
    }
    reader->descriptor = fileno(reader->stream);
    // A small file needs no block larger than itself; a growing log is still
    // read whole, a block at a time.
    reader->block_limit = direction == DSREADER_FORWARD ? DSREADER_FORWARD_BLOCK : DSREADER_BLOCK;
    struct stat st;
    if (fstat(reader->descriptor, &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_size < static_cast<off_t>(reader->block_limit)) {
        reader->block_limit = std::max(DSREADER_SMALL_FILE_BLOCK, static_cast<size_t>(st.st_size));
    }
    reader->capacity = DSREADER_LINE_BUF_START;
    reader->line_buf = static_cast<char*>(xalloc(reader->capacity, 0));
    reader->line_start = reader->line_buf;
    reader->line_buf[0] = '\0';
    if (direction != DSREADER_FORWARD && direction != DSREADER_BACKWARD) {
        fatal(-1, "unknown read direction '%d'", direction);
    }
    if (direction == DSREADER_BACKWARD) {
        off_t size = lseek(reader->descriptor, 0, SEEK_END);
        if (size < 0) {
            seek_failed(reader.get());
        }
        reader->file_pos = size;
    }
    return reader.release();
}

int dsreader_next(dsreader* reader)
{
    if (int rc = read_next_line(reader)) {
        return rc;
    }
    split_line(reader);
    return 0;
}

int dsreader_next_whole(dsreader* reader)
{
    if (int rc = read_next_line(reader)) {
        return rc;
    }
    const char* end = reader->line_start + reader->line_length;
    const char* limit = end + 1;
    // A line inside the block: the data after it may be read too.
    auto at = [](const char* p) { return reinterpret_cast<uintptr_t>(p); };
    if (reader->read_buf != nullptr && at(reader->line_start) >= at(reader->read_buf) &&
        at(end) < at(reader->read_buf) + reader->byte_count) {
        limit = reader->read_buf + reader->byte_count;
    }
    int fields = count_fields(reader->line_start, limit);
    if (fields > DSREADER_MAX_FIELDS) {
        // The same message as a cut line gives, which shows its first field.
        size_t first = strcspn(reader->line_start, "|");
        fatal(-1, "line '%s' has too many fields (more than %d)",
              echo_text(std::string_view(reader->line_start, first)).c_str(), DSREADER_MAX_FIELDS);
    }
    reader->fields[0] = reader->line_start;
    reader->field_count = fields;
    return 0;
}

void dsreader_rejoin(dsreader* reader, int ch)
{
    for (int i = 1; i < reader->field_count; ++i) {
        reader->fields[i][-1] = static_cast<char>(ch);
    }
}

void dsreader_close(dsreader* reader)
{
    if (reader == nullptr) {
        return;
    }
    open_readers.fetch_sub(1, std::memory_order_relaxed);
    block_bytes.fetch_sub(reader->block_size, std::memory_order_relaxed);
    xfree(reader->path);
    xfree(reader->line_buf);
    xfree(reader->read_buf);
    if (reader->stream != nullptr) {
        fclose(reader->stream);
    }
    xfree(reader);
}
