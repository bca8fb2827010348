// trailshape's command line: the run settings and their parsers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int ACTIVITY_UNKNOWN = 0;
constexpr int ACTIVITY_DNSQ_REQ = 1;
constexpr int ACTIVITY_DHCP_PKT = 2;

struct node_entry {
    int32_t id;  // never 0
    std::string name;
};

struct shape_options {
    char delimiter = '|';
    std::string outfile = "activity-log.fmt";
    bool compress = false;
    bool use_ctimes = false;
    int type = ACTIVITY_UNKNOWN;
    std::vector<int> fields;  // indexes counted from 0, in output order
    bool fields_given = false;
    std::vector<node_entry> nodes;  // command-line order: the first match wins
    const char* input = nullptr;
};

// The whole command line; usage errors end with the usage text, bad field
// lists and node ids with their messages. Fills in the type from the input
// path and the default field list when they were not given.
shape_options parse_shape_args(int argc, char** argv);
