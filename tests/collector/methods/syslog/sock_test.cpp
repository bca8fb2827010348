#include "collector/methods/syslog/sock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/collector/logged_test.h"
#include "tests/support/process.h"
#include "tests/support/tcp_client.h"
#include "tests/support/udp_send.h"

namespace {

class Sock : public logged_test {};

const unsigned char loopback_peer[16] = {127, 0, 0, 1};

TEST_F(Sock, BufferGrowsInSteps)
{
    growbuf* buf = growbuf_new();
    EXPECT_EQ(buf->capacity, 1024);
    EXPECT_EQ(buf->length, 0);
    memcpy(buf->data, "kept", 4);
    for (int i = 0; i < 3; ++i) {
        growbuf_grow(buf);
    }
    EXPECT_EQ(buf->capacity, 4096);
    EXPECT_EQ(memcmp(buf->data, "kept", 4), 0);
    growbuf_free(buf);
    growbuf_free(nullptr);
}

TEST_F(Sock, DatagramRecordsItsSender)
{
    sock* server = sock_server_new(0, sock_kind_udp);
    unsigned port = bound_port(server->socket);
    ASSERT_NE(port, 0u);
    unsigned first_from = 0, second_from = 0;
    ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, {'o', 'n', 'e'}, "", &first_from), "");
    ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, {'t', 'w', 'o', '!'}, "", &second_from), "");
    char data[16];
    EXPECT_EQ(sock_recvfrom(server, data, sizeof data), 3);
    EXPECT_EQ(server->port, static_cast<int32_t>(first_from)) << "the sender's port, not the bound one";
    EXPECT_EQ(sock_recvfrom(server, data, sizeof data), 4);
    EXPECT_EQ(std::string(data, 4), "two!");
    EXPECT_EQ(server->port, static_cast<int32_t>(second_from));
    EXPECT_EQ(memcmp(server->peer_addr, loopback_peer, 16), 0);
    sock_free(server);
    EXPECT_EQ(log().find("WARN"), std::string::npos) << "closing a datagram socket has nothing to shut down";
}

// What one receive of a batch brings: every datagram queued (up to the
// batch's size) with its own sender, an empty one as empty, one too large
// refused with the warning while the others stay whole; then an empty
// queue, which a receive that does not wait reports as EAGAIN.
TEST_F(Sock, BatchTakesTheQueuedDatagramsEachWithItsSender)
{
    sock* server = sock_server_new(0, sock_kind_udp);
    unsigned port = bound_port(server->socket);
    const bytes exact(sock_batch_datagram_bytes, 'e');
    unsigned last_from = 0;
    ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, {'o', 'n', 'e'}), "");
    ASSERT_EQ(udp_send_each("127.0.0.1", 0, "127.0.0.1", port,
                            {bytes(), bytes(sock_batch_datagram_bytes + 1, 'o'), exact, {'l', 'a', 's', 't'}}, "",
                            &last_from),
              "");
    sock_batch* batch = sock_batch_new();
    ASSERT_EQ(sock_recv_batch(server, batch), 5);
    const int lengths[] = {3, 0, -1, sock_batch_datagram_bytes, 4};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(sock_batch_length(batch, i), lengths[i]) << i;
        EXPECT_EQ(memcmp(sock_batch_peer(batch, i), loopback_peer, 16), 0) << i;
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sock_batch_data(batch, 0))), "one") << "NUL after the bytes";
    EXPECT_EQ(bytes(sock_batch_data(batch, 3), sock_batch_data(batch, 3) + sock_batch_datagram_bytes + 1),
              [&] { bytes b = exact; b.push_back(0); return b; }());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(sock_batch_data(batch, 4))), "last");
    EXPECT_EQ(server->port, static_cast<int32_t>(last_from)) << "the last sender";
    EXPECT_NE(log().find("*** WARN *** recvfrom(" + std::to_string(sock_batch_datagram_bytes) + ") failed: " +
                         std::to_string(EMSGSIZE) + "\r\n"),
              std::string::npos)
        << log();

    errno = 0;
    EXPECT_EQ(sock_recv_batch(server, batch, false), -1);
    EXPECT_EQ(errno, EAGAIN);
    std::vector<bytes> many(sock_batch_datagrams + 3, bytes{'m'});
    ASSERT_EQ(udp_send_each("127.0.0.1", 0, "127.0.0.1", port, many), "");
    EXPECT_EQ(sock_recv_batch(server, batch), sock_batch_datagrams);
    EXPECT_EQ(sock_recv_batch(server, batch), 3);
    sock_batch_free(batch);
    sock_free(server);
}

// A UDP socket asks for a large buffer and says what the kernel granted.
TEST_F(Sock, UdpReceiveBufferGrantedIsLogged)
{
    sock* server = sock_server_new(0, sock_kind_udp);
    int granted = 0;
    socklen_t len = sizeof granted;
    ASSERT_EQ(getsockopt(server->socket, SOL_SOCKET, SO_RCVBUF, &granted, &len), 0);
    if (geteuid() == 0) {
        EXPECT_EQ(granted, 2 * sock_udp_rcvbuf_bytes) << "beyond net.core.rmem_max as root";
    }
    EXPECT_NE(log().find("udp port 0: socket receive buffer of " + std::to_string(granted) + " bytes\r\n"),
              std::string::npos)
        << log();
    sock_free(server);
}

TEST_F(Sock, OversizeDatagramIsRefusedAndTheNextOneArrivesWhole)
{
    sock* server = sock_server_new(0, sock_kind_udp);
    unsigned port = bound_port(server->socket);
    ASSERT_EQ(udp_send_each("127.0.0.1", 0, "127.0.0.1", port,
                            {bytes(65, 'x'), bytes(64, 'y'), bytes(3, 'z')}),
              "");
    char data[64];
    errno = 0;
    EXPECT_EQ(sock_recvfrom(server, data, sizeof data), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_TRUE(sock_recv_error_passes(errno));
    EXPECT_EQ(sock_recvfrom(server, data, sizeof data), 64) << "a datagram that just fits is taken";
    EXPECT_EQ(data[63], 'y');
    EXPECT_EQ(sock_recvfrom(server, data, sizeof data), 3);
    EXPECT_EQ(std::string(data, 3), "zzz");
    sock_free(server);
    EXPECT_NE(log().find("*** WARN *** recvfrom(64) failed: " + std::to_string(EMSGSIZE) + "\r\n"),
              std::string::npos)
        << log();
}

TEST_F(Sock, AcceptRecordsThePeerAndReceiveEndsAtEndOfStream)
{
    sock* server = sock_server_new(0, sock_kind_tcp);
    unsigned port = bound_port(server->socket);
    tcp_client client(port);
    ASSERT_TRUE(client.connected());
    sock* conn = sock_new();
    ASSERT_EQ(sock_accept(server, conn), 0);
    EXPECT_EQ(conn->port, client.local_port());
    EXPECT_EQ(memcmp(conn->peer_addr, loopback_peer, 16), 0);
    ASSERT_TRUE(client.send("hello\n"));
    client.close();
    char data[32];
    std::string got;
    int n;
    while ((n = sock_recv(conn, data, sizeof data)) > 0) {
        got.append(data, static_cast<size_t>(n));
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, "hello\n");
    sock_free(conn);
    sock_free(server);
}

TEST_F(Sock, ClosingTwiceOrNeverOpenedIsQuiet)
{
    sock* server = sock_server_new(0, sock_kind_tcp);
    sock_close(server);
    EXPECT_EQ(server->socket, -1);
    sock_close(server);
    EXPECT_EQ(server->socket, -1);
    sock_free(server);
    sock_free(sock_new());  // as after a failed accept
    sock_close(nullptr);
    sock_free(nullptr);
    EXPECT_EQ(log(), "");
}

TEST_F(Sock, ShutdownWakesABlockedReceiveAfterQueuedBytes)
{
    for (int32_t kind : {sock_kind_udp, sock_kind_tcp}) {
        sock* server = sock_server_new(0, kind);
        unsigned port = bound_port(server->socket);
        tcp_client client(kind == sock_kind_tcp ? port : 0);
        sock* conn = server;
        if (kind == sock_kind_tcp) {
            ASSERT_TRUE(client.connected());
            conn = sock_new();
            ASSERT_EQ(sock_accept(server, conn), 0);
            ASSERT_TRUE(client.send("queued"));
        } else {
            ASSERT_EQ(udp_send("127.0.0.1", 0, "127.0.0.1", port, {'q', 'u', 'e', 'u', 'e', 'd'}), "");
        }
        sleep_ms(50);
        int last = -2;
        std::string got;
        std::thread reader([&] {
            char data[32];
            int n;
            while ((n = kind == sock_kind_tcp ? sock_recv(conn, data, sizeof data)
                                              : sock_recvfrom(conn, data, sizeof data)) > 0) {
                got.append(data, static_cast<size_t>(n));
            }
            last = n;
        });
        sleep_ms(100);  // the reader is blocked by now
        sock_shutdown_read(conn);
        reader.join();
        EXPECT_EQ(got, "queued") << kind;
        EXPECT_EQ(last, 0) << kind;
        if (conn != server) {
            sock_shutdown_read(server);
            sock* late = sock_new();
            EXPECT_EQ(sock_accept(server, late), -1) << "a shut listener accepts nothing";
            EXPECT_EQ(log().find("accept() failed"), std::string::npos) << "a stop is no failure";
            sock_free(late);
            sock_free(conn);
        }
        sock_free(server);
    }
}

// A handler installed without SA_RESTART (as a fuzzer's or an embedding
// program's) interrupts the blocked receive: the connection goes on, and the
// line sent after the signal arrives, with nothing warned.
TEST_F(Sock, SignalCaughtWhileWaitingEndsNoConnection)
{
    struct sigaction caught {}, before {};
    caught.sa_handler = [](int) {};
    sigemptyset(&caught.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &caught, &before), 0);
    sock* server = sock_server_new(0, sock_kind_tcp);
    tcp_client client(bound_port(server->socket));
    ASSERT_TRUE(client.connected());
    sock* conn = sock_new();
    ASSERT_EQ(sock_accept(server, conn), 0);
    std::string got;
    int last = -2;
    std::thread reader([&] {
        char data[32];
        int n;
        while ((n = sock_recv(conn, data, sizeof data)) > 0) {
            got.append(data, static_cast<size_t>(n));
        }
        last = n;
    });
    sleep_ms(100);  // the reader waits by now
    pthread_kill(reader.native_handle(), SIGUSR1);
    sleep_ms(50);
    ASSERT_TRUE(client.send("after the signal\n"));
    client.close();
    reader.join();
    sigaction(SIGUSR1, &before, nullptr);
    EXPECT_EQ(got, "after the signal\n");
    EXPECT_EQ(last, 0);
    EXPECT_EQ(log(), "");
    sock_free(conn);
    sock_free(server);
}

TEST_F(Sock, ErrorsThatPassAndErrorsThatEnd)
{
    struct row {
        int err;
        bool receive_passes;
        bool accept_passes;
        bool shortage;
    };
    const row rows[] = {
        {EINTR, true, true, false},         {ENOBUFS, true, true, true},   {ENOMEM, true, true, true},
        {EMSGSIZE, true, false, false},     {ECONNABORTED, true, true, false}, {EMFILE, true, true, true},
        {ENFILE, true, true, true},         {EPROTO, true, true, false},   {EPERM, true, true, false},
        {EBADF, false, false, false},       {ENOTSOCK, false, false, false}, {EINVAL, false, false, false},
        {EFAULT, false, false, false},
    };
    for (const row& r : rows) {
        EXPECT_EQ(sock_recv_error_passes(r.err), r.receive_passes) << strerror(r.err);
        EXPECT_EQ(sock_accept_error_passes(r.err), r.accept_passes) << strerror(r.err);
        EXPECT_EQ(sock_error_is_shortage(r.err), r.shortage) << strerror(r.err);
    }
}

TEST(SockDeathTest, PortTakenByAListenerEndsTheProcess)
{
    sock* taken = sock_server_new(0, sock_kind_tcp);
    const int port = static_cast<int>(bound_port(taken->socket));
    EXPECT_EXIT(sock_server_new(port, sock_kind_tcp), testing::ExitedWithCode(EADDRINUSE),
                "\\*\\*\\* ERROR \\*\\*\\* bind\\(\\) failed: " + std::to_string(EADDRINUSE));
    sock_free(taken);
}

}  // namespace
