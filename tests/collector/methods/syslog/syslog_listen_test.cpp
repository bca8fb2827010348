// Listeners on loopback with handlers that record what they are offered.
#include "collector/methods/syslog/syslog_listen.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "collector/core/log.h"
#include "collector/core/warn_limit.h"
#include "tests/collector/lasting_context.h"
#include "tests/collector/methods/syslog/syslog_test_support.h"
#include "tests/support/tcp_client.h"
#include "tests/support/udp_send.h"

namespace {

using namespace syslog_test;
using lines = std::vector<std::pair<int, std::string>>;

bytes as_bytes(const std::string& text)
{
    return bytes(text.begin(), text.end());
}

class SyslogListen : public testing::Test {
protected:
    temp_dir dir;
    std::string log_path = dir.file("h.log");
    std::vector<syslog_listener*> started;
    collector_ctx& collector = *lasting_context();  // its listeners outlive the test

    void SetUp() override
    {
        warn_limit_reset_for_tests();
        log_open(log_path.c_str());
        std::lock_guard<std::mutex> hold(seen().lock);
        seen().lines.clear();
    }
    void TearDown() override
    {
        for (syslog_listener* l : started) {
            syslog_listener_stop_request(l);
        }
        for (syslog_listener* l : started) {
            syslog_listener_stop_finish(l);
        }
        log_close_for_tests();
        warn_limit_reset_for_tests();
    }
    std::string log() const { return file_exists(log_path) ? read_file(log_path) : ""; }

    // A listener with one recording handler per (id, host), in that order.
    syslog_listener* listen(int32_t protocol, int port, const std::vector<std::pair<int, const char*>>& handlers)
    {
        syslog_server* server = syslog_server_new(&collector, protocol, port);
        for (const auto& [id, host] : handlers) {
            syslog_handler_list_append(server, recording_handler(id, host));
        }
        syslog_listener* l = syslog_listener_start(server);
        started.push_back(l);
        return l;
    }

    // Opens connections to `port` until `clients` holds `count`, each
    // sending one line that is taken before the next connects: the short
    // listen backlog never overflows into slow retransmitted handshakes.
    void connect_each(int port, size_t count, std::vector<std::unique_ptr<tcp_client>>& clients)
    {
        while (clients.size() < count) {
            const size_t before = seen().size();
            clients.push_back(std::make_unique<tcp_client>(port));
            ASSERT_TRUE(clients.back()->connected()) << clients.size();
            ASSERT_TRUE(clients.back()->send(line_from("h1", "n: " + std::to_string(clients.size() - 1) + "\n")));
            ASSERT_TRUE(seen().wait_for(before + 1)) << clients.size();
        }
    }
};

TEST_F(SyslogListen, UdpAndTcpOnOnePortAreTwoListeners)
{
    const int port = free_port();
    ASSERT_NE(port, 0);
    listen(syslog_protocol_udp, port, {{1, "h1"}});
    listen(syslog_protocol_tcp, port, {{2, "h1"}});
    // A datagram is one line whatever it holds: the LF inside stays.
    ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, as_bytes(line_from("h1", "by: udp\nstill udp"))), "");
    tcp_client client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(line_from("h1", "by: tcp\n")));
    ASSERT_TRUE(seen().wait_for(2)) << log();
    lines got = seen().snapshot();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (lines{{1, "by: udp\nstill udp"}, {2, "by: tcp\n"}}));
    const std::string p = std::to_string(port);
    EXPECT_NE(log().find("udp syslog server listening on port " + p + "\r\n"), std::string::npos) << log();
    EXPECT_NE(log().find("tcp syslog server listening on port " + p + "\r\n"), std::string::npos) << log();
    EXPECT_NE(log().find("received connection from 127.0.0.1\r\n"), std::string::npos) << log();
}

TEST_F(SyslogListen, HandlersAreOfferedTheLineInStartOrder)
{
    const int port = free_port();
    // 1 and 2 both want h1: 1 was started first and gets it. Only 2 wants h2.
    collector.verbose = 1;  // set before the listener thread starts, as at start-up
    listen(syslog_protocol_udp, port, {{1, "h1"}, {2, "h1"}, {3, "h2"}});
    for (const char* host : {"h1", "h2", "nobody"}) {
        ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, as_bytes(line_from(host, "m: x"))), "");
    }
    ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, as_bytes("no header at all, not even a stamp")), "");
    ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, as_bytes(line_from("h2", "m: last"))), "");
    ASSERT_TRUE(seen().wait_for(3));
    EXPECT_EQ(seen().snapshot(), (lines{{1, "m: x"}, {3, "m: x"}, {3, "m: last"}}));
    EXPECT_NE(log().find("received unhandled event from 127.0.0.1 (hostname=nobody)\r\n"), std::string::npos)
        << log();
    EXPECT_NE(log().find("received unhandled event from 127.0.0.1\r\n"), std::string::npos) << log();
}

TEST_F(SyslogListen, TcpFramingKeepsTerminatorsAndDropsAnUnterminatedTail)
{
    const int port = free_port();
    listen(syslog_protocol_tcp, port, {{1, "h1"}});
    // Sent in pieces that cut lines anywhere, so framing cannot rely on one read per line.
    const std::string stream = line_from("h1", "one\r\n") + line_from("h1", "two") + std::string(1, '\0') +
                               line_from("h1", "three\n") + line_from("h1", "tail without end");
    tcp_client client(port);
    ASSERT_TRUE(client.connected());
    for (size_t at = 0; at < stream.size(); at += 7) {
        ASSERT_TRUE(client.send(stream.substr(at, 7)));
        sleep_ms(1);
    }
    client.close();
    ASSERT_TRUE(seen().wait_for(3));
    sleep_ms(200);  // room for the tail, which must not come
    EXPECT_EQ(seen().snapshot(), (lines{{1, "one\r\n"}, {1, std::string("two") + '\0'}, {1, "three\n"}}));
}

TEST_F(SyslogListen, TcpLineFillingTheWholeBufferAndOneTooLong)
{
    const int port = free_port();
    listen(syslog_protocol_tcp, port, {{1, "h1"}});
    const std::string head = line_from("h1", "");
    // 4096 bytes with the LF as the last byte of the connection's buffer.
    const std::string full = head + std::string(4096 - head.size() - 1, 'f') + "\n";
    ASSERT_EQ(full.size(), 4096u);
    tcp_client client(port);
    ASSERT_TRUE(client.send(full + line_from("h1", "after\n")));
    ASSERT_TRUE(seen().wait_for(2));
    EXPECT_EQ(seen().snapshot()[0].second, full.substr(head.size()));
    EXPECT_EQ(seen().snapshot()[1].second, "after\n");
    // No terminator within 4096 bytes: the connection is closed with a warning.
    ASSERT_TRUE(client.send(head + std::string(5000, 'x')));
    EXPECT_TRUE(client.peer_closed(5000));
    EXPECT_NE(log().find("*** WARN *** line of more than 4096 bytes from 127.0.0.1: connection closed\r\n"),
              std::string::npos)
        << log();
}

TEST_F(SyslogListen, UdpDatagramSizes)
{
    const int port = free_port();
    listen(syslog_protocol_udp, port, {{1, "h1"}});
    const std::string head = line_from("h1", "");
    const std::string exact = head + std::string(4096 - head.size(), 'e');
    const std::string oversize = head + std::string(9000, 'o');
    for (const std::string& d : {exact, oversize, line_from("h1", "good: still logged")}) {
        ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, as_bytes(d)), "");
    }
    ASSERT_TRUE(seen().wait_for(2)) << log();
    sleep_ms(100);  // room for a record of the oversize datagram, which must not come
    EXPECT_EQ(seen().snapshot(), (lines{{1, exact.substr(head.size())}, {1, "good: still logged"}}));
    EXPECT_NE(log().find("*** WARN *** recvfrom(4096) failed: " + std::to_string(EMSGSIZE) + "\r\n"),
              std::string::npos)
        << log();
}

TEST_F(SyslogListen, AbortedConnectionLeavesTheListenerServing)
{
    const int port = free_port();
    listen(syslog_protocol_tcp, port, {{1, "h1"}});
    {
        tcp_client rude(port);
        ASSERT_TRUE(rude.send(line_from("h1", "whole\n") + line_from("h1", "half a li")));
        // The reset comes once the listener has read them.
        ASSERT_TRUE(seen().wait_for(1));
        rude.abort();
    }
    tcp_client polite(port);
    ASSERT_TRUE(polite.send(line_from("h1", "next: logged\n")));
    ASSERT_TRUE(seen().wait_for(2));
    EXPECT_EQ(seen().snapshot(), (lines{{1, "whole\n"}, {1, "next: logged\n"}}));
}

TEST_F(SyslogListen, AcceptGoesOnAfterRunningOutOfDescriptors)
{
    const int port = free_port();
    // In a child process, so the lowered descriptor limit stays there.
    testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            listen(syslog_protocol_tcp, port, {{1, "h1"}});
            // Opened now: while descriptors are short the log is read through it.
            const int log_fd = open(log_path.c_str(), O_RDONLY | O_CLOEXEC);
            auto warned_yet = [log_fd] {
                char text[8192];
                const ssize_t n = pread(log_fd, text, sizeof text - 1, 0);
                text[n > 0 ? n : 0] = '\0';
                return strstr(text, "*** WARN *** accept() failed: 24\r\n") != nullptr;
            };
            rlimit few{};
            getrlimit(RLIMIT_NOFILE, &few);
            const int lowest_free = dup(0);
            close(lowest_free);
            few.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;  // room for the client's socket only
            setrlimit(RLIMIT_NOFILE, &few);
            // Connected by the kernel, but the listener has no descriptor to accept it with.
            auto* starved = new tcp_client(port);
            // The listener tries again every 100 ms; a slow build takes longer to warn.
            bool warned = wait_until(warned_yet, 10000);
            sleep_ms(200);
            few.rlim_cur += 64;
            setrlimit(RLIMIT_NOFILE, &few);
            bool first = starved->connected() && starved->send(line_from("h1", "m: starved\n"));
            tcp_client next(port);
            bool second = next.send(line_from("h1", "m: next\n"));
            bool both = seen().wait_for(2);
            _exit(warned && first && second && both ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(SyslogListen, WhenEverySlotIsTakenTheConnectionIdleLongestGivesWay)
{
    const int port = free_port();
    listen(syslog_protocol_tcp, port, {{1, "h1"}});
    std::vector<std::unique_ptr<tcp_client>> clients;
    connect_each(port, syslog_max_connections, clients);
    ASSERT_FALSE(HasFatalFailure());
    // The oldest connection speaks again: the second one is idle longest now.
    sleep_ms(5);
    ASSERT_TRUE(clients[0]->send(line_from("h1", "n: 0 again\n")));
    ASSERT_TRUE(seen().wait_for(syslog_max_connections + 1));
    tcp_client newcomer(port);
    ASSERT_TRUE(newcomer.send(line_from("h1", "n: newcomer\n")));
    EXPECT_TRUE(seen().wait_for(syslog_max_connections + 2)) << "the newcomer is served";
    EXPECT_TRUE(clients[1]->peer_closed(5000));
    EXPECT_NE(log().find("*** WARN *** 256 connections on tcp port " + std::to_string(port) +
                         " already: closing the one from 127.0.0.1\r\n"),
              std::string::npos)
        << log();
    ASSERT_TRUE(clients[0]->send(line_from("h1", "n: 0 still served\n")));
    EXPECT_TRUE(seen().wait_for(syslog_max_connections + 3));
    EXPECT_FALSE(clients[0]->peer_closed(100));
}

// Every way the listener ends a connection, with a sender that only writes
// and never reads (logger -T, a script, an appliance): its writes must start
// failing at once. A close that reaches the sender as no more than the end
// of the stream tells it nothing, and a socket that refuses input after a
// stop or after giving way drops what the sender writes without an answer,
// so the sender would write on, unheard, until its kernel gives up minutes
// later.
TEST_F(SyslogListen, ASenderThatOnlyWritesLearnsAtOnceThatItsConnectionWasEnded)
{
    struct row {
        const char* name;
        const char* from;  // the sender's address
        // Ends the connection of `sender`, on listener `l` at `port`.
        std::function<void(syslog_listener* l, int port, tcp_client& sender)> end;
    };
    std::vector<std::unique_ptr<tcp_client>> others;
    const std::string head = line_from("h1", "");
    const std::vector<row> rows = {
        {"stop", "127.0.0.1",
         [&](syslog_listener* l, int, tcp_client& sender) {
             ASSERT_TRUE(sender.send(line_from("h1", "n: before the stop\n")));
             ASSERT_TRUE(seen().wait_for(1));
             syslog_listener_stop_request(l);
             syslog_listener_stop_finish(l);
         }},
        {"every slot taken: the idle longest gives way", "127.0.0.1",
         [&](syslog_listener*, int port, tcp_client& sender) {
             ASSERT_TRUE(sender.send(line_from("h1", "n: idle from now on\n")));
             ASSERT_TRUE(seen().wait_for(1));
             connect_each(port, syslog_max_connections, others);  // the last one is the newcomer
         }},
        {"line over the limit", "127.0.0.1",
         [&](syslog_listener*, int, tcp_client& sender) { ASSERT_TRUE(sender.send(head + std::string(5000, 'x'))); }},
        {"address that no method takes", "127.0.0.2", [&](syslog_listener*, int, tcp_client&) {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        {
            std::lock_guard<std::mutex> hold(seen().lock);
            seen().lines.clear();
        }
        others.clear();
        const int port = free_port();
        syslog_listener* l = listen(syslog_protocol_tcp, port, {{1, "h1"}});
        tcp_client sender(port, r.from);
        ASSERT_TRUE(sender.connected() || sender.peer_closed(0));
        r.end(l, port, sender);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_TRUE(sender.send_fails_within(line_from("h1", "n: unheard\n"), 1000)) << log();
    }
}

TEST_F(SyslogListen, StrangersAreClosedBeforeTheyTakeASlot)
{
    const int port = free_port();
    // The one method takes lines from 127.0.0.1 only.
    listen(syslog_protocol_tcp, port, {{1, "h1"}});
    std::vector<std::unique_ptr<tcp_client>> strangers;
    for (int i = 0; i < syslog_max_connections; ++i) {
        strangers.push_back(std::make_unique<tcp_client>(port, "127.0.0.2"));
        // Or turned away already, before connect returned.
        ASSERT_TRUE(strangers.back()->connected() || strangers.back()->peer_closed(0)) << i;
        strangers.back()->send("x");  // junk, a byte at a time; may meet the close already
        // Paced by the listener's answer, so the short listen backlog never
        // overflows into slow retransmitted handshakes.
        strangers.back()->peer_closed(50);
    }
    tcp_client sender(port);
    ASSERT_TRUE(sender.connected());
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(sender.send(line_from("h1", "n: " + std::to_string(i) + "\n"))) << i;
    }
    EXPECT_TRUE(seen().wait_for(20)) << seen().size() << " of 20 lines\n" << log();
    EXPECT_TRUE(wait_until(
        [&] {
            return std::all_of(strangers.begin(), strangers.end(), [](auto& s) { return s->peer_closed(0); });
        },
        5000));
    EXPECT_NE(log().find("*** WARN *** no method on tcp port " + std::to_string(port) +
                         " takes lines from 127.0.0.2: connection closed\r\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(log().find("received connection from 127.0.0.2"), std::string::npos) << "no thread was started for them";
    // The warnings beyond the quota are counted under the port's own subject.
    warn_limit_flush(true);
    EXPECT_NE(log().find("more warnings about syslog input on tcp port " + std::to_string(port) + " were suppressed\r\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(log().find("captured packets"), std::string::npos) << log();
}

TEST_F(SyslogListen, StopHandsOnWhatWasReceived)
{
    const int udp_port = free_port();
    syslog_listener* udp = listen(syslog_protocol_udp, udp_port, {{1, "h1"}});
    const int tcp_port = free_port();
    syslog_listener* tcp = listen(syslog_protocol_tcp, tcp_port, {{2, "h1"}});
    std::vector<bytes> datagrams;
    for (int i = 0; i < 50; ++i) {
        datagrams.push_back(as_bytes(line_from("h1", "u: " + std::to_string(i))));
    }
    tcp_client client(tcp_port);
    std::string stream;
    for (int i = 0; i < 50; ++i) {
        stream += line_from("h1", "t: " + std::to_string(i) + "\n");
    }
    ASSERT_TRUE(client.send(stream));
    ASSERT_EQ(udp_send_each("127.0.0.1", 0, "127.0.0.1", udp_port, datagrams), "");
    sleep_ms(100);  // everything is in the kernel's queues by now
    syslog_listener_stop_request(udp);
    syslog_listener_stop_request(tcp);
    syslog_listener_stop_finish(udp);
    syslog_listener_stop_finish(tcp);
    EXPECT_EQ(seen().size(), 100u);
    EXPECT_TRUE(client.peer_closed(2000));
    EXPECT_EQ(log().find("still busy"), std::string::npos) << log();
    // Stopped listeners take nothing more.
    ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", udp_port, datagrams[0]), "");
    tcp_client late(tcp_port);
    EXPECT_FALSE(late.connected() && late.send(stream) && !late.peer_closed(500));
    sleep_ms(100);
    EXPECT_EQ(seen().size(), 100u);
}

// Holds the receiving thread at the first line it is offered until the
// test lets it go, then records as take_own_host does.
std::atomic<bool> gate_reached{false};
std::atomic<bool> gate_open{false};

parse_result take_after_gate(syslog_server* server, syslog_handler* handler, syslog_event* event)
{
    if (!gate_reached.exchange(true)) {
        while (!gate_open.load()) {
            sleep_ms(1);
        }
    }
    return take_own_host(server, handler, event);
}

TEST_F(SyslogListen, StopHandsOnLinesQueuedAfterAnEmptyDatagramAndReportsKernelDrops)
{
    struct row {
        const char* name;
        int before_empty;  // datagrams queued while the thread is held, before the empty one
        int after_empty;   // 0: far too many for the socket buffer
    };
    for (const row& r : {row{"within the buffer", 100, 100}, row{"overflowing it", 100, 0}}) {
        SCOPED_TRACE(r.name);
        {
            std::lock_guard<std::mutex> hold(seen().lock);
            seen().lines.clear();
        }
        gate_reached = false;
        gate_open = false;
        const int port = free_port();
        syslog_server* server = syslog_server_new(&collector, syslog_protocol_udp, port);
        syslog_handler* handler = recording_handler(1, "h1");
        handler->parser = take_after_gate;
        syslog_handler_list_append(server, handler);
        syslog_listener* l = syslog_listener_start(server);

        ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, as_bytes(line_from("h1", "first"))), "");
        ASSERT_TRUE(wait_until([] { return gate_reached.load(); }, 5000));
        const int after_empty = r.after_empty > 0 ? r.after_empty : udp_overflow_count(log(), port);
        ASSERT_GT(after_empty, 0) << log();
        std::vector<bytes> queued;
        for (int i = 0; i < r.before_empty + after_empty; ++i) {
            if (i == r.before_empty) {
                queued.push_back(bytes());
            }
            queued.push_back(as_bytes(line_from("h1", "n: " + std::to_string(i))));
        }
        ASSERT_EQ(udp_send_each("127.0.0.1", 0, "127.0.0.1", port, queued), "");
        syslog_listener_stop_request(l);
        gate_open = true;
        syslog_listener_stop_finish(l);

        const int sent = 1 + r.before_empty + after_empty;
        const int taken = static_cast<int>(seen().size());
        std::smatch m;
        const std::string text = log();
        const std::regex drops("syslog udp port " + std::to_string(port) +
                               ": ([0-9]+) datagrams dropped by the kernel since the last report\r\n");
        const int dropped = std::regex_search(text, m, drops) ? std::stoi(m[1]) : 0;
        EXPECT_EQ(taken + dropped, sent) << text;
        if (r.after_empty == 100) {
            EXPECT_EQ(taken, sent) << "nothing was dropped: every line is handed on";
        } else {
            EXPECT_GT(dropped, 0) << text;
        }
        EXPECT_EQ(text.find("still busy"), std::string::npos) << text;
    }
}

TEST_F(SyslogListen, WhatArrivesAfterTheStopIsNotRead)
{
    for (int32_t protocol : {syslog_protocol_udp, syslog_protocol_tcp}) {
        SCOPED_TRACE(protocol == syslog_protocol_tcp ? "tcp" : "udp");
        {
            std::lock_guard<std::mutex> hold(seen().lock);
            seen().lines.clear();
        }
        gate_reached = false;
        gate_open = false;
        const int port = free_port();
        syslog_server* server = syslog_server_new(&collector, protocol, port);
        syslog_handler* handler = recording_handler(1, "h1");
        handler->parser = take_after_gate;
        syslog_handler_list_append(server, handler);
        syslog_listener* l = syslog_listener_start(server);

        tcp_client client(protocol == syslog_protocol_tcp ? port : 0);
        auto send_lines = [&](const std::string& tag, int count) {
            for (int i = 0; i < count; ++i) {
                const std::string line = line_from("h1", tag + ": " + std::to_string(i));
                if (protocol == syslog_protocol_tcp) {
                    ASSERT_TRUE(client.send(line + "\n"));
                } else {
                    ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, as_bytes(line)), "");
                }
            }
        };
        send_lines("first", 1);
        ASSERT_TRUE(wait_until([] { return gate_reached.load(); }, 5000));
        send_lines("before", 50);
        sleep_ms(50);  // in the kernel's queue by now
        syslog_listener_stop_request(l);
        send_lines("after", 50);  // a sender that goes on and on
        gate_open = true;
        syslog_listener_stop_finish(l);
        sleep_ms(100);
        size_t after = 0;
        for (const auto& [id, message] : seen().snapshot()) {
            after += message.rfind("after", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(seen().size() - after, 51u);
        EXPECT_EQ(after, 0u);
    }
}

}  // namespace
