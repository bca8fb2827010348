// tallyfuse: merges report data files into count datasets, summing the
// counts of each id per key; a dataset given as "N=path" takes every key
// with its ctime column replaced by N.
#include "tools/merge/merge_command_line.h"
#include "tools/merge/merge_run.h"

namespace {

const char usage_text[] =
    "\n   tallyfuse - %s - Quorvane Security\n\n      count dataset merge tool\n\n   usage:\n\n"
    "      tallyfuse <file-list> <dataset-list> <ctime-index>\n\n   options:\n\n"
    "      <ctime-index>  Which column contains a ctime which needs to\n"
    "                     adjusted as the dataset is consumed\n"
    "      <file-list>    File containing a list of report data files\n"
    "                     to merge into the dataset files\n"
    "      <dataset-list> File containing a list of report dataset files\n"
    "                     to merge into\n\n";

}  // namespace

int main(int argc, char** argv)
{
    merge_command_line(argc, usage_text, 3);
    return merge_run<count_kind>(argv[1], argv[2], dataset_list_form::ctime, ctime_column_from_arg(argv[3]));
}
