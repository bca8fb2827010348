// The report data files of a run and the k-way pick that delivers their
// records as one ascending sequence.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/diag.h"
#include "toolkit/dsreader.h"
#include "toolkit/echo_text.h"
#include "toolkit/tournament.h"
#include "tools/merge/key_head.h"
#include "tools/merge/merge_record.h"

template <typename Kind>
struct merge_input {
    std::string path;
    dsreader_ptr reader;
    bool done = false;
    // The record delivered last and the one read after it, taking turns:
    // the delivered one stays whole until the next is read, and the order
    // check reads it instead of a copy of its key.
    typename Kind::record records[2];
    int latest = 0;  // the slot of the record read last
    bool has_previous = false;
};

// Refuses a key smaller than the one before it: records out of order cannot
// be merged right, and nothing has been replaced yet.
inline void check_ascending(const char* where, std::string_view key, std::string& previous, bool& has_previous)
{
    if (has_previous && key < std::string_view(previous)) {
        fatal(-1, "records out of order in '%s': '%s' after '%s'", where, echo_text(key).c_str(),
              echo_text(previous).c_str());
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

    // The next record of the ascending sequence, valid until the next call;
    // null once every file is at its end. Equal keys go to the earlier file
    // of the list first, and within one file in file order. An input's next
    // record is read only at the call after the one that delivered its
    // last: each input holds at most one undelivered record.
    const typename Kind::record* next()
    {
        auto by_key = [this](size_t a, size_t b) {
            const head& x = heads_[a];
            const head& y = heads_[b];
            if (!x.held || !y.held) {
                return static_cast<int>(y.held) - static_cast<int>(x.held);  // used up comes last
            }
            int c = key_head_compare(x.key, y.key);
            return c != 0 ? c : latest_key(a).compare(latest_key(b));
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
            return nullptr;
        }
        merge_input<Kind>& best = *inputs_[tree_.winner()];
        heads_[tree_.winner()].held = false;
        return &best.records[best.latest];
    }

    void close() { inputs_.clear(); }

private:
    std::vector<std::unique_ptr<merge_input<Kind>>> inputs_;
    tournament tree_;  // which input holds the least key
    bool started_ = false;
    // Per input, in one array for the tree's comparisons: whether its latest
    // record is still to be delivered, and the head of that record's key
    // (kept after delivery for the order check of the next one).
    struct head {
        key_head key;
        bool held = false;
    };
    std::vector<head> heads_;

    const std::string& latest_key(size_t i) const
    {
        const merge_input<Kind>& input = *inputs_[i];
        return input.records[input.latest].key;
    }

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
        const int previous = input.latest;
        typename Kind::record& r = input.records[1 - previous];
        record_from_line<Kind>(r, line);
        key_head h = key_head_of(r.key);
        // A head greater than the last one read is a greater key: the
        // common case needs no look at the text.
        if (input.has_previous && key_head_compare(h, heads_[i].key) <= 0) {
            order_scratch_.assign(input.records[previous].key);
            check_ascending(input.path.c_str(), r.key, order_scratch_, input.has_previous);
        }
        input.has_previous = true;
        input.latest = 1 - previous;
        heads_[i] = {h, true};
    }

    std::string order_scratch_;  // the previous key, for the message of an order error
};
