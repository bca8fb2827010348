// mirrorscan: the replication log query tool (4 fields a line).
#include "toolkit/diag.h"
#include "tools/query/query_frame.h"

namespace {

const char usage_text[] =
    "\n"
    "   mirrorscan - %s - Quorvane Security\n"
    "\n"
    "      replication log query tool\n"
    "\n"
    "   usage:\n"
    "\n"
    "      mirrorscan [--offset <offset>] [--limit <limit>] [--outfile <outfile>]\n"
    "             [--filter-dttm <index=value>] [--filter-enum <index=value>]\n"
    "             [--filter-ip <index=value>] [--filter-number <index=value>]\n"
    "             [--filter-string <index=value>] [--sort-dir <sort-dir>]\n"
    "             <replication-log>\n"
    "\n"
    "   options:\n"
    "\n"
    "      <replication-log> A replication log of 4 fields each separated by '|'.\n"
    "      <filter-dttm>     Ignore entries not matching this filter.\n"
    "      <filter-enum>     Ignore entries not matching this filter.\n"
    "      <filter-ip>       Ignore entries not matching this filter.\n"
    "      <filter-number>   Ignore entries not matching this filter.\n"
    "      <filter-string>   Ignore entries not matching this filter.\n"
    "      <limit>           Only display this many lines, defaults to -1\n"
    "                        meaning show all.\n"
    "      <offset>          Show lines from this offset.\n"
    "      <outfile>         Write output to this file, otherwise stdout.\n"
    "      <sort-dir>        Either 'asc' or 'desc' to sort in chronological or\n"
    "                        reverse chronological order, defaults to 'desc'.\n"
    "\n";

}  // namespace

int main(int argc, char** argv)
{
    usage_set(usage_text);
    return query_run_single_log(argc, argv, 4);
}
