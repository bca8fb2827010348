// Two network namespaces joined by a veth pair, made for one test and
// removed with it (and on the next run, should a crashed run have left them).
// Nothing inside them can reach any other network.
#pragma once

#include <string>

class veth_namespaces {
public:
    // Server side "a" (10.213.0.1/24) and client side "b" (10.213.0.2/24).
    veth_namespaces();
    ~veth_namespaces();
    veth_namespaces(const veth_namespaces&) = delete;
    veth_namespaces& operator=(const veth_namespaces&) = delete;

    bool ready() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    std::string ns_a, ns_b;  // namespace names
    std::string if_a, if_b;  // veth ends
    std::string mac_a, mac_b;  // "02:..:.."

    // Runs an `ip` command inside the namespace; "" on success, else its error text.
    std::string ip_in(const std::string& ns, const std::string& args) const;

private:
    std::string error_;
};

// Why live tests cannot run here ("" when they can): they need root and `ip netns`.
std::string netns_unavailable_reason();

// Runs `f` on a thread that entered the namespace; sockets and captures it
// opens stay in that namespace. Returns false when the namespace cannot be entered.
template <typename F>
bool in_netns(const std::string& ns, F f);

// Path of the `ip` program.
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
