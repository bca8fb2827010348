// flagscan: the alert log query tool. The alert logs named in a list file
// (6 fields a line, the first a ctime) are merged by time, newest first
// unless --sort-dir asc, and go through the query frame as one stream.
#include <cstdint>
#include <memory>
#include <queue>
#include <vector>

#include "tools/query/query_frame.h"
#include "toolkit/number.h"

namespace {

constexpr int alert_fields = 6;

// One listed alert log taking part in the merge, with the key of its current
// line and its place in the list (ties between equal keys go by the place).
struct scan_node {
    dsreader_ptr reader;
    int64_t key = 0;
    size_t position = 0;
};

// Moves the node to its next line of 6 fields whose first field reads as a
// non-zero number; false when the log is used up. Other lines are neither
// printed nor counted. Keys are 64-bit so a corrupt or far-future time sorts
// where it reads instead of hiding the rest of its log.
bool scan_node_advance(scan_node& node)
{
    dsreader* reader = node.reader.get();
    while (dsreader_next(reader) == 0) {
        if (reader->field_count != alert_fields) {
            continue;
        }
        int64_t key = num_parse_i64(reader->fields[0]);
        if (key != 0) {
            node.key = key;
            return true;
        }
    }
    return false;
}

// The order in which current lines leave the merge. Newest first: the
// greatest key, and among equal keys the log listed first. Oldest first: the
// smallest key, and among equal keys the log listed LAST.
struct merge_order {
    bool newest_first;
    // True when `a` leaves after `b` (the priority queue keeps the greatest on top).
    bool operator()(const scan_node* a, const scan_node* b) const
    {
        if (a->key != b->key) {
            return newest_first ? a->key < b->key : a->key > b->key;
        }
        return newest_first ? a->position > b->position : a->position < b->position;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    query_usage_set({"flagscan",
                     "alert log query tool",
                     "<file-list>",
                     {"File containing a list of alert logs", "containing rows of 6 fields each separated", "by '|'."}});
    query_options opts;
    int positional = query_parse_args(argc, argv, opts);

    list_file list;
    query_list_open(list, argv[positional]);
    query_guard_list(opts, list);

    // Every listed log stays open while it has lines to give: the merge
    // compares the current line of each. Each is guarded against the output
    // as soon as it is open, so the output is emptied only once all passed.
    std::vector<std::unique_ptr<scan_node>> nodes;
    std::priority_queue<scan_node*, std::vector<scan_node*>, merge_order> heads(
        merge_order{opts.direction == DSREADER_BACKWARD});
    while (query_list_next(list)) {
        auto node = std::make_unique<scan_node>();
        node->reader.reset(dsreader_open(list.line.c_str(), opts.direction));
        node->position = nodes.size();
        query_guard_input(opts, node->reader.get());
        if (scan_node_advance(*node)) {
            heads.push(node.get());
        } else {
            node->reader.reset();  // no line of its kind: it takes no part
        }
        nodes.push_back(std::move(node));
    }
    list_file_close(list);
    query_start_output(opts);

    int64_t match_count = 0;
    while (!heads.empty()) {
        scan_node* node = heads.top();
        heads.pop();
        query_take_line(opts, node->reader.get(), match_count);
        if (scan_node_advance(*node)) {
            heads.push(node);
        } else {
            node->reader.reset();  // released as soon as it runs out
        }
    }
    query_finish(opts, match_count);
    return 0;
}
