"""Demo step for the firmware checksum tool (used by demo.py).

step_fwsum runs fwsum over a sample partition image standing in for "/dev/mtd2",
then the shipped check script "/usr/bin/chklst.sh" logs the checksum; a small
log reader plays the system log. The image and the log socket are placed in a
mount namespace of fwsum's own inside the lab: overlaying the lab's /dev itself
would hide its /dev/pts, which relmond's `script` needs when the lab is kept.
"""
import os
import random
import sys

from lab import build_path, source_path, wait_for

IMAGE = "/tmp/mtd2.img"
IMAGE_SIZE = 1 << 20
LOG_SOCKET = "/run/lab/log.sock"
LOG_FILE = "/tmp/messages"

# Reads syslog datagrams on a socket and appends them to a file, one a line.
LOG_READER = (
    "import socket,sys\n"
    "s=socket.socket(socket.AF_UNIX,socket.SOCK_DGRAM)\n"
    "s.bind(sys.argv[1])\n"
    "print('ready',flush=True)\n"
    "while True:\n"
    "  d=s.recv(65536).rstrip(b'\\0\\n')\n"
    "  with open(sys.argv[2],'ab') as f: f.write(d+b'\\n')\n"
)

# In a fresh mount namespace: /dev gets a tmpfs-backed overlay holding the
# image as mtd2 and a /dev/log that leads to the log reader; then fwsum runs.
PLACE_AND_RUN = (
    "set -e; d=/run/lab/fwsum-dev; mkdir -p $d/u $d/w; "
    "mount -t overlay lab-fwsum -o lowerdir=/dev,upperdir=$d/u,workdir=$d/w /dev; "
    f"cp {IMAGE} /dev/mtd2; rm -f /dev/log; ln -s {LOG_SOCKET} /dev/log; "
    'exec "$0"'
)


def checksum(image):
    """The 32-bit sum of the big-endian words in the first 64 KiB."""
    head = image[:65536]
    return sum(int.from_bytes(head[i:i + 4], "big") for i in range(0, len(head) - 3, 4)) & 0xFFFFFFFF


def sample_image():
    """A partition image: a short header, then fixed pseudo-random bytes."""
    header = b"APCTL-FW" + (IMAGE_SIZE).to_bytes(4, "big") + bytes(4)
    return header + random.Random(20240601).randbytes(IMAGE_SIZE - len(header))


def step_fwsum(t):
    """Firmware checksum: fwsum over a sample /dev/mtd2; the shipped /usr/bin/chklst.sh logs it."""
    w = t.lab.world
    image = sample_image()
    expected = "0x%08X" % checksum(image)
    w.write(IMAGE, image)
    w.install("/usr/bin/chklst.sh", source=source_path("packaging/openwrt/apctl/files/chklst.sh"))
    w.remove(LOG_FILE)
    reader = w.spawn([sys.executable, "-c", LOG_READER, LOG_SOCKET, LOG_FILE], stdout=-1, text=True)
    if reader.stdout.readline().strip() != "ready":
        t.say("the log reader did not start")
        return False
    w.remove("/tmp/fw.cksum")

    t.say(f"-> /dev/mtd2: a {IMAGE_SIZE >> 20} MiB sample image; it begins {image[:16].hex(' ')}")
    t.say("$ fwsum")
    r = w.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", PLACE_AND_RUN,
               os.path.abspath(build_path("fwsum/fwsum"))], timeout=30)
    for text in (r.stdout, r.stderr):
        if text.strip():
            t.say(text.rstrip("\n"))
    if r.returncode:
        t.say(f"(exit status {r.returncode})")
    got = w.read("/tmp/fw.cksum") if w.exists("/tmp/fw.cksum") else None
    t.say("$ cat /tmp/fw.cksum")
    t.say(got if got is not None else "cat: /tmp/fw.cksum: No such file or directory")
    t.say(f"-> expected {expected}: the 32-bit sum of the big-endian words in the first 64 KiB")

    # fwsum leaves the script running in the background
    line = ""
    try:
        wait_for(lambda: w.exists(LOG_FILE) and "fwsum" in w.read(LOG_FILE), 10, "chklst.sh's log line")
        line = w.read(LOG_FILE).strip()
    except TimeoutError:
        pass
    t.say(f"-> /usr/bin/chklst.sh logged: {line or '(nothing)'}")
    return (r.returncode == 0 and not r.stdout and not r.stderr and got == expected
            and line.endswith(f"fwsum: firmware checksum {expected}"))
