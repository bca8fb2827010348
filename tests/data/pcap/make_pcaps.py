#!/usr/bin/env python3
"""Writes the small capture files the replay tests read.

The capturing host has the hardware address 02:00:00:00:00:01 and the IPv4
address 10.0.0.1; it answers DNS and serves DHCP. Besides the frames the
collector must turn into records, each file holds frames the capture filter
or the decoder must drop. Run it from anywhere; it writes beside itself.
Python 3 standard library only.
"""
import os
import struct

from pcap_records import CLIENT_MAC, HOST_IP, HOST_MAC, OTHER_MAC, dns_name, ether, ip4, ipv4, write_pcap

PRINTER_MAC = bytes.fromhex("00c0ee123456")
RELAY_MAC = bytes.fromhex("020000000099")
BROADCAST_MAC = b"\xff" * 6


def udp(sport, dport, payload):
    return struct.pack("!HHHH", sport, dport, 8 + len(payload), 0) + payload


def udp_frame(dst_mac, src_mac, src, dst, sport, dport, payload):
    return ether(dst_mac, src_mac, 0x0800, ipv4(src, dst, 17, udp(sport, dport, payload)))


def dns(ident, flags, name, qtype, qclass=1, answers=b""):
    ancount = 1 if answers else 0
    return struct.pack("!HHHHHH", ident, flags, 1, ancount, 0, 0) + dns_name(name) + struct.pack("!HH", qtype, qclass) + answers


def a_answer(address):
    return b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 300, 4) + ip4(address)


def dhcp(msg_type, mac, hostname=None, ciaddr="0.0.0.0", yiaddr="0.0.0.0", giaddr="0.0.0.0", op=1, xid=0x3903F326):
    fixed = struct.pack("!BBBBIHH4s4s4s4s", op, 1, len(mac), 0, xid, 0, 0x8000, ip4(ciaddr), ip4(yiaddr),
                        ip4("0.0.0.0"), ip4(giaddr))
    fixed += mac + b"\0" * (16 - len(mac)) + b"\0" * 64 + b"\0" * 128
    options = b"\x63\x82\x53\x63" + bytes([53, 1, msg_type])
    options += bytes([61, 7, 1]) + mac
    if hostname is not None:
        options += bytes([12, len(hostname)]) + hostname.encode()
    options += bytes([55, 4, 1, 3, 6, 15]) + b"\xff"
    return fixed + options


def dhcp_frames():
    client = "10.0.0.23"
    printer = "10.1.0.40"
    return [
        # DISCOVER, OFFER, REQUEST and ACK of one client on the local segment.
        udp_frame(BROADCAST_MAC, CLIENT_MAC, "0.0.0.0", "255.255.255.255", 68, 67, dhcp(1, CLIENT_MAC, "Laptop-7")),
        udp_frame(BROADCAST_MAC, HOST_MAC, HOST_IP, "255.255.255.255", 67, 68, dhcp(2, CLIENT_MAC, yiaddr=client, op=2)),
        udp_frame(BROADCAST_MAC, CLIENT_MAC, "0.0.0.0", "255.255.255.255", 68, 67, dhcp(3, CLIENT_MAC, "Laptop-7")),
        udp_frame(BROADCAST_MAC, HOST_MAC, HOST_IP, "255.255.255.255", 67, 68, dhcp(5, CLIENT_MAC, yiaddr=client, op=2)),
        # A REQUEST relayed from another segment, and a renewing client's INFORM.
        udp_frame(HOST_MAC, RELAY_MAC, "10.1.0.1", HOST_IP, 67, 67,
                  dhcp(3, PRINTER_MAC, "printer-3", giaddr="10.1.0.1")),
        udp_frame(HOST_MAC, PRINTER_MAC, printer, HOST_IP, 68, 67, dhcp(8, PRINTER_MAC, "printer-3", ciaddr=printer)),
        # Dropped by the filter: multicast DNS and an ARP request.
        udp_frame(bytes.fromhex("01005e0000fb"), CLIENT_MAC, client, "224.0.0.251", 5353, 5353,
                  dns(0, 0, "printer.local", 1)),
        ether(BROADCAST_MAC, CLIENT_MAC, 0x0806, bytes.fromhex("0001080006040001") + CLIENT_MAC + ip4(client)
              + b"\0" * 6 + ip4(HOST_IP)),
    ]


def dns_frames():
    client = "10.0.0.23"
    frames = [
        udp_frame(HOST_MAC, CLIENT_MAC, client, HOST_IP, 51000, 53, dns(0x1111, 0x0100, "www.Example.com", 1)),
        udp_frame(CLIENT_MAC, HOST_MAC, HOST_IP, client, 53, 51000,
                  dns(0x1111, 0x8180, "www.Example.com", 1, answers=a_answer("93.184.216.34"))),
        udp_frame(HOST_MAC, CLIENT_MAC, client, HOST_IP, 51001, 53, dns(0x2222, 0x0100, "nosuch.example", 28)),
        udp_frame(CLIENT_MAC, HOST_MAC, HOST_IP, client, 53, 51001, dns(0x2222, 0x8183, "nosuch.example", 28)),
        udp_frame(HOST_MAC, CLIENT_MAC, client, HOST_IP, 51002, 53, dns(0x3333, 0x0000, "", 2)),
        # Dropped by the filter: a query to another server, and the host's own
        # query going out (its source port is not 53).
        udp_frame(OTHER_MAC, CLIENT_MAC, client, "10.0.0.2", 51003, 53, dns(0x4444, 0x0100, "elsewhere.example", 1)),
        udp_frame(OTHER_MAC, HOST_MAC, HOST_IP, "10.0.0.2", 40000, 53, dns(0x5555, 0x0100, "upstream.example", 1)),
    ]
    # Pass the filter, dropped by the decoder: DNS over IPv6 to the host.
    ip6_payload = udp(51004, 53, dns(0x6666, 0x0100, "v6.example", 1))
    ip6 = struct.pack("!IHBB", 0x60000000, len(ip6_payload), 17, 64) + b"\xfe\x80" + b"\0" * 13 + b"\x02" \
        + b"\xfe\x80" + b"\0" * 13 + b"\x01"
    frames.append(ether(HOST_MAC, CLIENT_MAC, 0x86DD, ip6 + ip6_payload))
    # Passes the filter: a NOTIFY (opcode 4), which is no query.
    frames.append(udp_frame(HOST_MAC, CLIENT_MAC, client, HOST_IP, 51005, 53, dns(0x7777, 0x2000, "example.com", 6)))
    frames.append(udp_frame(HOST_MAC, CLIENT_MAC, client, HOST_IP, 51006, 53, dns(0x8888, 0x0100, "Last.Example.ORG", 15)))
    return frames


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    write_pcap(os.path.join(here, "dhcp.pcap"), dhcp_frames())
    write_pcap(os.path.join(here, "dns.pcap"), dns_frames())


if __name__ == "__main__":
    main()
