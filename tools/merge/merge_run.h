// The run shared by the three merge tools, and the parts in which they
// differ: how a dataset-list line names a dataset, and the key a record is
// merged under.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include "toolkit/unfinished_files.h"
#include "tools/merge/merge_dataset.h"
#include "tools/merge/merge_input.h"

// How the lines of a dataset-list name datasets.
enum class dataset_list_form {
    plain,  // every trimmed line is a path
    ctime,  // "N=path" gives the dataset N as ctime text; a line without '=' is a path
};

// One line of a count dataset-list, as read: N is read from the line's start
// (0 means none), the path is the trimmed text after the first '='.
dataset_entry dataset_entry_from_line(const std::string& line);

// The 0-based key field replaced in rebuilt keys: the argument's value minus
// one when that is above 0, else 0.
int ctime_column_from_arg(const char* arg);

// `key` with its field number `column` (0-based, fields cut at every '|')
// replaced by `text`; unchanged when it has fewer fields.
void rebuild_key(std::string& out, const std::string& key, int column, const std::string& text);

// One whole run: opens the report data files and the datasets, merges every
// record into every dataset in list order, and replaces the datasets.
// Count datasets with ctime text take the record under its rebuilt key;
// their records are gathered per key and merged in key order once the
// inputs are read, because a rebuilt key need not follow the order of the
// records' own keys.
template <typename Kind>
int merge_run(const char* file_list_path, const char* dataset_list_path, dataset_list_form form, int ctime_column)
{
    // A run that fails before it has committed removes the ".new" files and
    // commit records it made: they hold a merge that nothing can use.
    unfinished_files_remove_on_failure();
    list_file file_list;
    input_list<Kind> inputs;
    inputs.open(merge_list_read(file_list, file_list_path, false));

    list_file dataset_list_file;
    std::vector<dataset_entry> entries;
    for (const std::string& line : merge_list_read(dataset_list_file, dataset_list_path, form == dataset_list_form::ctime)) {
        dataset_entry entry = form == dataset_list_form::ctime ? dataset_entry_from_line(line) : dataset_entry{line, "", false};
        if (!entry.path.empty()) {
            entries.push_back(std::move(entry));
        }
    }

    // Files a ".new" file must never be: every report data file and the
    // list files themselves (the loader adds the datasets).
    std::vector<listed_file> listed;
    for (const auto& input : inputs.inputs()) {
        listed.push_back({input->reader->descriptor, input->path.c_str(), true});
    }
    listed.push_back({file_list.descriptor(), file_list_path});
    listed.push_back({dataset_list_file.descriptor(), dataset_list_path});
    dataset_list<Kind> datasets;
    datasets.open(entries, listed);
    list_file_close(file_list);
    list_file_close(dataset_list_file);

    std::string rebuilt;
    while (const typename Kind::record* next = inputs.next()) {
        const typename Kind::record& r = *next;
        for (auto& d : datasets.datasets()) {
            if constexpr (std::is_same_v<Kind, count_kind>) {
                if (d->has_ctime) {
                    rebuild_key(rebuilt, r.key, ctime_column, d->ctime_text);
                    d->rebuilt.add(rebuilt, r.counts);
                    continue;
                }
            }
            d->merge(r.key, r);
        }
    }
    inputs.close();
    if constexpr (std::is_same_v<Kind, count_kind>) {
        datasets.merge_rebuilt();
    }
    datasets.finish();
    return 0;
}
