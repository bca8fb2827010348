#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collector/run/commands.h"
#include "tests/support/process.h"

namespace {

const char expected_usage[] =
    "\n"
    "   harvd - 2.2.0 - Quorvane Security\n"
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

TEST(CommandLine, WrongCommandLinesPrintUsage)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--Interfaces"},
        {"--uninstall", "a", "b"},
        {"--install", "n", "log"},
        {"--run-console", "log"},
        {"--run-service", "log"},
        {"--timezone-offset"},
        {"--uninstall"},
        {"interfaces"},
    };
    for (const auto& args : cases) {
        std::vector<std::string> argv = {HARVD_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        process_result r = run_process(argv);
        std::string shown = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_EQ(r.err, expected_usage) << shown;
        EXPECT_EQ(r.out, "") << shown;
    }
}

TEST(CommandLine, QuotedArgumentsForTheServiceCommandLine)
{
    const char* argv[] = {"harvd", "--install", "svc", "my log", "c.conf", "x"};
    char* quoted = args_quote(6, const_cast<char**>(argv), 3);
    EXPECT_STREQ(quoted, "\"my log\" \"c.conf\" \"x\"");
    free(quoted);
}

}  // namespace
