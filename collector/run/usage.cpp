#include "collector/run/usage.h"

#include <cstdio>
#include <cstdlib>

const char collector_version[] = "2.2.0";

const char collector_usage_format[] =
    "\n"
    "   harvd - %s - Quorvane Security\n"
    "\n"
    "      DNS and DHCP Wardline Collector\n"
    "\n"
    "   usage:\n"
    "\n"
    "      harvd --install         <name> <log-name> <config-name>\n"
    "      harvd --interfaces\n"
    "      harvd --timezones\n"
    "      harvd --timezone-offset <timezone-name>\n"
    "      harvd --uninstall       <name>\n"
    "      harvd --run-service     <log-name> <config-name>\n"
    "      harvd --run-console     <log-name> <config-name>\n"
    "\n"
    "   options:\n"
    "\n"
    "      <name>          Used to reference this service\n"
    "      <log-name>      Log file for stdout and stderr\n"
    "      <config-name>   Where to read config from\n"
    "      <timezone-name> A timezone name obtained using --timezones\n"
    "\n";

void print_usage()
{
    fprintf(stderr, collector_usage_format, collector_version);
    exit(1);
}
