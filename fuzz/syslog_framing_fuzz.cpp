// Any bytes as a TCP syslog stream, cut into lines by the listener's framing.
// The first input byte sets the size of the writes the stream arrives in.
// The connection buffer is left at its first size (1024 bytes), so streams
// of fuzzing size reach the full-buffer case. Every line must end with its
// terminator (LF or NUL) and a NUL after it, hold no terminator before that,
// and the lines together must be the start of the stream, byte for byte.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "collector/methods/syslog/sock.h"
#include "collector/methods/syslog/syslog_listen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 65536) {
        return 0;
    }
    const size_t piece = static_cast<size_t>(data[0]) + 1;
    ++data;
    --size;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        abort();
    }
    // Written on a thread of its own: small pieces fill the socket's buffer
    // long before the bytes run out, and only the reader below empties it.
    std::thread writer([&] {
        for (size_t at = 0; at < size; at += piece) {
            size_t n = size - at < piece ? size - at : piece;
            // Fails once the reader has given up on a line too long: then stop.
            if (send(pair[0], data + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) {
                break;
            }
        }
        close(pair[0]);
    });

    sock* conn = sock_new();
    conn->socket = pair[1];
    growbuf* line = growbuf_new();
    std::string lines;
    while (syslog_tcp_read_line(conn, line) == 0) {
        const auto* text = line->data;
        const int32_t len = line->length;
        if (len < 2 || len > line->capacity || text[len - 1] != 0 || (text[len - 2] != '\n' && text[len - 2] != 0)) {
            abort();
        }
        for (int32_t i = 0; i < len - 2; ++i) {
            if (text[i] == '\n' || text[i] == 0) {
                abort();
            }
        }
        lines.append(reinterpret_cast<const char*>(text), static_cast<size_t>(len) - 1);
    }
    sock_free(conn);  // unblocks a writer still sending after a line too long
    writer.join();
    growbuf_free(line);
    if (lines.size() > size || memcmp(lines.data(), data, lines.size()) != 0) {
        abort();
    }
    return 0;
}
