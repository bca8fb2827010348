// flagscan: the alert log query tool. The alert logs named in a list file
// (6 fields a line, the first a ctime) are merged by time, newest first
// unless --sort-dir asc, and go through the query frame as one stream.
#include <cstdint>
#include <memory>
#include <vector>

#include "tools/query/query_frame.h"
#include "toolkit/number.h"
#include "toolkit/tournament.h"

namespace {

constexpr int alert_fields = 6;

// One listed alert log taking part in the merge, with the key of its
// current line; `live` while it has one.
struct scan_node {
    dsreader_ptr reader;
    int64_t key = 0;
    bool live = false;
};

// Moves the node to its next line of 6 fields whose first field reads as a
// non-zero number; at the end of the log the node is no longer live and its
// reader is released. Other lines are neither printed nor counted. Keys are
// 64-bit so a corrupt or far-future time sorts where it reads instead of
// hiding the rest of its log.
void scan_node_advance(scan_node& node)
{
    dsreader* reader = node.reader.get();
    while (dsreader_next(reader) == 0) {
        if (reader->field_count != alert_fields) {
            continue;
        }
        int64_t key = num_parse_i64(reader->fields[0]);
        if (key != 0) {
            node.key = key;
            return;
        }
    }
    node.live = false;
    node.reader.reset();
}

// The order in which current lines leave the merge. Newest first: the
// greatest key, and among equal keys the log listed first. Oldest first: the
// smallest key, and among equal keys the log listed LAST. The tournament
// gives equal keys to the lower source number, so oldest first numbers the
// logs from the end of the list.
class merge_order {
public:
    merge_order(std::vector<std::unique_ptr<scan_node>>& nodes, bool newest_first)
        : nodes_(nodes), newest_first_(newest_first)
    {
    }

    scan_node& node(size_t source) const
    {
        return *nodes_[newest_first_ ? source : nodes_.size() - 1 - source];
    }

    int operator()(size_t a, size_t b) const
    {
        const scan_node& x = node(a);
        const scan_node& y = node(b);
        if (!x.live || !y.live) {
            return static_cast<int>(y.live) - static_cast<int>(x.live);  // used up comes last
        }
        if (x.key == y.key) {
            return 0;
        }
        return (x.key < y.key) == newest_first_ ? 1 : -1;
    }

private:
    std::vector<std::unique_ptr<scan_node>>& nodes_;
    bool newest_first_;
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
    while (query_list_next(list)) {
        auto node = std::make_unique<scan_node>();
        node->reader.reset(dsreader_open(list.line.c_str(), opts.direction));
        node->live = true;
        query_guard_input(opts, node->reader.get());
        scan_node_advance(*node);  // a log without a line of its kind takes no part
        nodes.push_back(std::move(node));
    }
    list_file_close(list);
    query_start_output(opts);

    merge_order order(nodes, opts.direction == DSREADER_BACKWARD);
    tournament tree;
    tree.build(nodes.size(), order);
    int64_t match_count = 0;
    while (!nodes.empty()) {
        scan_node& node = order.node(tree.winner());
        if (!node.live) {
            break;  // every log is used up
        }
        query_take_line(opts, node.reader.get(), match_count);
        scan_node_advance(node);
        tree.replay(order);
    }
    query_finish(opts, match_count);
    return 0;
}
