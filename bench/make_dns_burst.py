#!/usr/bin/env python3
"""make_dns_burst.py OUT.pcap COUNT DST_MAC SRC_MAC DST_IP SRC_IP [FIRST]

Writes COUNT Ethernet/IPv4/UDP DNS queries (h<i>.bench.example, type A, i
from FIRST on) to DST_IP:53 and DST_MAC, from varying source ports, for the
capture benchmark. Plain pcap format, microsecond time stamps 1 us apart."""
import socket
import struct
import sys


def checksum(data):
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def query(i):
    name = b"".join(bytes([len(p)]) + p for p in (b"h%d" % i, b"bench", b"example")) + b"\0"
    return struct.pack("!HHHHHH", i & 0xFFFF, 0x0100, 1, 0, 0, 0) + name + struct.pack("!HH", 1, 1)


def main():
    out, count, dst_mac, src_mac, dst_ip, src_ip = sys.argv[1:7]
    first = int(sys.argv[7]) if len(sys.argv) > 7 else 0
    dmac = bytes.fromhex(dst_mac.replace(":", ""))
    smac = bytes.fromhex(src_mac.replace(":", ""))
    dip, sip = socket.inet_aton(dst_ip), socket.inet_aton(src_ip)
    with open(out, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i in range(first, first + int(count)):
            dns = query(i)
            udp = struct.pack("!HHHH", 1024 + i % 60000, 53, 8 + len(dns), 0) + dns
            hdr = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), i & 0xFFFF, 0, 64, 17, 0, sip, dip)
            hdr = hdr[:10] + struct.pack("!H", checksum(hdr)) + hdr[12:]
            frame = dmac + smac + b"\x08\x00" + hdr + udp
            n = i - first
            f.write(struct.pack("<IIII", 1700000000 + n // 1000000, n % 1000000, len(frame), len(frame)))
            f.write(frame)


if __name__ == "__main__":
    main()
