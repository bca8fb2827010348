// Any bytes as the contents of a dataset file, read first line first and last
// line first. The first byte picks the reader's block size and starting line
// buffer size (or keeps the defaults), so that short inputs cross block
// boundaries and make the line buffer grow in both directions; the rest is
// the file. Each direction must deliver exactly what the line model says: the
// pieces between '\n', each less one trailing '\r', seen up to a NUL inside
// them, split at '|'; the empty piece at the far end of the reading direction
// is no line. A line of too many fields ends the reading through the fatal
// reporter, which here throws back into the target: an expected outcome.
// Read whole (dsreader_next_whole), a line is the whole piece, NULs and all,
// with the same field count.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/toolkit/dsreader_model.h"
#include "toolkit/diag.h"
#include "toolkit/dsreader.h"

namespace {

struct fatal_thrown {
    int code;
};

void throw_fatal(int code, const char*, va_list)
{
    throw fatal_thrown{code};
}

struct line {
    std::string text;  // as the callers see it: up to a NUL
    int fields;
    bool operator==(const line& o) const { return text == o.text && fields == o.fields; }
};

// The expected lines in one direction (whole: every byte of each piece);
// `refused` is set when a line has too many fields, and the lines before it
// are what must come first.
std::vector<line> model(const std::string& content, int direction, bool* refused, bool whole = false)
{
    std::vector<std::string> pieces = dsreader_model_pieces(content, direction);
    *refused = false;
    std::vector<line> lines;
    for (std::string& p : pieces) {
        std::string seen = p.substr(0, p.find('\0'));
        int fields = 1 + static_cast<int>(std::count(seen.begin(), seen.end(), '|'));
        if (fields > DSREADER_MAX_FIELDS) {
            *refused = true;
            break;
        }
        lines.push_back({whole ? p : seen, fields});
    }
    return lines;
}

int file = -1;
std::string path;

void read_and_check(const std::string& content, int direction, size_t block, size_t capacity, bool whole)
{
    bool refused = false;
    std::vector<line> expected = model(content, direction, &refused, whole);
    dsreader_ptr reader(dsreader_open(path.c_str(), direction));
    if (block != 0) {
        // The block limit and the line buffer's size, smaller than the
        // reader chose, never larger: the reader takes its block size from
        // the limit at every read, and its line buffer size from `capacity`.
        reader->block_limit = block;
        reader->capacity = capacity;
    }
    std::vector<line> got;
    bool thrown = false;
    try {
        while (whole && dsreader_next_whole(reader.get()) == 0) {
            int fields = reader->field_count;
            if (fields < 1 || fields > DSREADER_MAX_FIELDS || reader->line_start != reader->fields[0] ||
                reader->line_start[reader->line_length] != '\0') {
                abort();
            }
            got.push_back({std::string(reader->line_start, reader->line_length), fields});
        }
        while (!whole && dsreader_next(reader.get()) == 0) {
            int fields = reader->field_count;
            if (fields < 1 || fields > DSREADER_MAX_FIELDS) {
                abort();
            }
            for (int i = 1; i < fields; ++i) {
                if (reader->fields[i][-1] != '\0') {
                    abort();  // every field is cut from the one before it
                }
            }
            dsreader_rejoin(reader.get(), '|');
            if (reader->line_start != reader->fields[0] || reader->line_length > content.size()) {
                abort();
            }
            got.push_back({reader->line_start, fields});
        }
        if (dsreader_next(reader.get()) != 1) {
            abort();  // the end stays the end
        }
    } catch (const fatal_thrown& e) {
        if (e.code != -1) {
            abort();
        }
        thrown = true;
    }
    if (thrown != refused || got != expected) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fatal_reporter_set(throw_fatal);
    // An anonymous in-memory file, opened again by the reader through its
    // /proc name: nothing is left behind, whatever way the run ends.
    file = memfd_create("dsreader_fuzz", MFD_CLOEXEC);
    if (file < 0) {
        abort();
    }
    path = "/proc/self/fd/" + std::to_string(file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    // Bit 7 clear: block of 1 to 16 bytes, line buffer of 1 to 8; set: defaults.
    size_t block = 0;
    size_t capacity = 0;
    if ((data[0] & 0x80) == 0) {
        block = 1 + (data[0] & 0x0F);
        capacity = 1 + ((data[0] >> 4) & 0x07);
    }
    std::string content(reinterpret_cast<const char*>(data + 1), size - 1);
    if (ftruncate(file, 0) != 0 ||
        pwrite(file, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size())) {
        abort();
    }
    for (bool whole : {false, true}) {
        read_and_check(content, DSREADER_FORWARD, block, capacity, whole);
        read_and_check(content, DSREADER_BACKWARD, block, capacity, whole);
    }
    return 0;
}
