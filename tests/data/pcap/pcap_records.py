"""What make_pcaps.py and make_tcp_pcaps.py share: the capturing host, the
byte layouts of the frames they build and the capture file format.

The capturing host has the hardware address 02:00:00:00:00:01 and the IPv4
address 10.0.0.1. Python 3 standard library only.
"""
import struct

HOST_MAC = bytes.fromhex("020000000001")
CLIENT_MAC = bytes.fromhex("001a2b3c4d5e")
OTHER_MAC = bytes.fromhex("020000000077")

HOST_IP = "10.0.0.1"
BASE_TIME = 1700000000


def ip4(text):
    return bytes(int(part) for part in text.split("."))


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (~total) & 0xFFFF


def ipv4(src, dst, proto, payload, ident=1, frag=0):
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(payload), ident, frag, 64, proto, 0, ip4(src), ip4(dst))
    header = header[:10] + struct.pack("!H", checksum(header)) + header[12:]
    return header + payload


def ether(dst, src, ethertype, payload):
    frame = dst + src + struct.pack("!H", ethertype) + payload
    return frame + b"\0" * max(0, 60 - len(frame))  # minimum frame size, as on the wire


def dns_name(name):
    out = b""
    for label in name.split(".") if name else []:
        out += bytes([len(label)]) + label.encode()
    return out + b"\0"


def write_pcap(path, frames):
    """Ethernet frames, one a record: the i-th at BASE_TIME + i seconds and
    1000 * (i + 1) microseconds."""
    with open(path, "wb") as out:
        out.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1))
        for i, frame in enumerate(frames):
            out.write(struct.pack("<IIII", BASE_TIME + i, 1000 * (i + 1), len(frame), len(frame)))
            out.write(frame)
