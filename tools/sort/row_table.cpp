#include "tools/sort/row_table.h"

#include <algorithm>
#include <cstring>

#include "toolkit/diag.h"

namespace {

constexpr size_t block_size = size_t{4} << 20;

uint64_t order_entry(int32_t key, size_t line_number)
{
    uint32_t biased = static_cast<uint32_t>(key) ^ 0x80000000u;
    return (static_cast<uint64_t>(biased) << 32) | line_number;
}

}  // namespace

char* row_table::room_for(size_t bytes)
{
    if (bytes > free_left_) {
        size_t size = std::max(bytes, block_size);
        blocks_.emplace_back(new char[size]);
        free_ = blocks_.back().get();
        free_left_ = size;
    }
    char* at = free_;
    free_ += bytes;
    free_left_ -= bytes;
    return at;
}

void row_table::add(const char* line, size_t length, int32_t key)
{
    if (lines_.size() > UINT32_MAX) {
        fatal(-1, "dataset has more than %u lines", UINT32_MAX);
    }
    char* copy = room_for(length + 1);
    memcpy(copy, line, length);
    copy[length] = '\n';
    order_.push_back(order_entry(key, lines_.size()));
    lines_.push_back(line_ref{copy, length});
}

void row_table::sort_ascending()
{
    std::sort(order_.begin(), order_.end());
}

int row_table::write(out_file& output, bool descending, file_error* err) const
{
    auto write_line = [&](uint64_t entry) {
        const line_ref& line = lines_[entry & 0xffffffffu];
        return out_file_write(output, line.text, line.length + 1, err);
    };
    if (descending) {
        for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
            if (int rc = write_line(*it)) {
                return rc;
            }
        }
    } else {
        for (uint64_t entry : order_) {
            if (int rc = write_line(entry)) {
                return rc;
            }
        }
    }
    return 0;
}
