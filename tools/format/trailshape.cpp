// trailshape: the activity log formatter. Writes chosen fields of every
// 8-field line of a dhcp-pkt or dnsq-req activity log with node names,
// local times and dotted addresses, to a plain or gzip file.
#include <cstdarg>
#include <ctime>

#include "tools/format/line_shaper.h"
#include "tools/format/shape_options.h"
#include "tools/format/shape_output.h"
#include "toolkit/activity_fields.h"
#include "toolkit/diag.h"
#include "toolkit/dsreader.h"
#include "toolkit/out_file.h"

namespace {

const char usage_text[] =
    "\n"
    "   trailshape - %s - Quorvane Security\n"
    "\n"
    "      activity log format tool\n"
    "\n"
    "   usage:\n"
    "\n"
    "      trailshape [--delimiter <delimiter>] [--compress] [--use-ctimes]\n"
    "            [--fields <field>[,<field>]] [--node <id>=<name>]\n"
    "            [--type <type>] [--outfile <outfile>] <activity-log>\n"
    "\n"
    "   options:\n"
    "\n"
    "      <activity-log>  Name of a KVEL activity log.\n"
    "      <delimiter>     Field delimiter, defaults to '|'.\n"
    "      <field>         Field index starting from 0.\n"
    "      <id>            ID to map to a node name.\n"
    "      <name>          Name a node ID should be mapped to.\n"
    "      <outfile>       Write activity to this file.\n"
    "      <type>          Kind of activity input log contains, defaults\n"
    "                      to infer from the log file name.  Can be\n"
    "                      either 'dnsq-req' or 'dhcp-pkt'.\n"
    "\n";

// The open output, for the fatal path: a plain pointer (no destructor at exit).
shape_output* open_output = nullptr;

// Every fatal error, the reader's included, first closes the output so that
// what was written stays a complete file (a valid gzip stream).
void close_then_report(int code, const char* fmt, va_list ap)
{
    if (open_output != nullptr) {
        shape_output* out = open_output;
        open_output = nullptr;
        out->abandon();
    }
    error_exit(code, fmt, ap);
}

int shape_log(int argc, char** argv)
{
    file_error err;
    file_error_check(std_descriptors_reserve(&err), err);
    shape_options opts = parse_shape_args(argc, argv);
    tzset();
    // The input is opened first: an output that is the same file is refused
    // before anything is created or emptied.
    dsreader_ptr reader(dsreader_open(opts.input, DSREADER_FORWARD));
    shape_output out;
    out.open(opts.outfile, opts.compress, reader->descriptor, opts.input);
    open_output = &out;
    line_shaper shaper(opts);
    while (dsreader_next(reader.get()) == 0) {
        if (reader->field_count == activity_field_count) {
            shaper.shape(*reader, out);
        }
    }
    reader.reset();
    open_output = nullptr;
    out.finish();
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    tool_start(usage_text);
    fatal_reporter_set(close_then_report);
    return shape_log(argc, argv);
}
