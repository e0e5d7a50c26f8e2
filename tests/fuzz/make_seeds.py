#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (tests/fuzz/<name>/corpus/).

The seeds are the golden messages and files of the unit tests, in each fuzz
target's input layout. Run it after changing a layout; the written files are
kept in the repository."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, target, "corpus")
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- vex: datagrams, each behind a 16-bit big-endian length ----
MAGIC = 0x01945AE0
AP_MAC = bytes([0x00, 0x11, 0x22, 0x33, 0x44, 0x55])
AC_MAC = bytes([0x02, 0x00, 0x00, 0x00, 0x00, 0x01])


def vex_header(msg_type, status=0, mac=AP_MAC, version=2, maclen=6, magic=MAGIC, seq=77):
    return (struct.pack(">HH", version, 0) + mac + struct.pack(">HHHI", maclen, msg_type, status, magic)
            + AC_MAC + struct.pack(">H", seq) + bytes(12))


def tlv(t, value):
    if isinstance(value, str):
        value = value.encode()
    return struct.pack(">HH", t, len(value) + 4) + value


def framed(*dgrams):
    return b"".join(struct.pack(">H", len(d)) + d for d in dgrams)


discover_resp = vex_header(2) + b"".join([
    tlv(1, "AP-1200"), tlv(2, "lobby"), tlv(4, bytes([10, 77, 0, 11])), tlv(5, bytes([255, 255, 255, 0])),
    tlv(6, bytes([10, 77, 0, 1])), tlv(10, b"\x00\x01"), tlv(11, "1.2.3"), tlv(100, b"\x01"),
    tlv(101, "guest"), tlv(102, "secret12"), tlv(103, "WPA2-PSK"), tlv(104, b"\x06"), tlv(109, b"\x06"),
    tlv(112, b"\x07\x14"), tlv(130, b"\x01"), tlv(131, "guest5"), tlv(138, b"\x24"), tlv(163, b"\x01"),
])
agent_resp = vex_header(12, mac=bytes([0, 0x11, 0x22, 0x33, 0x44, 0x66])) + tlv(1, "AP-1200") + tlv(4, bytes([10, 77, 0, 12]))
push_result = vex_header(4, status=1) + tlv(4, bytes([10, 77, 0, 11]))
upload_resp = vex_header(11) + tlv(4, bytes([10, 77, 0, 11]))
discover_req = vex_header(1) + tlv(129, struct.pack(">IIII", 0x180, 0, 0, 0))
write("vex", "discover_response", framed(discover_resp))
write("vex", "refresh_and_agent", framed(discover_resp, agent_resp, discover_resp[:80]))
write("vex", "push_results", framed(push_result, vex_header(4, status=0) + tlv(4, bytes([10, 77, 0, 11])), push_result))
write("vex", "upload_response", framed(upload_resp))
write("vex", "discover_request", framed(discover_req))
write("vex", "bad_headers", framed(vex_header(2, version=3), vex_header(2, maclen=7), vex_header(2, magic=1), b"\x00\x02"))
write("vex", "bad_tlvs", framed(vex_header(2) + struct.pack(">HH", 1, 2) + b"ab",
                                vex_header(2) + struct.pack(">HH", 2, 200) + b"short",
                                vex_header(2) + tlv(0, "") + tlv(1, "x")))

# ---- http: answers as an AP's web server sends them ----
write("http", "length", "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 27\r\n\r\n"
      '{"jsonrpc":"2.0","id":104}\n')
write("http", "chunked", "\r\nHTTP/1.1 100 Continue\r\nX: y\r\n\r\n"
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\nX-Fold: a\r\n b\r\n\r\n"
      "a\r\n0123456789\r\n1;name=value\r\n!\r\n0\r\nTrailer: 1\r\n\r\n")
write("http", "close", "HTTP/1.0 203 Whatever\nContent-Length: 5\nContent-Length: 5\n\nhello")
write("http", "until_close", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody until the end")
write("http", "redirect", "HTTP/1.1 301 Moved\r\nLocation: http://10.77.0.11/nox/profile.cgi\r\nContent-Length: 0\r\n\r\n")
write("http", "not_modified", "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n")
write("http", "conflict", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n5\r\nhello\r\n0\r\n\r\n")

# ---- ubus: records of a selector byte, a 16-bit length and one client's bytes ----
# The fuzz target's bus draws ids from a counter at 0x1000: clients 0x1000 to
# 0x1002, then the object 0x1003 (type 0x1004 when a signature comes first).
UBUS_MSG = dict(HELLO=0, STATUS=1, DATA=2, PING=3, LOOKUP=4, INVOKE=5, ADD_OBJECT=6, REMOVE_OBJECT=7)
ATTR = dict(STATUS=1, OBJPATH=2, OBJID=3, METHOD=4, OBJTYPE=5, SIGNATURE=6, DATA=7, TARGET=8, ACTIVE=9, NO_REPLY=10)


def pad(b):
    return b + bytes((-len(b)) % 4)


def attr(aid, payload, extended=False):
    head = (0x80000000 if extended else 0) | (aid << 24) | (len(payload) + 4)
    return pad(struct.pack(">I", head) + payload)


def blobmsg(btype, name, value):
    n = name.encode()
    hdr = pad(struct.pack(">H", len(n)) + n + b"\x00")
    raw = struct.pack(">I", 0x80000000 | (btype << 24) | (4 + len(hdr) + len(value))) + hdr + value
    return pad(raw)


def ubus_msg(mtype, seq, peer, attrs):
    body = b"".join(attrs)
    return struct.pack(">BBHI", 0, mtype, seq, peer) + struct.pack(">I", len(body) + 4) + body


def record(sel, data):
    return bytes([sel]) + struct.pack(">H", len(data)) + data


sig = blobmsg(2, "hello", blobmsg(5, "id", struct.pack(">I", 0)) + blobmsg(3, "msg", b"")) 
add = ubus_msg(UBUS_MSG["ADD_OBJECT"], 1, 0, [attr(ATTR["OBJPATH"], b"test\x00"), attr(ATTR["SIGNATURE"], sig)])
lookup = ubus_msg(UBUS_MSG["LOOKUP"], 1, 0, [attr(ATTR["OBJPATH"], b"test\x00")])
invoke = ubus_msg(UBUS_MSG["INVOKE"], 2, 0x1003, [attr(ATTR["OBJID"], struct.pack(">I", 0x1003)),
                                                  attr(ATTR["METHOD"], b"hello\x00"),
                                                  attr(ATTR["DATA"], blobmsg(5, "id", struct.pack(">I", 1)))])
reply_data = ubus_msg(UBUS_MSG["DATA"], 2, 0x1001, [attr(ATTR["OBJID"], struct.pack(">I", 0x1003)),
                                                    attr(ATTR["DATA"], blobmsg(3, "msg", b"hi\x00"))])
reply_status = ubus_msg(UBUS_MSG["STATUS"], 2, 0x1001, [attr(ATTR["STATUS"], struct.pack(">I", 0)),
                                                        attr(ATTR["OBJID"], struct.pack(">I", 0x1003))])
ping = ubus_msg(UBUS_MSG["PING"], 5, 0, [])
remove = ubus_msg(UBUS_MSG["REMOVE_OBJECT"], 3, 0, [attr(ATTR["OBJID"], struct.pack(">I", 0x1003))])
write("ubus", "call_and_reply", record(0, add) + record(1, lookup + invoke) + record(0, reply_data + reply_status))
write("ubus", "owner_gone", record(0, add) + record(1, invoke) + record(3, b"\x00"))
write("ubus", "ping_remove", record(2, ping) + record(0, add + remove) + record(0, remove))
write("ubus", "bad_frame", record(1, b"\x01\x03\x00\x00") + record(1, ping[:10]))

# ---- uci: config file, zero byte, delta file, zero byte, lookup path ----
write("uci", "relmond", "config relmond 'config'\n\toption url 'http://10.77.0.1/fw/'\n\toption period '86400'\n"
      "\tlist server 'a'\n\tlist server 'b c'\n\nconfig remote 'remote'\n\toption fw_ver ''\n"
      "\x00fz.config.period='3600'\n+fz.config.server='d'\n-fz.remote\n\x00fz.config.url=http://x/")
write("uci", "anonymous", "\nconfig item\n\toption name 'one'\nconfig item\n\toption name \"two\"  # note\n"
      "config named 'n'\n\toption x y\\\n z\n\x00@fz.n=renamed\n^fz.renamed=0\n|fz.@item[0].name='one'\n"
      "\x00fz.@item[-1].name")
write("uci", "broken", "config 'a\n\toption\npackage other\nconfig t 's'\n\toption 'o p' 'v'\n\x00fz.s.o='unterminated\n")

# ---- csv: the export file as gen_export_config writes it, and hand-made ones ----
write("csv", "export", "MAC Address,System Name(Location),2.4G Channel,5G Channel\r\n"
      "00-11-22-33-44-55,lobby,6,36\r\n00-11-22-33-44-66,,0,0\r\n")
write("csv", "hand_made", "00-11-22-33-44-55,a name with blanks,11,149 extra\n"
      "short,line\n" + "x" * 200 + ",y,1,2\n,empty,1,2\n")

# ---- relmond: info file, release notes, progress record ----
write("relmond", "info", "filename: AB12_FW11.bin\ndate: 2024-05-01\nmd5: 0123456789abcdef0123456789abcdef\n"
      "size: 1048576\nrelease notes: rel notes.txt\n")
write("relmond", "release_notes", "Firmware Version: 1.0.0\nFirmware Version:  1.1.0 \r\n------------\n"
      "- first item\n-second\t \nnot an item\n---\n-\n- quote ' and \"double\" \\ back\x01\n")
write("relmond", "progress", "Script started\n  0%\n 12% [=>   ]\n100%\nScript done\n")
write("relmond", "odd_names", "filename: ../../etc/passwd\nfilename: a/b\nfilename: .\nfilename: '; reboot; '\n"
      "release notes: http://h/x/y\n")

# ---- stats: JSON-RPC answers separated by zero bytes ----
profile = ('{"jsonrpc":"2.0","id":104,"result":[{"config0":{"ssid":"guest","bssid":"00:11:22:33:44:50"},'
           '"config1":{"ssid":"staff5","bssid":"00:11:22:33:44:58"}}]}')
wlan = ('{"jsonrpc":"2.0","id":108,"result":[0,{"radio2g":[{"bssid":"00:11:22:33:44:50",'
        '"statistics":{"rx_bytes":"1234","tx_bytes":"5678"}}],"radio5g":[{"bssid":"00:11:22:33:44:58",'
        '"statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}]}')
sta = ('{"jsonrpc":"2.0","id":109,"result":[0,{"radio2g":[{"bssid":"00:11:22:33:44:50","clients":['
       '{"mac":"aa:bb:cc:dd:ee:01","signal":-51,"up_time":300,"statistics":{"rx_bytes":"10","tx_bytes":"20"}},'
       '{"mac":"aa:bb:cc:dd:ee:02","signal":-70,"up_time":5,"statistics":{"rx_bytes":"1","tx_bytes":"2"}}]}]}]}')
write("stats", "three_answers", "\x00".join([profile, wlan, sta]))
write("stats", "status_error", '{"jsonrpc":"2.0","id":108,"result":[1,{}]}\x00{"jsonrpc":"2.0","id":"109","result":[]}')
write("stats", "odd_types", '{"jsonrpc":"2.0","id":4294967400,"result":{}}\x00'
      '{"jsonrpc":"2.0","id":104,"result":[{"config":{"ssid":"\\u00e9\\u4e2d","bssid":"x"}},[1,2],null]}')
