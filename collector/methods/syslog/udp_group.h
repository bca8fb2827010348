// One UDP port read through several sockets at once, each by a thread of its
// own: one thread cannot take as many datagrams as a few busy senders send.
// The kernel hands each datagram to one socket of the group, chosen by its
// sender's address and port, so every datagram of one sender goes to the
// same socket and its lines stay in the order it sent them.
//
// The port stays the collector's alone. The first socket is bound as a plain
// socket would be, so a port that any program holds already makes the bind
// fail. Only then do the others join it, with SO_REUSEPORT, which the kernel
// allows for sockets of one user only; a socket of the same user that slipped
// in meanwhile is found and the start fails as if the port had been taken. A
// program of the same user that joins later with SO_REUSEPORT on every
// address gets nothing: the group's choice names the collector's sockets
// only. (One of that user that binds a single address of the port with
// SO_REUSEPORT is given that address's datagrams by the kernel; nothing a
// socket option of ours can refuse.)
#pragma once

#include <cstdint>

#include "collector/methods/syslog/sock.h"

constexpr int udp_group_max = 4;

// The sockets a UDP listener opens: one per CPU that the process may run on,
// at most udp_group_max.
int udp_group_size();

// Opens `count` (1 to udp_group_max) UDP sockets on `port` into `members`,
// as sock_open does (the granted buffer logged once: every socket has the
// same), and returns once every one of them receives. Failures are fatal:
// "bind() failed: %d" with EADDRINUSE when the port is not the collector's
// alone. Datagrams that arrive while the group forms are dropped by the
// kernel, and counted in its drop counts, so that no sender's lines are
// split between two sockets.
void udp_group_open(int32_t port, int count, sock* members[]);
