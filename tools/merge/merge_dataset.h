// The datasets of a run: each is locked for the run, read forward once, line
// by line, while the delivered records are merged into it, and written to
// its ".new" file; all of them are replaced together once every new file is
// complete (toolkit/replace_set.h).
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/diag.h"
#include "toolkit/dsreader.h"
#include "toolkit/echo_text.h"
#include "toolkit/replace_set.h"
#include "tools/merge/merge_files.h"
#include "tools/merge/merge_input.h"
#include "tools/merge/merge_record.h"
#include "tools/merge/rebuilt_keys.h"

// One line of a dataset-list: a path, and for count datasets the text that
// replaces the ctime column of every key merged into it.
struct dataset_entry {
    std::string path;
    std::string ctime_text;
    bool has_ctime = false;
};

template <typename Kind>
struct merge_dataset {
    std::string path;
    std::string ctime_text;
    bool has_ctime = false;

    dsreader_ptr reader;
    bool done = false;
    replace_file* out = nullptr;  // the lock, the ".new" file and the swap
    std::string pending;  // written text not yet handed to `out`

    // `current` holds the smallest key not yet written; `pushed_back` a line
    // read from the dataset whose key is greater than `current`'s.
    typename Kind::record current;
    typename Kind::record pushed_back;
    bool has_current = false;
    bool has_pushed_back = false;

    std::string last_key;  // the last comparison key merged into the dataset
    bool has_last_key = false;
    std::string last_line_key;  // the last dataset line the merge read
    bool has_last_line_key = false;

    rebuilt_key_records rebuilt;  // datasets with ctime text only

    static constexpr size_t flush_size = 1 << 16;

    void emit(const typename Kind::record& r)
    {
        Kind::append_written(pending, r);
        if (pending.size() >= flush_size) {
            flush();
        }
    }

    void emit_raw(line_text line)
    {
        pending.append(line.data, line.len);
        pending.push_back('\n');
        if (pending.size() >= flush_size) {
            flush();
        }
    }

    void flush()
    {
        file_error err;
        file_error_check(out_file_write(out->out, pending.data(), pending.size(), &err), err);
        pending.clear();
    }

    // Reads the next dataset line into `current`; sets `done` at the end.
    void read_current()
    {
        line_text line;
        if (!next_line(reader.get(), line)) {
            done = true;
            return;
        }
        record_from_line<Kind>(current, line);
        check_ascending(path.c_str(), current.key, last_line_key, has_last_line_key);
        has_current = true;
    }

    // Merges the value of `r` under the comparison key `key`.
    void merge(const std::string& key, const typename Kind::record& r)
    {
        merge_with(
            key, [&](typename Kind::record& line) { Kind::copy_value(line, r); },
            [&](typename Kind::record& line) { Kind::combine(line, r); });
    }

    // The merge step: `start` gives a new line its value, `combine` adds
    // into the line that holds `key`.
    template <typename Start, typename Combine>
    void merge_with(const std::string& key, Start&& start, Combine&& combine)
    {
        check_ascending(path.c_str(), key, last_key, has_last_key);
        for (;;) {
            if (!has_current) {
                if (has_pushed_back) {
                    std::swap(current, pushed_back);
                    has_pushed_back = false;
                    has_current = true;
                } else if (!done) {
                    read_current();
                }
            }
            if (!has_current) {
                current.key.assign(key);
                start(current);
                has_current = true;
                return;
            }
            int c = key.compare(current.key);
            if (c == 0) {
                combine(current);
                return;
            }
            if (c < 0) {
                // With ascending keys `current` is a dataset line here and
                // the slot behind it is free; anything else is a fault of
                // this program, never a reason to drop a line.
                if (has_pushed_back) {
                    fatal(-1, "internal error: no room for '%s' in '%s'", echo_text(key).c_str(), path.c_str());
                }
                std::swap(current, pushed_back);
                has_pushed_back = true;
                current.key.assign(key);
                start(current);
                return;
            }
            emit(current);
            has_current = false;
        }
    }

    // Writes what the merge holds and the rest of the dataset as read into
    // the new file. The dataset itself is not touched. The lines copied are
    // checked for order like those the merge read: a line out of place there
    // would be written beside a line merged before it (the same key twice,
    // or keys out of order).
    void write_out()
    {
        if (has_current) {
            emit(current);
            has_current = false;
        }
        if (has_pushed_back) {
            emit(pushed_back);
            has_pushed_back = false;
        }
        while (!done) {
            line_text line;
            if (!next_line(reader.get(), line)) {
                done = true;
                break;
            }
            check_ascending(path.c_str(), line_key(line), last_line_key, has_last_line_key);
            emit_raw(line);
        }
        reader.reset();
        flush();
    }
};

// An open file of the run that no ".new" file may be; a report data file
// may not be a dataset either.
struct listed_file {
    int fd;
    const char* path;
    bool report = false;
};

// Every dataset of a dataset-list, opened and checked at load.
template <typename Kind>
class dataset_list {
public:
    // Locks every dataset (each must exist and be a regular file) and
    // finishes or discards what an interrupted run left at them. Then
    // refuses, before anything is written: a dataset listed twice (one file
    // under two names) or also listed as a report data file (merged into
    // itself), a ".new" name that is one of the `listed` files or a dataset,
    // and a ".old" name taken by another file (it may hold the only copy of
    // an earlier content, and the swap never replaces it). Then opens the
    // datasets and creates their new files.
    void open(const std::vector<dataset_entry>& entries, std::vector<listed_file> listed)
    {
        file_error err;
        std::vector<std::string> paths;
        std::vector<std::pair<file_id, const char*>> reports;
        for (const listed_file& file : listed) {
            if (file.report) {
                reports.emplace_back(open_file_id(file.fd, file.path), file.path);
            }
        }
        for (const dataset_entry& entry : entries) {
            paths.push_back(entry.path);
        }
        std::vector<file_id> ids;
        auto listed_twice = [&](size_t i, const file_id& id) {
            ids.resize(i + 1);
            for (size_t j = 0; j < i; ++j) {
                if (ids[j] == id) {
                    return file_error_set(&err, -1, "dataset '%s' is listed twice (also as '%s')", paths[i].c_str(),
                                          paths[j].c_str());
                }
            }
            for (const auto& [report_id, report_path] : reports) {
                if (report_id == id) {
                    return file_error_set(&err, -1, "dataset '%s' is also listed as report data file '%s'",
                                          paths[i].c_str(), report_path);
                }
            }
            ids[i] = id;
            return 0;
        };
        file_error_check(files_.lock(paths, "dataset", listed_twice, &err), err);
        file_error_check(files_.recover(&err), err);
        struct stat st;
        for (size_t i = 0; i < entries.size(); ++i) {
            replace_file& rf = files_.file(i);
            if (lstat(rf.old_path.c_str(), &st) == 0) {
                fatal(-1, "'%s' exists, so dataset '%s' cannot be replaced", rf.old_path.c_str(), rf.path.c_str());
            }
            auto d = std::make_unique<merge_dataset<Kind>>();
            d->reader.reset(dsreader_open(entries[i].path.c_str(), DSREADER_FORWARD));
            d->path = entries[i].path;
            d->ctime_text = entries[i].ctime_text;
            d->has_ctime = entries[i].has_ctime;
            d->out = &rf;
            // The reader opened the path again: still the locked file?
            if (!(open_file_id(d->reader->descriptor, d->path.c_str()) == rf.current_id())) {
                fatal(-1, "dataset '%s' is in use by another run", d->path.c_str());
            }
            datasets_.push_back(std::move(d));
        }
        for (auto& d : datasets_) {
            listed.push_back({d->reader->descriptor, d->path.c_str()});
        }
        // What stands at a ".new" name is removed before the new file is
        // created: never a file the run reads.
        for (auto& d : datasets_) {
            const std::string& new_path = d->out->new_path;
            if (lstat(new_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                continue;
            }
            for (const listed_file& file : listed) {
                if (open_file_id(file.fd, file.path) == file_id_of(st)) {
                    fatal(-1, "outfile '%s' is the same file as input '%s'", new_path.c_str(), file.path);
                }
            }
        }
        for (auto& d : datasets_) {
            file_error_check(replace_file_create(*d->out, &err), err);
            file_error_check(out_file_start(d->out->out, &err), err);
        }
    }

    std::vector<std::unique_ptr<merge_dataset<Kind>>>& datasets() { return datasets_; }

    // Merges what the datasets with ctime text gathered, in key order.
    void merge_rebuilt()
    {
        for (auto& d : datasets_) {
            if (d->rebuilt.empty()) {
                continue;
            }
            d->rebuilt.drain([&](const std::string& key, const rebuilt_key_records::gathered& g) {
                d->merge_with(
                    key, [&](typename Kind::record& line) { g.start(line.counts); },
                    [&](typename Kind::record& line) { g.add_to(line.counts); });
            });
        }
    }

    // Completes every new file first and only then swaps them in, all
    // together, so that a write error (a full disk) leaves every dataset as
    // it was and a kill leaves each one old or new.
    void finish()
    {
        for (auto& d : datasets_) {
            d->write_out();
        }
        file_error err;
        file_error_check(files_.commit(&err), err);
    }

private:
    replace_set files_;  // owns the locks and new files the datasets point to
    std::vector<std::unique_ptr<merge_dataset<Kind>>> datasets_;
};
