// The report data files of a run and the k-way pick that delivers their
// records as one ascending sequence.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/diag.h"
#include "toolkit/dsreader.h"
#include "toolkit/tournament.h"
#include "tools/merge/key_head.h"
#include "tools/merge/merge_record.h"

template <typename Kind>
struct merge_input {
    std::string path;
    dsreader_ptr reader;
    bool done = false;
    typename Kind::record current;  // read and not yet delivered while the input's head is held
    std::string previous_key;  // of the last record read, for the order check
    bool has_previous = false;
};

// Refuses a key smaller than the one before it: records out of order cannot
// be merged right, and nothing has been replaced yet.
inline void check_ascending(const char* where, std::string_view key, std::string& previous, bool& has_previous)
{
    if (has_previous && key < std::string_view(previous)) {
        fatal(-1, "records out of order in '%s': '%.*s' after '%s'", where, static_cast<int>(key.size()), key.data(),
              previous.c_str());
    }
    previous.assign(key);
    has_previous = true;
}

template <typename Kind>
class input_list {
public:
    // Opens every report data file named by the trimmed, non-empty lines
    // of the file-list.
    void open(const std::vector<std::string>& paths)
    {
        for (const std::string& path : paths) {
            auto input = std::make_unique<merge_input<Kind>>();
            input->reader.reset(dsreader_open(path.c_str(), DSREADER_FORWARD));
            input->path = path;
            inputs_.push_back(std::move(input));
        }
    }

    const std::vector<std::unique_ptr<merge_input<Kind>>>& inputs() const { return inputs_; }

    // The next record of the ascending sequence, swapped into `out`; false
    // once every file is at its end. Equal keys go to the earlier file of
    // the list first, and within one file in file order. An input's next
    // record is read only at the call after the one that delivered its
    // last: each input holds at most one undelivered record.
    bool next(typename Kind::record& out)
    {
        auto by_key = [this](size_t a, size_t b) {
            const head& x = heads_[a];
            const head& y = heads_[b];
            if (!x.held || !y.held) {
                return static_cast<int>(y.held) - static_cast<int>(x.held);  // used up comes last
            }
            int c = key_head_compare(x.key, y.key);
            return c != 0 ? c : inputs_[a]->current.key.compare(inputs_[b]->current.key);
        };
        if (!started_) {
            heads_.resize(inputs_.size());
            for (size_t i = 0; i < inputs_.size(); ++i) {
                refill(i);
            }
            tree_.build(inputs_.size(), by_key);
            started_ = true;
        } else if (!inputs_.empty()) {
            refill(tree_.winner());
            tree_.replay(by_key);
        }
        if (inputs_.empty() || !heads_[tree_.winner()].held) {
            return false;
        }
        merge_input<Kind>& best = *inputs_[tree_.winner()];
        std::swap(out, best.current);
        heads_[tree_.winner()].held = false;
        return true;
    }

    void close() { inputs_.clear(); }

private:
    std::vector<std::unique_ptr<merge_input<Kind>>> inputs_;
    tournament tree_;  // which input holds the least key
    bool started_ = false;
    // Per input, in one array for the tree's comparisons: whether its
    // `current` holds a record, and the head of that record's key.
    struct head {
        key_head key;
        bool held = false;
    };
    std::vector<head> heads_;

    void refill(size_t i)
    {
        merge_input<Kind>& input = *inputs_[i];
        if (heads_[i].held || input.done) {
            return;
        }
        line_text line;
        if (!next_line(input.reader.get(), line)) {
            input.done = true;
            input.reader.reset();  // at its end: give the buffers back now
            return;
        }
        record_from_line<Kind>(input.current, line);
        check_ascending(input.path.c_str(), input.current.key, input.previous_key, input.has_previous);
        heads_[i] = {key_head_of(input.current.key), true};
    }
};
