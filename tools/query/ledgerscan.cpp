// ledgerscan: the audit log query tool (5 fields a line).
#include "tools/query/query_frame.h"

int main(int argc, char** argv)
{
    const query_tool_text text = {"ledgerscan", "audit log query tool", "<audit-log>",
                                   {"An audit log of 5 fields each separated by '|'."}};
    return query_single_log_main(argc, argv, text, 5);
}
