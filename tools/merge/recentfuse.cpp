// recentfuse: merges report data files into last-used datasets, keeping the
// greatest value of each key.
#include "tools/merge/merge_command_line.h"
#include "tools/merge/merge_run.h"

namespace {

const char usage_text[] =
    "\n   recentfuse - %s - Quorvane Security\n\n      last used/query dataset merge tool\n\n   usage:\n\n"
    "      recentfuse <file-list> <dataset-list>\n\n   options:\n\n"
    "      <file-list>    File containing a list of report data files\n"
    "                     to merge into the dataset file\n"
    "      <dataset-list> File containing a list of report dataset files\n"
    "                     to merge into\n\n";

}  // namespace

int main(int argc, char** argv)
{
    merge_command_line(argc, usage_text, 2);
    return merge_run<value_kind>(argv[1], argv[2], dataset_list_form::plain, 0);
}
