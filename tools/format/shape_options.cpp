#include "tools/format/shape_options.h"

#include <cstring>

#include "toolkit/activity_fields.h"
#include "toolkit/diag.h"
#include "toolkit/number.h"

namespace {

bool is(const char* arg, const char* name)
{
    return strcmp(arg, name) == 0;
}

int type_in(const std::string& text)
{
    if (text.find("dnsq-req") != std::string::npos) {
        return ACTIVITY_DNSQ_REQ;
    }
    if (text.find("dhcp-pkt") != std::string::npos) {
        return ACTIVITY_DHCP_PKT;
    }
    return ACTIVITY_UNKNOWN;
}

// One --fields value: numbers counted from 1, comma-separated.
std::vector<int> field_list_parse(const char* value)
{
    std::vector<int> fields;
    const char* item = value;
    for (;;) {
        int32_t number = num_parse_i32(item);  // stops at the comma
        if (number < 1) {
            fatal(-1, "field index in string '%s' is invalid\n", value);
        }
        fields.push_back(number - 1);
        const char* comma = strchr(item, ',');
        if (comma == nullptr) {
            return fields;
        }
        item = comma + 1;
    }
}

// One --node value "<id>=<name>", appended to `nodes`.
void node_map_add(std::vector<node_entry>& nodes, const char* value)
{
    const char* equals = strchr(value, '=');
    if (equals == nullptr || equals[1] == '\0') {
        usage_exit();
    }
    int32_t id = num_parse_i32(value);
    if (id == 0) {
        fatal(-1, "node id in string '%s' is invalid\n", value);
    }
    nodes.push_back(node_entry{id, equals + 1});
}

// The activity type named in a path: the file's base name first, then the
// whole path; "dnsq-req" before "dhcp-pkt". ACTIVITY_UNKNOWN when neither.
int activity_type_of_path(const std::string& path)
{
    size_t slash = path.rfind('/');
    int type = type_in(slash == std::string::npos ? path : path.substr(slash + 1));
    return type != ACTIVITY_UNKNOWN ? type : type_in(path);
}

}  // namespace

shape_options parse_shape_args(int argc, char** argv)
{
    shape_options opts;
    int i = 1;
    for (; i < argc; ++i) {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value != nullptr && is(arg, "--delimiter")) {
            if (value[0] == '\0') {
                usage_exit();
            }
            opts.delimiter = value[0];
        } else if (value != nullptr && is(arg, "--outfile")) {
            opts.outfile = value;
        } else if (value != nullptr && is(arg, "--fields")) {
            opts.fields = field_list_parse(value);
            opts.fields_given = true;
        } else if (value != nullptr && is(arg, "--type")) {
            if (is(value, "dnsq-req")) {
                opts.type = ACTIVITY_DNSQ_REQ;
            } else if (is(value, "dhcp-pkt")) {
                opts.type = ACTIVITY_DHCP_PKT;
            } else {
                usage_exit();
            }
        } else if (value != nullptr && is(arg, "--node")) {
            node_map_add(opts.nodes, value);
        } else if (is(arg, "--compress")) {
            opts.compress = true;
            continue;
        } else if (is(arg, "--use-ctimes")) {
            opts.use_ctimes = true;
            continue;
        } else {
            opts.input = arg;
            break;
        }
        ++i;  // the option's value
    }
    if (opts.input == nullptr) {
        usage_exit();
    }
    if (opts.type == ACTIVITY_UNKNOWN) {
        opts.type = activity_type_of_path(opts.input);
        if (opts.type == ACTIVITY_UNKNOWN) {
            usage_exit();
        }
    }
    if (!opts.fields_given) {
        for (int i = 1; i < activity_field_count; ++i) {  // every field but the method id
            opts.fields.push_back(i);
        }
    }
    return opts;
}
