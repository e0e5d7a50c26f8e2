"""A bare bus client for benchmarks: times a call from its INVOKE to its final
STATUS and counts the DATA replies, without turning them into JSON (the CLI's
own formatting would dominate what is measured). Run inside a world:
    rawbus.py <socket> <repeat> <object> <method> [<object> <method> ...]
prints one JSON line per call: {"object", "method", "ms", "parts", "bytes", "status"}."""
import json
import socket
import struct
import sys
import time

HELLO, STATUS, DATA, LOOKUP, INVOKE = 0, 1, 2, 4, 5
A_STATUS, A_OBJPATH, A_OBJID, A_METHOD, A_DATA = 1, 2, 3, 4, 7


def attr(id_, payload):
    n = 4 + len(payload)
    pad = (4 - n % 4) % 4
    return struct.pack(">I", (id_ << 24) | n) + payload + b"\0" * pad


class Bus:
    def __init__(self, path):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.s.connect(path)
        self.buf = b""
        self.seq = 0
        self.read()  # HELLO

    def read(self):
        while True:
            if len(self.buf) >= 12:
                n = struct.unpack(">I", self.buf[8:12])[0] & 0xFFFFFF
                total = 8 + n + (4 - n % 4) % 4
                if len(self.buf) >= total:
                    m, self.buf = self.buf[:total], self.buf[total:]
                    return m
            chunk = self.s.recv(1 << 20)
            if not chunk:
                raise EOFError("bus closed")
            self.buf += chunk

    @staticmethod
    def attrs(m):
        out, body = {}, m[12:]
        while len(body) >= 4:
            h = struct.unpack(">I", body[:4])[0]
            id_, n = (h >> 24) & 0x7F, h & 0xFFFFFF
            out[id_] = body[4:n]
            body = body[n + (4 - n % 4) % 4:]
        return out

    def send(self, type_, peer, payload):
        self.seq = (self.seq + 1) & 0xFFFF
        blob = attr(0, payload)
        self.s.sendall(struct.pack(">BBHI", 0, type_, self.seq, peer) + blob)

    def lookup(self, path):
        self.send(LOOKUP, 0, attr(A_OBJPATH, path.encode() + b"\0"))
        oid = None
        while True:
            m = self.read()
            if m[1] == DATA:
                oid = struct.unpack(">I", self.attrs(m)[A_OBJID])[0]
            elif m[1] == STATUS:
                return oid

    def call(self, oid, method):
        t = time.monotonic()
        self.send(INVOKE, oid, attr(A_OBJID, struct.pack(">I", oid)) +
                  attr(A_METHOD, method.encode() + b"\0") + attr(A_DATA, b""))
        parts = size = 0
        while True:
            m = self.read()
            if m[1] == DATA:
                parts += 1
                size += len(m)
            elif m[1] == STATUS:
                st = struct.unpack(">I", self.attrs(m)[A_STATUS])[0]
                return (time.monotonic() - t) * 1000, parts, size, st


def main():
    path, repeat, pairs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
    bus = Bus(path)
    ids = {}
    for i in range(0, len(pairs), 2):
        obj, method = pairs[i], pairs[i + 1]
        if obj not in ids:
            ids[obj] = bus.lookup(obj)
        for _ in range(repeat):
            ms, parts, size, st = bus.call(ids[obj], method)
            print(json.dumps({"object": obj, "method": method, "ms": round(ms, 2), "parts": parts,
                              "bytes": size, "status": st}), flush=True)


if __name__ == "__main__":
    main()
