"""Bus daemon, command line and client library together, on a private socket.

Our ubusd on a socket in a temporary folder, the test service (tools/ubus_testsvc)
as the object owner, our `ubus` command line as the caller, and raw sockets for
clients that misbehave."""
import os
import pty
import queue
import select
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from lab import build_path, run_tests, runner_cmd

UBUSD = build_path("platform/ubus/ubusd")
UBUS = build_path("platform/ubus/ubus")
SVC = build_path("tools/ubus_testsvc/ubus_testsvc")

USAGE_START = "Usage: "


def wait_for(pred, timeout=10, what="condition"):
    end = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > end:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(0.02)


def read_line(proc, timeout=10):
    """One line from a child's stdout, without hanging when it never comes."""
    r, _, _ = select.select([proc.stdout], [], [], timeout)
    if not r:
        raise TimeoutError("no line from child")
    return proc.stdout.readline()


def kill(p):
    if p.poll() is None:
        p.kill()
    p.wait()
    for f in (p.stdout, p.stderr):
        if f:
            f.close()


class BusCase(unittest.TestCase):
    """Each test gets its own daemon and one test service named test.obj."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="ubus-test-")
        self.sock = os.path.join(self.dir.name, "ubus.sock")
        self.procs = []
        self.daemon = self.spawn([UBUSD, "-s", self.sock])
        wait_for(lambda: os.path.exists(self.sock), what="ubusd socket")
        self.svc, self.obj_id = self.start_svc()

    def tearDown(self):
        for p in reversed(self.procs):
            kill(p)
        self.dir.cleanup()

    def spawn(self, cmd, **kw):
        p = subprocess.Popen(runner_cmd(cmd), **kw)
        self.procs.append(p)
        return p

    def start_svc(self, name="test.obj"):
        p = self.spawn([SVC, "-s", self.sock, "-o", name], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True)
        line = read_line(p)
        self.assertTrue(line.startswith("ready "), line)
        return p, line.split()[1]

    def ubus(self, *args, timeout=30, **kw):
        return subprocess.run(runner_cmd([UBUS, "-s", self.sock, *args]), capture_output=True, text=True,
                              timeout=timeout, **kw)

    def raw_client(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(5)
        s.connect(self.sock)
        hello = recv_exact(s, 12)
        return s, hello


def pad4(b):
    return b + b"\x00" * (-len(b) % 4)


def attr(aid, payload, extended=False):
    """A blob attribute: big-endian head (extended bit, id, raw length), payload, padding."""
    head = (0x80000000 if extended else 0) | aid << 24 | (4 + len(payload))
    return pad4(struct.pack(">I", head) + payload)


def blobmsg(btype, name, value):
    n = name.encode()
    return attr(btype, pad4(struct.pack(">H", len(n)) + n + b"\x00") + value, extended=True)


def message(mtype, seq, peer, *attrs):
    body = b"".join(attrs)
    return struct.pack(">BBHII", 0, mtype, seq, peer, 4 + len(body)) + body


def recv_exact(s, n):
    b = b""
    while len(b) < n:
        chunk = s.recv(n - len(b))
        if not chunk:
            break
        b += chunk
    return b


class ListAndCall(BusCase):
    def test_list_verbose_shows_methods_with_argument_types(self):
        r = self.ubus("list", "-v")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout,
                         f"'test.obj' @{self.obj_id}\n"
                         '\t"echo":{"a":"Integer","s":"String","t":"Table","l":"Array","b":"Boolean",'
                         '"q":"(unknown)"}\n'
                         '\t"later":{"ms":"Integer"}\n'
                         '\t"fail":{"status":"Integer"}\n'
                         '\t"silent":{}\n'
                         '\t"nothing":{}\n'
                         '\t"empty":{}\n'
                         '\t"twice":{}\n'
                         '\t"die":{}\n'
                         '\t"notify":{}\n')
        # -S ignores -v; paths in byte order; patterns
        self.start_svc("test.b")
        self.start_svc("Test")
        self.assertEqual(self.ubus("-S", "-v", "list").stdout, "Test\ntest.b\ntest.obj\n")
        self.assertEqual(self.ubus("list", "test.*").stdout, "test.b\ntest.obj\n")
        r = self.ubus("list", "nothing.*")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (4, "", "Command failed: Not found\n"))
        r = self.ubus("list", "test.")
        self.assertEqual((r.returncode, r.stderr), (4, "Command failed: Not found\n"))

    def test_call_prints_replies_as_indented_json(self):
        r = self.ubus("call", "test.obj", "echo", '{"a":1}')
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, '{\n\t"a": 1\n}\n', ""))
        arg = '{"s":"x/y","a":-2,"t":{"k":[1,true]},"b":false}'
        r = self.ubus("call", "test.obj", "echo", arg)
        self.assertEqual(r.stdout, '{\n\t"s": "x/y",\n\t"a": -2,\n\t"t": {\n\t\t"k": [\n\t\t\t1,\n'
                                   '\t\t\ttrue\n\t\t]\n\t},\n\t"b": false\n}\n')
        r = self.ubus("-S", "call", "test.obj", "echo", arg)
        self.assertEqual(r.stdout, '{"s":"x/y","a":-2,"t":{"k":[1,true]},"b":false}\n')
        cases = [
            ("later", '{"ms":150}', '{\n\t"deferred": true\n}\n'),
            ("twice", None, '{\n\t"n": 1\n}\n{\n\t"n": 2\n}\n'),
            ("empty", None, "{\n\t\n}\n"),
            ("nothing", None, ""),
            # the handler sees whatever came, policy or not
            ("echo", '{"zz":"unlisted"}', '{\n\t"zz": "unlisted"\n}\n'),
        ]
        for method, arg, out in cases:
            with self.subTest(method=method):
                r = self.ubus("call", "test.obj", method, *([arg] if arg else []))
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, out, ""))

    def test_failures_give_the_documented_text_and_exit_status(self):
        fail = "Command failed: ubus call test.obj"
        cases = [
            (["test.obj", "fail"], 247, f"{fail} fail (Unknown error)\n", '{\n\t"partial": "yes"\n}\n'),
            (["test.obj", "fail", '{"status":6}'], 250,
             f'{fail} fail {{"status":6}} (Permission denied)\n', '{\n\t"partial": "yes"\n}\n'),
            (["test.obj", "nomethod"], 253, f"{fail} nomethod (Method not found)\n", ""),
            (["test.obj", "echo", "{bad"], 244, f"{fail} echo {{bad (Parsing message data failed)\n", ""),
            (["test.obj", "echo", "[1]"], 244, f"{fail} echo [1] (Parsing message data failed)\n", ""),
            (["no.such", "echo"], 4, "Command failed: Not found\n", ""),
        ]
        for args, code, err, out in cases:
            with self.subTest(args=args):
                r = self.ubus("call", *args)
                self.assertEqual((r.returncode, r.stderr, r.stdout), (code, err, out))
        # status 2 comes with the usage text, and exit 254
        r = self.ubus("call", "test.obj", "fail", '{"status":2}')
        self.assertEqual(r.returncode, 254)
        first, rest = r.stderr.split("\n", 1)
        self.assertEqual(first, f'{fail} fail {{"status":2}} (Invalid argument)')
        self.assertTrue(rest.startswith(USAGE_START), rest)
        # -S: the status itself and no text
        r = self.ubus("-S", "call", "test.obj", "fail", '{"status":3}')
        self.assertEqual((r.returncode, r.stderr, r.stdout), (3, "", '{"partial":"yes"}\n'))

    def test_short_form_on_a_terminal(self):
        master, slave = pty.openpty()
        try:
            r = subprocess.run(runner_cmd([UBUS, "-s", self.sock, "call", "test.obj", "fail"]), stdout=subprocess.PIPE,
                               stderr=slave, text=True, timeout=30)
            os.close(slave)
            slave = None
            err = b""
            while select.select([master], [], [], 0.2)[0]:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                err += chunk
        finally:
            if slave is not None:
                os.close(slave)
            os.close(master)
        self.assertEqual(r.returncode, 9)
        self.assertEqual(err.decode().replace("\r\n", "\n"), "Command failed: Unknown error\n")

    def test_timeout_and_usage_and_no_daemon(self):
        t0 = time.monotonic()
        r = self.ubus("-t", "1", "call", "test.obj", "silent")
        self.assertLess(time.monotonic() - t0, 10)
        self.assertEqual((r.returncode, r.stderr),
                         (249, "Command failed: ubus call test.obj silent (Request timed out)\n"))
        for args in ([], ["call", "test.obj"], ["call", "a", "b", "c", "d"], ["list", "a", "b"], ["frob"],
                     ["send"], ["send", "a", "b", "c"], ["wait_for"], ["subscribe"]):
            with self.subTest(args=args):
                r = self.ubus(*args)
                self.assertEqual(r.returncode, 254)
                self.assertTrue(r.stderr.startswith(USAGE_START), r.stderr)
        r = subprocess.run(runner_cmd([UBUS, "-s", os.path.join(self.dir.name, "none.sock"), "list"]),
                           capture_output=True, text=True, timeout=30)
        self.assertEqual((r.returncode, r.stderr), (255, "Failed to connect to ubus\n"))


class Ownership(BusCase):
    def test_taken_name_is_refused_and_first_owner_keeps_working(self):
        p = subprocess.run(runner_cmd([SVC, "-s", self.sock, "-o", "test.obj"]), capture_output=True, text=True,
                           timeout=30)
        self.assertEqual((p.returncode, p.stderr), (1, "add object failed: Invalid argument\n"))
        r = self.ubus("call", "test.obj", "echo", '{"a":7}')
        self.assertEqual((r.returncode, r.stdout), (0, '{\n\t"a": 7\n}\n'))
        self.assertEqual(self.ubus("list").stdout, "test.obj\n")

    def test_caller_times_out_when_the_owner_goes(self):
        # as on the router: the daemon does not answer for a callee that died
        timed_out = "Command failed: ubus call test.obj {} (Request timed out)\n"
        # the owner dies inside the handler
        t0 = time.monotonic()
        r = self.ubus("-t", "2", "call", "test.obj", "die")
        self.assertGreaterEqual(time.monotonic() - t0, 1.9)
        self.assertEqual((r.returncode, r.stderr), (249, timed_out.format("die")))
        self.assertEqual(self.svc.wait(timeout=10), 3)

        # the owner is killed while the call waits for a deferred answer
        self.svc, _ = self.start_svc()
        caller = self.spawn([UBUS, "-s", self.sock, "-t", "2", "call", "test.obj", "silent"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(read_line(self.svc), "silent\n")
        self.svc.kill()
        out, err = caller.communicate(timeout=10)
        self.assertEqual((caller.returncode, err), (249, timed_out.format("silent")))
        # the name is free again
        r = self.ubus("list", "test.obj")
        self.assertEqual(r.returncode, 4)
        self.start_svc()
        self.assertEqual(self.ubus("call", "test.obj", "nothing").returncode, 0)

    def test_service_loop_ends_when_the_daemon_goes(self):
        self.daemon.send_signal(signal.SIGTERM)
        self.assertEqual(self.daemon.wait(timeout=10), 0)
        self.assertFalse(os.path.exists(self.sock))
        self.assertEqual(self.svc.wait(timeout=10), 0)
        self.assertEqual(self.svc.stdout.read(), "loop ended\n")


class Lines:
    """A child's stdout lines, read by a thread, so waiting never blocks on a buffer."""

    def __init__(self, proc):
        self.q = queue.Queue()
        threading.Thread(target=self.pump, args=(proc.stdout,), daemon=True).start()

    def pump(self, f):
        for line in f:
            self.q.put(line)

    def get(self, timeout=10):
        try:
            return self.q.get(timeout=timeout)
        except queue.Empty:
            raise TimeoutError("no line from child") from None


class Events(BusCase):
    def listen(self, *args):
        p = self.spawn([UBUS, "-s", self.sock, *args], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, text=True)
        lines = Lines(p)

        # registered once an event sent now reaches it
        def probe_seen():
            self.ubus("send", "probe.ev")
            try:
                return lines.get(timeout=0.2).startswith('{ "probe.ev"')
            except TimeoutError:
                return False
        wait_for(probe_seen, what="listener")
        return lines

    @staticmethod
    def next_event(lines):
        """The next line that is not one of the probes."""
        while True:
            line = lines.get()
            if not line.startswith('{ "probe.ev"'):
                return line

    def test_listen_and_send(self):
        every = self.listen("listen")
        some = self.listen("listen", "test.*", "probe.ev", "foo.bar")
        sends = [("test.ev", ['{"a":1}']), ("foo.bar", []), ("other", ['{"s":"x","l":[1,2]}'])]
        for ev, data in sends:
            r = self.ubus("send", ev, *data)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        self.assertEqual(self.next_event(every), '{ "test.ev": {"a":1} }\n')
        self.assertEqual(self.next_event(every), '{ "foo.bar": {} }\n')
        self.assertEqual(self.next_event(every), '{ "other": {"s":"x","l":[1,2]} }\n')
        self.assertEqual(self.next_event(some), '{ "test.ev": {"a":1} }\n')
        self.assertEqual(self.next_event(some), '{ "foo.bar": {} }\n')
        # the daemon announces objects that come and go
        self.start_svc("test.b")
        line = self.next_event(every)
        self.assertRegex(line, r'^\{ "ubus.object.add": \{"id":-?\d+,"path":"test.b"\} \}$')
        # clients may not send the daemon's own events; bad JSON is refused
        r = self.ubus("send", "ubus.object.add", '{"id":1}')
        self.assertEqual((r.returncode, r.stderr), (6, "Command failed: Permission denied\n"))
        r = self.ubus("send", "x", "[1")
        self.assertEqual(r.returncode, 12)
        # -t ends listening after so many seconds, exit 0
        t0 = time.monotonic()
        r = self.ubus("-t", "1", "listen", "nothing.*")
        self.assertEqual((r.returncode, r.stdout), (0, ""))
        self.assertLess(time.monotonic() - t0, 10)

    def test_wait_for(self):
        # present at once
        r = self.ubus("-t", "5", "wait_for", "test.obj")
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        # returns as soon as the last one comes
        waiter = self.spawn([UBUS, "-s", self.sock, "-t", "20", "wait_for", "test.obj", "late.a", "late.b"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(0.3)
        self.start_svc("late.a")
        time.sleep(0.3)
        self.assertIsNone(waiter.poll())
        t0 = time.monotonic()
        self.start_svc("late.b")
        waiter.wait(timeout=10)
        self.assertLess(time.monotonic() - t0, 5)
        self.assertEqual(waiter.returncode, 0)
        # and times out otherwise
        r = self.ubus("-t", "1", "wait_for", "test.obj", "never")
        self.assertEqual((r.returncode, r.stderr), (7, "Command failed: Request timed out\n"))

    def test_subscribe(self):
        sub = self.spawn([UBUS, "-s", self.sock, "subscribe", "test.obj"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)
        # the object learns it has a subscriber
        self.assertEqual(read_line(self.svc), "subscribers 1\n")
        r = self.ubus("call", "test.obj", "notify", '{"k":"v"}')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(read_line(sub), '{ "note": {"k":"v"} }\n')
        sub.kill()
        sub.wait()
        self.assertEqual(read_line(self.svc), "subscribers 0\n")
        r = self.ubus("-t", "1", "subscribe", "no.such")
        self.assertEqual((r.returncode, r.stderr), (4, "Command failed: Not found\n"))


class Robustness(BusCase):
    def assert_dropped(self, s):
        """The daemon closed this connection (and nothing else happened)."""
        s.settimeout(5)
        try:
            data = s.recv(4096)
        except ConnectionResetError:
            data = b""
        self.assertEqual(data, b"")

    def assert_calls_work(self):
        r = self.ubus("call", "test.obj", "echo", '{"a":1}')
        self.assertEqual((r.returncode, r.stdout), (0, '{\n\t"a": 1\n}\n'))

    def test_hello_as_documented(self):
        s, hello = self.raw_client()
        self.assertEqual(len(hello), 12)
        version, mtype, seq, peer, blob = struct.unpack(">BBHII", hello)
        self.assertEqual((version, mtype, seq, blob), (0, 0, 0, 4))
        self.assertGreaterEqual(peer, 1024)
        s.close()

    def test_garbage_truncated_and_oversized_clients_are_dropped(self):
        bad = [
            b"\x01\x05\x00\x01\x00\x00\x00\x00\x00\x00\x00\x04",    # version 1
            b"\x00\x05\x00\x01\x00\x00\x00\x00\x00\x00\x00\x02",    # blob shorter than its head
            b"\x00\x02\x00\x01\x00\x00\x00\x00\x7f\xff\xff\xff",    # far over the size limit
            b"GET / HTTP/1.0\r\n\r\n",
        ]
        for data in bad:
            with self.subTest(data=data):
                s, _ = self.raw_client()
                s.sendall(data)
                self.assert_dropped(s)
                s.close()
                self.assert_calls_work()

        # half a message, then silence: the others are not held up
        stalled, _ = self.raw_client()
        stalled.sendall(struct.pack(">BBHII", 0, 4, 1, 0, 0x100))
        self.assert_calls_work()
        # a client that sends pings and never reads the echoes
        greedy, _ = self.raw_client()
        ping = message(3, 1, 0, attr(7, b"y" * 4000))
        greedy.setblocking(False)
        try:
            for _ in range(2000):
                greedy.sendall(ping)
        except BlockingIOError:
            pass
        self.assert_calls_work()
        stalled.close()
        greedy.close()
        self.assert_calls_work()
        self.assertEqual(self.daemon.poll(), None)

    def test_caller_gone_mid_call(self):
        # a raw caller sends a call and leaves before the deferred answer
        obj = int(self.obj_id, 16)
        call = message(5, 1, obj, attr(3, struct.pack(">I", obj)), attr(4, b"later\x00"),
                       attr(7, blobmsg(5, "ms", struct.pack(">I", 300))))
        # first a whole exchange, to show the message is right
        s, _ = self.raw_client()
        s.sendall(call)
        s.settimeout(5)
        got = recv_exact(s, 12)
        mtype, seq, peer, blen = struct.unpack(">xBHII", got)
        self.assertEqual((mtype, seq, peer), (2, 1, obj))
        recv_exact(s, blen - 4)
        got = recv_exact(s, 12)
        self.assertEqual(struct.unpack(">xBHII", got)[:3], (1, 1, obj))
        s.close()
        # then the caller leaves before the answer
        s, _ = self.raw_client()
        s.sendall(call)
        time.sleep(0.05)
        s.close()
        time.sleep(0.5)
        self.assert_calls_work()
        self.assertIsNone(self.svc.poll())
        self.assertIsNone(self.daemon.poll())


if __name__ == "__main__":
    run_tests()
