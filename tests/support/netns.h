// Two network namespaces joined by a veth pair, made for one test and
// removed with it on every path (and on a later run, should a crashed run
// have left them). Nothing inside them can reach any other network.
#pragma once

#include <string>

class veth_namespaces {
public:
    // Side "a" gets <subnet>.1/24, side "b" <subnet>.2/24; both have their
    // loopback up and fixed, locally administered hardware addresses.
    explicit veth_namespaces(const std::string& subnet = "10.213.0");
    ~veth_namespaces();
    veth_namespaces(const veth_namespaces&) = delete;
    veth_namespaces& operator=(const veth_namespaces&) = delete;

    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    std::string ns_a, ns_b;  // namespace names, unique to this process
    std::string if_a, if_b;  // veth ends
    std::string addr_a, addr_b;  // IPv4 addresses, without the prefix length
    std::string mac_a, mac_b;  // "02:..:.."

    // Runs an `ip` command inside the namespace; "" on success, else its error text.
    std::string ip_in(const std::string& ns, const std::string& args) const;

private:
    std::string error_;
};

// Why namespace tests cannot run here ("" when they can): they need root and `ip netns`.
std::string netns_unavailable_reason();

// Skips the test (from its body or its fixture's SetUp) where namespace
// tests cannot run, saying why.
#define SKIP_WITHOUT_NETNS()                                         \
    do {                                                             \
        const std::string netns_why_ = netns_unavailable_reason();   \
        if (!netns_why_.empty()) {                                   \
            GTEST_SKIP() << netns_why_;                              \
        }                                                            \
    } while (0)

// Runs `f` on a thread that entered the namespace; sockets and captures it
// opens stay in that namespace, the calling thread stays where it is.
// Returns false when the namespace cannot be entered.
template <typename F>
bool in_netns(const std::string& ns, F f);

// Path of the `ip` program (the test helpers run programs by path).
std::string netns_ip_binary();

bool netns_enter_current_thread(const std::string& ns);

#include <thread>

template <typename F>
bool in_netns(const std::string& ns, F f)
{
    bool entered = false;
    std::thread t([&] {
        entered = netns_enter_current_thread(ns);
        if (entered) {
            f();
        }
    });
    t.join();
    return entered;
}
