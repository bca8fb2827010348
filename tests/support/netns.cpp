#include "tests/support/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <sstream>
#include <vector>

#include "tests/support/process.h"

namespace {

const char ns_prefix[] = "hvcap";

// run_process does not search PATH.
const std::string& ip_binary()
{
    static const std::string path = [] {
        for (const char* p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
            if (access(p, X_OK) == 0) {
                return std::string(p);
            }
        }
        return std::string("ip");
    }();
    return path;
}

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

std::string run_ip(const std::string& args)
{
    std::vector<std::string> argv = {ip_binary()};
    for (const std::string& w : words(args)) {
        argv.push_back(w);
    }
    process_result r = run_process(argv);
    return r.status == 0 ? "" : "ip " + args + ": " + r.err + r.out;
}

// Namespaces named hvcap<pid>n<seq>a / hvcap<pid>n<seq>b whose process is gone.
void remove_leftovers()
{
    process_result r = run_process({ip_binary(), "netns", "list"});
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        std::string name = line.substr(0, line.find(' '));
        if (name.rfind(ns_prefix, 0) != 0) {
            continue;
        }
        std::string rest = name.substr(sizeof ns_prefix - 1);
        size_t digits = rest.find_first_not_of("0123456789");
        if (digits == 0 || digits == std::string::npos || digits > 9) {
            continue;
        }
        pid_t owner = static_cast<pid_t>(std::stol(rest.substr(0, digits)));
        if (owner != getpid() && kill(owner, 0) != 0 && errno == ESRCH) {
            run_ip("netns del " + name);
        }
    }
}

std::string mac_of(const std::string& ns, const std::string& ifname)
{
    process_result r = run_process({ip_binary(), "-n", ns, "-br", "link", "show", ifname});
    std::vector<std::string> w = words(r.out);
    return w.size() >= 3 ? w[2] : "";
}

}  // namespace

std::string netns_unavailable_reason()
{
    if (geteuid() != 0) {
        return "needs root (network namespaces and raw capture); skipped";
    }
    if (run_process({ip_binary(), "netns", "list"}).status != 0) {
        return "needs 'ip netns' (iproute2); skipped";
    }
    return "";
}

veth_namespaces::veth_namespaces(const std::string& subnet) : addr_a(subnet + ".1"), addr_b(subnet + ".2")
{
    static std::atomic<unsigned> made{0};
    remove_leftovers();
    // The process id keeps the names apart from other test programs running
    // at the same time, the count from other pairs of this one.
    std::string id = std::to_string(getpid()) + "n" + std::to_string(made++);
    ns_a = ns_prefix + id + "a";
    ns_b = ns_prefix + id + "b";
    if_a = "hv" + id + "a";
    if_b = "hv" + id + "b";
    // Left by an earlier process that had the same id and was killed.
    run_ip("netns del " + ns_a);
    run_ip("netns del " + ns_b);
    // Fixed, locally administered addresses keep the test's frames recognisable.
    const std::vector<std::string> steps = {
        "netns add " + ns_a,
        "netns add " + ns_b,
        "-n " + ns_a + " link add " + if_a + " address 02:00:5e:10:00:01 type veth peer name " + if_b +
            " address 02:00:5e:10:00:02 netns " + ns_b,
        "-n " + ns_a + " addr add " + addr_a + "/24 dev " + if_a,
        "-n " + ns_b + " addr add " + addr_b + "/24 dev " + if_b,
        "-n " + ns_a + " link set " + if_a + " up",
        "-n " + ns_b + " link set " + if_b + " up",
        "-n " + ns_a + " link set lo up",
        "-n " + ns_b + " link set lo up",
    };
    for (const std::string& step : steps) {
        error_ = run_ip(step);
        if (!error_.empty()) {
            return;
        }
    }
    mac_a = mac_of(ns_a, if_a);
    mac_b = mac_of(ns_b, if_b);
}

veth_namespaces::~veth_namespaces()
{
    // Also after a failed step. Deleting a namespace removes the veth pair with it.
    run_ip("netns del " + ns_a);
    run_ip("netns del " + ns_b);
}

std::string netns_ip_binary()
{
    return ip_binary();
}

std::string veth_namespaces::ip_in(const std::string& ns, const std::string& args) const
{
    return run_ip("-n " + ns + " " + args);
}

bool netns_enter_current_thread(const std::string& ns)
{
    std::string path = "/run/netns/" + ns;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}
