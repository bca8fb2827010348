// The run shared by the three merge tools, and the parts in which they
// differ: how a dataset-list line names a dataset, and the key a record is
// merged under.
#pragma once

#include <string>
#include <vector>

#include "tools/merge/merge_dataset.h"
#include "tools/merge/merge_input.h"

// The paths of a file-list or a plain dataset-list: trimmed lines, empty
// lines skipped.
std::vector<std::string> list_paths(const char* list_path);

// A plain dataset-list: every path a dataset without ctime text.
std::vector<dataset_spec> dataset_specs_plain(const char* list_path);

// A count dataset-list: a line "N=path" gives the dataset N as ctime text
// (N read from the line's start; 0 means none), a line without '=' is a path.
std::vector<dataset_spec> dataset_specs_ctime(const char* list_path);
dataset_spec dataset_spec_from_line(const std::string& line);

// The 0-based key field replaced in rebuilt keys: the argument's value minus
// one when that is above 0, else 0.
int ctime_column_from_arg(const char* arg);

// `key` with its field number `column` (0-based, fields cut at every '|')
// replaced by `text`; unchanged when it has fewer fields.
void rebuild_key(std::string& out, const std::string& key, int column, const std::string& text);

// One whole run over the specs read from `dataset_list_path`: opens the inputs and datasets, merges every record into
// every dataset in list order, and replaces the datasets. Datasets with
// ctime text take the record under its rebuilt key; their records are
// collected and merged in key order once the inputs are read, because a
// rebuilt key need not follow the order of the records' own keys.
template <typename Kind>
int merge_run(const char* file_list, const char* dataset_list_path, const std::vector<dataset_spec>& specs,
              int ctime_column)
{
    merge_discard_new_files_on_failure();
    input_list<Kind> inputs;
    inputs.open(list_paths(file_list));
    // Files a ".new" or ".old" name must never be: every report data file
    // and the list files themselves (the datasets are added by the loader).
    std::vector<file_identity> listed;
    for (const auto& input : inputs.inputs()) {
        listed.push_back(file_identity_of_fd(input->reader->descriptor));
    }
    for (const char* list : {file_list, dataset_list_path}) {
        file_identity id;
        if (file_identity_of(list, id)) {
            listed.push_back(id);
        }
    }
    dataset_list<Kind> datasets;
    datasets.open(specs, listed);

    typename Kind::record r;
    std::string rebuilt;
    while (inputs.next(r)) {
        for (auto& d : datasets.datasets()) {
            if (!d->has_ctime) {
                d->merge(r.key, r);
                continue;
            }
            rebuild_key(rebuilt, r.key, ctime_column, d->ctime_text);
            d->collected.emplace_back();
            auto& c = d->collected.back().record;
            c.key.assign(rebuilt);
            Kind::copy_value(c, r);
        }
    }
    inputs.close();
    datasets.merge_collected();
    datasets.finish();
    return 0;
}
