"""fwsum in a private world: "/dev/mtd2" is a file placed by a private overlay of /dev, and a
stand-in check script records what "/tmp/fw.cksum" held when it started."""
import os
import subprocess
import unittest

from lab import World, build_path, run_tests, wait_for

FWSUM = build_path("fwsum/fwsum")
CHKLST = """#!/bin/sh
if [ -f /tmp/fw.cksum ]; then cat /tmp/fw.cksum; else echo missing; fi > /tmp/chklst.saw
"""


class FwsumTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.w = World()
        cls.w.__enter__()
        cls.w.install("/usr/bin/chklst.sh", CHKLST)
        assert not os.path.exists("/usr/bin/chklst.sh"), "host /usr/bin touched"

    @classmethod
    def tearDownClass(cls):
        cls.w.__exit__(None, None, None)

    def run_fwsum(self, device):
        w = self.w
        w.remove("/tmp/chklst.saw")
        if device is None:
            w.remove("/dev/mtd2")
        else:
            w.install("/dev/mtd2", device, mode=0o644)
        r = w.run([FWSUM], timeout=30)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr, "")
        wait_for(lambda: w.exists("/tmp/chklst.saw") and w.read("/tmp/chklst.saw"), 10, "chklst.sh")
        return r.stdout, w.read("/tmp/chklst.saw")

    def test_checksum_goldens(self):
        # Bytes past the first 65536 never count.
        cases = [
            ("all 0xFF", b"\xff" * 65536 + b"\x01" * 4096, "0xFFFFC000"),
            ("all zero", bytes(65536), "0x00000000"),
            ("5-byte device, signed last byte", bytes([0, 0, 0, 1, 0xFF]), "0x00000000"),
            ("5-byte device, positive last byte", bytes([0, 0, 0, 1, 0x7F]), "0x00000080"),
            ("counting words", b"".join(i.to_bytes(4, "big") for i in range(16384)) + b"\xff" * 8,
             "0x07FFE000"),
            ("big-endian words", bytes(range(256)) * 256, "0xE0204000"),
        ]
        for name, device, text in cases:
            with self.subTest(name):
                self.w.write("/tmp/fw.cksum", "0xDEADBEEF and an older, longer text")
                out, saw = self.run_fwsum(device)
                self.assertEqual(out, "")
                self.assertEqual(self.w.read("/tmp/fw.cksum", binary=True), text.encode())
                self.assertEqual(saw, text)

    def test_missing_device_writes_nothing_but_starts_the_script(self):
        self.w.remove("/tmp/fw.cksum")
        out, saw = self.run_fwsum(None)
        self.assertEqual(out, "can not open /dev/mtd2\n")
        self.assertFalse(self.w.exists("/tmp/fw.cksum"))
        self.assertEqual(saw, "missing\n")

    def test_output_that_cannot_be_created_still_starts_the_script(self):
        self.w.remove("/tmp/fw.cksum")
        self.w.run(["mkdir", "/tmp/fw.cksum"], check=True)
        try:
            out, saw = self.run_fwsum(bytes(16))
            self.assertEqual(out, "")
            self.assertEqual(saw, "missing\n")
        finally:
            self.w.run(["rmdir", "/tmp/fw.cksum"])


if __name__ == "__main__":
    run_tests()
