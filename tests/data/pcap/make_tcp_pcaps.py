#!/usr/bin/env python3
"""Writes the capture file of DNS over TCP that the replay tests read.

Same capturing host as make_pcaps.py: hardware address 02:00:00:00:00:01,
IPv4 address 10.0.0.1, answering DNS. The connections below are what the
host sees as a name server: queries split over several segments, several
queries on one kept-open connection, segments reordered and retransmitted,
sequence numbers wrapping, a zone transfer answered in several segments,
and traffic the capture filter must keep out. Run it from anywhere; it
writes dns_tcp.pcap beside itself. Python 3 standard library only.
"""
import os
import struct

from pcap_records import CLIENT_MAC, HOST_IP, HOST_MAC, OTHER_MAC, checksum, dns_name, ether, ip4, ipv4, write_pcap

CLIENT_IP = "10.0.0.23"

SYN, FIN, PSH, ACK = 0x02, 0x01, 0x08, 0x10


def tcp_frame(dst_mac, src_mac, src, dst, sport, dport, seq, ack, flags, payload=b""):
    header = struct.pack("!HHIIBBHHH", sport, dport, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF, 5 << 4, flags, 65535, 0, 0)
    pseudo = ip4(src) + ip4(dst) + struct.pack("!BBH", 0, 6, len(header) + len(payload))
    header = header[:16] + struct.pack("!H", checksum(pseudo + header + payload)) + header[18:]
    return ether(dst_mac, src_mac, 0x0800, ipv4(src, dst, 6, header + payload, frag=0x4000))  # don't fragment


def dns(ident, flags, name, qtype, answers=b"", ancount=0):
    return struct.pack("!HHHHHH", ident, flags, 1, ancount, 0, 0) + dns_name(name) + struct.pack("!HH", qtype, 1) + answers


def framed(message):
    return struct.pack("!H", len(message)) + message


class Connection:
    """One client connection to the host's port 53, seen from the host."""

    def __init__(self, frames, sport, client_isn, server_isn, client_mac=CLIENT_MAC, server_mac=HOST_MAC,
                 client=CLIENT_IP, server=HOST_IP):
        self.frames = frames
        self.sport = sport
        self.c_isn, self.s_isn = client_isn, server_isn
        self.c_mac, self.s_mac, self.client, self.server = client_mac, server_mac, client, server
        self.c_sent = b""  # the client's byte stream so far
        self.s_sent = b""

    def _c(self, seq, flags, payload=b""):
        self.frames.append(tcp_frame(self.s_mac, self.c_mac, self.client, self.server, self.sport, 53, seq,
                                     self.s_isn + 1 + len(self.s_sent), flags, payload))

    def _s(self, seq, flags, payload=b""):
        self.frames.append(tcp_frame(self.c_mac, self.s_mac, self.server, self.client, 53, self.sport, seq,
                                     self.c_isn + 1 + len(self.c_sent), flags, payload))

    def open(self):
        self.frames.append(tcp_frame(self.s_mac, self.c_mac, self.client, self.server, self.sport, 53,
                                     self.c_isn, 0, SYN))
        self.frames.append(tcp_frame(self.c_mac, self.s_mac, self.server, self.client, 53, self.sport,
                                     self.s_isn, self.c_isn + 1, SYN | ACK))
        self._c(self.c_isn + 1, ACK)

    def client_bytes(self, data):
        """Appends to the client's stream; returns (sequence number, bytes) pieces to send."""
        start = len(self.c_sent)
        self.c_sent += data
        return start

    def client_send(self, offset, end, flags=PSH | ACK):
        self._c(self.c_isn + 1 + offset, flags, self.c_sent[offset:end])

    def server_send(self, data, cuts=()):
        start = len(self.s_sent)
        self.s_sent += data
        edges = [0] + list(cuts) + [len(data)]
        for a, b in zip(edges, edges[1:]):
            self._s(self.s_isn + 1 + start + a, PSH | ACK, data[a:b])

    def close(self):
        self._c(self.c_isn + 1 + len(self.c_sent), FIN | ACK)
        self._s(self.s_isn + 1 + len(self.s_sent), FIN | ACK)
        self._c(self.c_isn + 2 + len(self.c_sent), ACK)


def tcp_frames():
    frames = []

    # One query cut into three segments, one answer.
    one = Connection(frames, 52000, 0x10000000, 0x70000000)
    one.open()
    q = framed(dns(0x0101, 0x0100, "Split.Example.com", 1))
    one.client_bytes(q)
    one.client_send(0, 1)  # the first byte of the length prefix alone
    one.client_send(1, 20)
    one.client_send(20, len(q))
    one.server_send(framed(dns(0x0101, 0x8180, "split.example.com", 1,
                               b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 300, 4) + ip4("192.0.2.7"), 1)))
    one.close()

    # A kept-open connection whose client sequence numbers wrap: two queries
    # in one segment, then a third whose halves arrive in reverse order, its
    # second half retransmitted while waiting, and a fourth sent again
    # together with its unsent tail.
    keep = Connection(frames, 52001, 0xFFFFFFF0, 0x20000000)
    keep.open()
    q1 = framed(dns(0x0201, 0x0100, "first.example", 1))
    q2 = framed(dns(0x0202, 0x0100, "second.example", 28))
    start = keep.client_bytes(q1 + q2)
    keep.client_send(start, start + len(q1) + len(q2))
    keep.server_send(framed(dns(0x0201, 0x8180, "first.example", 1)) + framed(dns(0x0202, 0x8183, "second.example", 28)))
    q3 = framed(dns(0x0203, 0x0100, "Third.Example.net", 16))
    start = keep.client_bytes(q3)
    keep.client_send(start + 12, start + len(q3))
    keep.client_send(start + 12, start + len(q3))  # retransmitted: all of it already queued
    keep.client_send(start, start + 12)
    q4 = framed(dns(0x0204, 0x0100, "fourth.example", 15))
    start = keep.client_bytes(q4)
    keep.client_send(start, start + 10)
    keep.client_send(start, start + len(q4))  # retransmission carrying the rest
    keep.server_send(framed(dns(0x0203, 0x8180, "third.example.net", 16))
                     + framed(dns(0x0204, 0x8180, "fourth.example", 15)))
    keep.close()

    # A zone transfer: the answer runs over three segments.
    axfr = Connection(frames, 52002, 0x30000000, 0x40000000)
    axfr.open()
    qa = framed(dns(0x0301, 0x0000, "zone.example", 252))
    axfr.client_bytes(qa)
    axfr.client_send(0, len(qa))
    record = dns_name("host.zone.example") + struct.pack("!HHIH", 1, 1, 3600, 4) + ip4("192.0.2.9")
    answer = framed(dns(0x0301, 0x8400, "zone.example", 252, record * 100, 100))
    axfr.server_send(answer, cuts=(1000, 2000))
    axfr.close()

    # Kept out by the filter: the same client talking to another server.
    other = Connection(frames, 52003, 0x50000000, 0x60000000, server_mac=OTHER_MAC, server="10.0.0.2")
    other.open()
    qo = framed(dns(0x0401, 0x0100, "elsewhere.example", 1))
    other.client_bytes(qo)
    other.client_send(0, len(qo))
    other.close()
    return frames


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    write_pcap(os.path.join(here, "dns_tcp.pcap"), tcp_frames())


if __name__ == "__main__":
    main()
