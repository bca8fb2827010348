// The query tools' usage texts, written out in full as the programs must
// print them (version included), for the tests of the programs and of the
// frame that builds the texts.
#pragma once

#include <string>

namespace query_usage_texts {

// The option lines every tool with its descriptions in column 23 ends with.
inline const std::string column23_options =
    "      <filter-dttm>    Ignore entries not matching this filter.\n"
    "      <filter-enum>    Ignore entries not matching this filter.\n"
    "      <filter-ip>      Ignore entries not matching this filter.\n"
    "      <filter-number>  Ignore entries not matching this filter.\n"
    "      <filter-string>  Ignore entries not matching this filter.\n"
    "      <limit>          Only display this many lines, defaults to -1\n"
    "                       meaning show all.\n"
    "      <offset>         Show lines from this offset.\n"
    "      <outfile>        Write output to this file, otherwise stdout.\n"
    "      <sort-dir>       Either 'asc' or 'desc' to sort in chronological or\n"
    "                       reverse chronological order, defaults to 'desc'.\n"
    "\n";

inline const std::string mirrorscan =
    "\n"
    "   mirrorscan - 1.0.3 - Quorvane Security\n"
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

inline const std::string ledgerscan =
    "\n"
    "   ledgerscan - 1.0.3 - Quorvane Security\n"
    "\n"
    "      audit log query tool\n"
    "\n"
    "   usage:\n"
    "\n"
    "      ledgerscan [--offset <offset>] [--limit <limit>] [--outfile <outfile>]\n"
    "             [--filter-dttm <index=value>] [--filter-enum <index=value>]\n"
    "             [--filter-ip <index=value>] [--filter-number <index=value>]\n"
    "             [--filter-string <index=value>] [--sort-dir <sort-dir>]\n"
    "             <audit-log>\n"
    "\n"
    "   options:\n"
    "\n"
    "      <audit-log>      An audit log of 5 fields each separated by '|'.\n" +
    column23_options;

inline const std::string flagscan =
    "\n"
    "   flagscan - 1.0.3 - Quorvane Security\n"
    "\n"
    "      alert log query tool\n"
    "\n"
    "   usage:\n"
    "\n"
    "      flagscan [--offset <offset>] [--limit <limit>] [--outfile <outfile>]\n"
    "             [--filter-dttm <index=value>] [--filter-enum <index=value>]\n"
    "             [--filter-ip <index=value>] [--filter-number <index=value>]\n"
    "             [--filter-string <index=value>] [--sort-dir <sort-dir>]\n"
    "             <file-list>\n"
    "\n"
    "   options:\n"
    "\n"
    "      <file-list>      File containing a list of alert logs\n"
    "                       containing rows of 6 fields each separated\n"
    "                       by '|'.\n" +
    column23_options;

inline const std::string trailscan =
    "\n"
    "   trailscan - 1.0.3 - Quorvane Security\n"
    "\n"
    "      activity log query tool\n"
    "\n"
    "   usage:\n"
    "\n"
    "      trailscan [--offset <offset>] [--limit <limit>] [--outfile <outfile>]\n"
    "             [--filter-dttm <index=value>] [--filter-enum <index=value>]\n"
    "             [--filter-ip <index=value>] [--filter-number <index=value>]\n"
    "             [--filter-string <index=value>] [--sort-dir <sort-dir>]\n"
    "             <activity-log> [<activity-log> ...]\n"
    "\n"
    "   options:\n"
    "\n"
    "      <activity-log>   An activity of 8 fields each separated by '|'.\n" +
    column23_options;

}  // namespace query_usage_texts
