// rowsift: the dataset sort tool. Reads every line of one dataset and writes
// them again ordered by the integer value of one field, largest first unless
// told otherwise. Lines are only reordered, never changed.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tools/sort/row_table.h"
#include "toolkit/diag.h"
#include "toolkit/dsreader.h"
#include "toolkit/number.h"
#include "toolkit/out_file.h"
#include "toolkit/replace_set.h"
#include "toolkit/unfinished_files.h"

namespace {

const char usage_text[] =
    "\n   rowsift - %s - Quorvane Security\n\n      dataset sort tool\n\n   usage:\n\n"
    "      rowsift [--sort-dir <sort-dir>] [--field <field>]\n            [--outfile <outfile>] <dataset>\n\n"
    "   options:\n\n      <field>     Index of the field to sort on, starting at 1,\n"
    "                  defaults to 1.\n      <dataset>   A dataset file containing fields separated by '|'.\n"
    "      <outfile>   Write output to this file, otherwise stdout.\n\n";

struct run_settings {
    bool descending = true;
    int field_index = 0;  // counted from 0
    const char* dataset = nullptr;
};

// Options from the first argument on; an option takes a value only when one
// follows it. The first other argument (or an option standing last) is the
// dataset and ends parsing; later arguments are ignored.
run_settings parse_args(int argc, char** argv, out_file& output)
{
    run_settings run;
    for (int i = 1; i < argc; i += 2) {
        const char* arg = argv[i];
        bool has_value = i + 1 < argc;
        if (has_value && strcmp(arg, "--sort-dir") == 0) {
            if (strcmp(argv[i + 1], "asc") == 0) {
                run.descending = false;
            } else if (strcmp(argv[i + 1], "desc") == 0) {
                run.descending = true;
            } else {
                usage_exit();
            }
        } else if (has_value && strcmp(arg, "--field") == 0) {
            int32_t field = num_parse_i32(argv[i + 1]);
            if (field < 1) {
                usage_exit();
            }
            run.field_index = field - 1;
        } else if (has_value && strcmp(arg, "--outfile") == 0) {
            // Opened now but emptied only once the dataset has been read:
            // the dataset may be its own output.
            file_error err;
            file_error_check(out_file_open(output, argv[i + 1], OUT_FILE_REPLACE, &err), err);
        } else {
            run.dataset = arg;
            return run;
        }
    }
    usage_exit();
}

// The output is the dataset itself (the same file by any name).
bool sorts_in_place(const out_file& output, const char* dataset)
{
    struct stat out_st, in_st;
    return !output.is_stdout() && fstat(output.descriptor(), &out_st) == 0 && S_ISREG(out_st.st_mode) &&
           stat(dataset, &in_st) == 0 && out_st.st_dev == in_st.st_dev && out_st.st_ino == in_st.st_ino;
}

// Reads every line of the dataset, keyed on the sort field.
void read_rows(row_table& rows, const run_settings& run, const replace_file* in_place)
{
    dsreader_ptr reader(dsreader_open(run.dataset, DSREADER_FORWARD));
    if (in_place != nullptr) {
        struct stat st;
        if (fstat(reader->descriptor, &st) != 0 || !(file_id_of(st) == in_place->lock.id())) {
            fatal(-1, "outfile '%s' is in use by another run", in_place->path.c_str());
        }
    }
    while (dsreader_next(reader.get()) == 0) {
        int32_t key = 0;
        if (reader->field_count > run.field_index) {
            key = num_parse_i32(reader->fields[run.field_index]);
        }
        dsreader_rejoin(reader.get(), '|');
        rows.add(reader->line_start, reader->line_length, key);
    }
}

int sort_dataset(int argc, char** argv)
{
    file_error err;
    file_error_check(std_descriptors_reserve(&err), err);
    out_file output;
    run_settings run = parse_args(argc, argv, output);

    row_table rows;
    if (!sorts_in_place(output, run.dataset)) {
        read_rows(rows, run, nullptr);
        // The dataset is closed before the output is emptied.
        rows.sort_ascending();
        file_error_check(out_file_start(output, &err), err);
        file_error_check(rows.write(output, run.descending, &err), err);
        file_error_check(out_file_close(output, &err), err);
        return 0;
    }

    // Sorting a dataset onto itself: it is locked, and the sorted lines go
    // to "<outfile>.new", which takes its place whole the way the merge
    // tools replace a dataset (with a commit record), so the dataset is
    // never seen cut short and what a killed run leaves is finished by the
    // next one.
    unfinished_files_remove_on_failure();
    std::string target_path = output.path;
    file_error_check(out_file_close(output, &err), err);
    replace_set files;
    file_error_check(files.lock({target_path}, "outfile", nullptr, &err), err);
    file_error_check(files.recover(&err), err);
    replace_file& target = files.file(0);
    read_rows(rows, run, &target);
    rows.sort_ascending();
    file_error_check(replace_file_create(target, &err), err);
    file_error_check(out_file_start(target.out, &err), err);
    file_error_check(rows.write(target.out, run.descending, &err), err);
    file_error_check(files.commit(&err), err);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    tool_start(usage_text);
    return sort_dataset(argc, argv);
}
