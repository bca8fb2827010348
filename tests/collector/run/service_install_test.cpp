// --install / --uninstall through the real command line, run by the test
// build of harvd, whose unit directory is HARVD_TEST_UNIT_DIR.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

const char marker[] = "# Installed by harvd --install; harvd --uninstall removes only units with this line.\n";

// A scratch unit directory and a working directory whose name needs escaping.
struct install_dirs {
    temp_dir root;
    std::string units = root.file("units");
    std::string work = root.file("work dir %i $X");
    install_dirs()
    {
        mkdir(units.c_str(), 0755);
        mkdir(work.c_str(), 0755);
    }
};

process_result harvd_units(const std::string& unit_dir, const std::vector<std::string>& args,
                           const std::string& cwd = "")
{
    std::vector<std::string> argv = {"/usr/bin/env", "HARVD_TEST_UNIT_DIR=" + unit_dir, HARVD_TEST_UNITS_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, "", cwd);
}

std::string error_line(const process_result& r)
{
    size_t at = r.err.find("*** ERROR *** ");
    return at == std::string::npos ? r.err : r.err.substr(at + 14);
}

// Every entry under the unit directory, with link targets, for "nothing changed".
std::set<std::string> tree(const std::string& dir, const std::string& prefix = "")
{
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") {
            continue;
        }
        std::string path = dir + "/" + n;
        struct stat st;
        lstat(path.c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            names.insert(prefix + n + "/");
            for (const std::string& sub : tree(path, prefix + n + "/")) {
                names.insert(sub);
            }
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t len = readlink(path.c_str(), target, sizeof target - 1);
            names.insert(prefix + n + " -> " + std::string(target, len > 0 ? static_cast<size_t>(len) : 0));
        } else {
            names.insert(prefix + n + " = " + read_file(path));
        }
    }
    closedir(d);
    return names;
}

std::string expected_unit(const std::string& description, const std::string& work_dir_value,
                          const std::string& quoted_args)
{
    return std::string(marker) +
           "[Unit]\n"
           "Description=" + description + " (harvd DNS and DHCP collector)\n"
           "Wants=network-online.target\n"
           "After=network-online.target\n"
           "\n[Service]\n"
           "Type=notify\n"
           "WorkingDirectory=" + work_dir_value + "\n"
           "ExecStart=\"" HARVD_TEST_UNITS_BIN "\" \"--run-service\" " + quoted_args + "\n"
           "\n[Install]\n"
           "WantedBy=multi-user.target\n";
}

TEST(ServiceInstall, InstallWritesTheUnitAndEnablesIt)
{
    install_dirs d;
    process_result r = harvd_units(
        d.units, {"--install", "harvd-lab_1.a", "logs/my log.txt", "conf \"quoted\".conf", "100%", "$HOME", "c:\\dir\\", ";"},
        d.work);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const std::string unit = d.units + "/harvd-lab_1.a.service";
    EXPECT_EQ(read_file(unit),
              expected_unit("harvd-lab_1.a", d.root.path() + "/work dir %%i $X",
                            "\"logs/my log.txt\" \"conf \\\"quoted\\\".conf\" \"100%%\" \"$$HOME\" \"c:\\\\dir\\\\\" \";\""));
    EXPECT_EQ(tree(d.units), (std::set<std::string>{"harvd-lab_1.a.service = " + read_file(unit),
                                                    "multi-user.target.wants/",
                                                    "multi-user.target.wants/harvd-lab_1.a.service -> " + unit}));
    struct stat st;
    ASSERT_EQ(stat(unit.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // systemd's own check of the unit, where the program is there.
    if (access("/usr/bin/systemd-analyze", X_OK) == 0) {
        process_result v = run_process({"/usr/bin/systemd-analyze", "verify", unit});
        EXPECT_EQ(v.status, 0) << v.out << v.err;
        EXPECT_EQ(v.err, "");
    }
}

TEST(ServiceInstall, InstallUninstallCycle)
{
    install_dirs d;
    ASSERT_EQ(harvd_units(d.units, {"--install", "svc", "h.log", "h.conf"}, d.work).status, 0);
    const std::set<std::string> installed = tree(d.units);

    // A second install under the same name changes nothing, whatever its arguments.
    process_result again = harvd_units(d.units, {"--install", "svc", "other.log", "other.conf", "x"}, d.work);
    EXPECT_EQ(again.status, 17);
    EXPECT_EQ(error_line(again), "svc_install: CreateService() failed: 17\n");
    EXPECT_EQ(tree(d.units), installed);

    process_result removed = harvd_units(d.units, {"--uninstall", "svc"});
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.out + removed.err, "");
    EXPECT_EQ(tree(d.units), (std::set<std::string>{"multi-user.target.wants/"}));

    process_result gone = harvd_units(d.units, {"--uninstall", "svc"});
    EXPECT_EQ(gone.status, 2);
    EXPECT_EQ(error_line(gone), "svc_open: OpenService() failed: 2\n");

    // The name is free again.
    EXPECT_EQ(harvd_units(d.units, {"--install", "svc", "h.log", "h.conf"}, d.work).status, 0);
    EXPECT_EQ(tree(d.units), installed);
}

TEST(ServiceInstall, RefusedNamesAndArguments)
{
    install_dirs d;
    const std::string longest(200, 'n');
    struct refused_case {
        std::vector<std::string> args;
        const char* error;
    };
    const refused_case cases[] = {
        {{"--install", "", "h.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", ".hidden", "h.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", "../escape", "h.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", "a b", "h.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", "a%i", "h.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", "caf\xc3\xa9", "h.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", longest + "n", "h.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        // A line break or another control character cannot stand in a unit;
        // systemd drops a line that is not UTF-8.
        {{"--install", "svc", "h.log\nExecStartPre=/bin/false", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", "svc", "h.log", "h\tconf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", "svc", "h.log", "h.conf", "\x7f"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", "svc", "h\xff.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", "svc", "h\xc3.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--install", "svc", "h\xed\xa0\x80.log", "h.conf"}, "svc_install: CreateService() failed: 22\n"},
        {{"--uninstall", "a/b"}, "svc_open: OpenService() failed: 22\n"},
        {{"--uninstall", ".x"}, "svc_open: OpenService() failed: 22\n"},
    };
    for (const refused_case& c : cases) {
        process_result r = harvd_units(d.units, c.args, d.work);
        EXPECT_EQ(r.status, 22) << c.args[1] << " " << c.args[2];
        EXPECT_EQ(error_line(r), c.error) << c.args[1] << " " << c.args[2];
    }
    // A working directory systemd would read differently: the blank at the
    // end is stripped, a backslash there joins the next line.
    for (const char* work : {"ends in blank ", "ends in backslash\\", "line\nbreak"}) {
        std::string dir = d.root.file(work);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << work;
        process_result r = harvd_units(d.units, {"--install", "svc", "h.log", "h.conf"}, dir);
        EXPECT_EQ(r.status, 22) << work;
        EXPECT_EQ(error_line(r), "svc_install: CreateService() failed: 22\n") << work;
    }
    EXPECT_TRUE(tree(d.units).empty());

    // The longest name, a colon, and text in other scripts are fine.
    EXPECT_EQ(harvd_units(d.units, {"--install", longest, "journal-\xc3\xa9t\xc3\xa9.log", "h.conf"}, d.work).status, 0);
    EXPECT_TRUE(file_exists(d.units + "/" + longest + ".service"));
    EXPECT_EQ(harvd_units(d.units, {"--install", "dns:site-2", "h.log", "h.conf"}, d.work).status, 0);
    EXPECT_TRUE(file_exists(d.units + "/multi-user.target.wants/dns:site-2.service"));
}

TEST(ServiceInstall, UnitDirectoryThatCannotBeWritten)
{
    install_dirs d;
    process_result missing = harvd_units(d.root.file("none"), {"--install", "svc", "h.log", "h.conf"}, d.work);
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(error_line(missing), "svc_openscm: OpenSCManager() failed: 2\n");
    process_result missing_un = harvd_units(d.root.file("none"), {"--uninstall", "svc"});
    EXPECT_EQ(missing_un.status, 2);
    EXPECT_EQ(error_line(missing_un), "svc_openscm: OpenSCManager() failed: 2\n");

    // Root writes through permission bits: a read-only mount shows the refusal.
    if (run_process({"/usr/bin/unshare", "--mount", "true"}).status != 0) {
        GTEST_SKIP() << "no mount namespace for a read-only unit directory";
    }
    for (const char* command : {"--install", "--uninstall"}) {
        std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private", "sh", "-c",
                                         "mount --bind -o ro \"$1\" \"$1\" && cd \"$2\" && shift 2 && exec \"$@\"",
                                         "sh", d.units, d.work, "/usr/bin/env", "HARVD_TEST_UNIT_DIR=" + d.units,
                                         HARVD_TEST_UNITS_BIN, command, "svc"};
        if (std::string(command) == "--install") {
            argv.push_back("h.log");
            argv.push_back("h.conf");
        }
        process_result r = run_process(argv);
        EXPECT_EQ(r.status, 30) << command << r.err;
        EXPECT_EQ(error_line(r), "svc_openscm: OpenSCManager() failed: 30\n") << command;
    }
    EXPECT_TRUE(tree(d.units).empty());
}

TEST(ServiceInstall, UninstallLeavesUnitsItDidNotWrite)
{
    install_dirs d;
    const std::string unit = d.units + "/admin.service";
    const std::string text = "[Service]\nExecStart=/bin/true\n";
    write_file(unit, text);
    mkdir((d.units + "/multi-user.target.wants").c_str(), 0755);
    ASSERT_EQ(symlink(unit.c_str(), (d.units + "/multi-user.target.wants/admin.service").c_str()), 0);
    const std::set<std::string> before = tree(d.units);

    process_result r = harvd_units(d.units, {"--uninstall", "admin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(error_line(r), "svc_open: OpenService() failed: 1\n");
    EXPECT_EQ(tree(d.units), before);

    // A unit that is only a link to one elsewhere is not ours either.
    ASSERT_EQ(symlink(unit.c_str(), (d.units + "/linked.service").c_str()), 0);
    EXPECT_NE(harvd_units(d.units, {"--uninstall", "linked"}).status, 0);
    EXPECT_TRUE(file_exists(unit));
}

TEST(ServiceInstall, TestBuildNeedsItsDirectory)
{
    // Without the variable the test build refuses rather than fall back on
    // the system's unit directory.
    process_result r = run_process({"/usr/bin/env", "-u", "HARVD_TEST_UNIT_DIR", HARVD_TEST_UNITS_BIN, "--uninstall", "x"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(error_line(r), "HARVD_TEST_UNIT_DIR is not set\n");
}

// The one check against a real service manager: only where systemd is PID 1.
TEST(ServiceInstall, RealSystemdStartsAndStopsTheService)
{
    std::string init = file_exists("/proc/1/comm") ? read_file("/proc/1/comm") : "";
    if (init != "systemd\n") {
        GTEST_SKIP() << "PID 1 is not systemd (it is '" << init.substr(0, init.find('\n'))
                     << "'): no service manager to run the unit";
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to add a unit to the running systemd";
    }
    // /run/systemd/system is read by systemd and emptied at boot.
    const std::string units = "/run/systemd/system";
    const std::string name = "harvd-test-" + std::to_string(getpid());
    install_dirs d;
    write_file(d.work + "/h.conf", "al_dir = " + d.work + "\n");
    ASSERT_EQ(harvd_units(units, {"--install", name, "h.log", "h.conf"}, d.work).status, 0);
    const std::string systemctl = "/usr/bin/systemctl";
    run_process({systemctl, "daemon-reload"});
    process_result start = run_process({systemctl, "start", name + ".service"});
    EXPECT_EQ(start.status, 0) << start.err;
    EXPECT_EQ(run_process({systemctl, "is-active", name + ".service"}).out, "active\n");
    process_result stop = run_process({systemctl, "stop", name + ".service"});
    EXPECT_EQ(stop.status, 0) << stop.err;
    process_result status = run_process({systemctl, "show", "-p", "ExecMainStatus", "--value", name + ".service"});
    EXPECT_EQ(status.out, "0\n");
    EXPECT_NE(read_file(d.work + "/h.log").find("stopped!"), std::string::npos);
    EXPECT_EQ(harvd_units(units, {"--uninstall", name}).status, 0);
    run_process({systemctl, "daemon-reload"});
}

}  // namespace
