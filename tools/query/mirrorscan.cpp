// mirrorscan: the replication log query tool (4 fields a line).
#include "tools/query/query_frame.h"

int main(int argc, char** argv)
{
    const query_tool_text text = {"mirrorscan", "replication log query tool", "<replication-log>",
                                   {"A replication log of 4 fields each separated by '|'."}};
    return query_single_log_main(argc, argv, text, 4);
}
