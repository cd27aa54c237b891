#!/usr/bin/env python3
"""Host-side tests of meterpty, the meter feeder of the VM lane.

They run the feeder on this machine's own pseudo-terminals (no VM, no real
serial device), in a few seconds, so a fault in the feeder shows up here
rather than as a puzzling failure of a Wine test inside the VM.

    python3 tests/vm/meterpty_test.py
"""
import array
import fcntl
import os
import select
import shutil
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))


def build_feeder(outdir):
    exe = os.path.join(outdir, "meterpty")
    subprocess.run(["gcc", "-O2", "-Wall", "-Werror", "-o", exe,
                    os.path.join(HERE, "meterpty.c")], check=True)
    return exe


class Feeder:
    """One running meterpty with its files, as a test sees them."""

    def __init__(self, exe, workdir, name="COM1"):
        self.dir = workdir
        self.name = name
        self.log = open(os.path.join(workdir, f"meter-{name}.log"), "wb")
        out = subprocess.run([exe, workdir, name], stdout=subprocess.PIPE,
                             stderr=self.log, check=True, timeout=10)
        self.pid = int(out.stdout)
        self.link = os.path.join(workdir, name)
        self.ctl = os.open(os.path.join(workdir, f"meter-{name}.ctl"), os.O_WRONLY)
        self.ack = os.open(os.path.join(workdir, f"meter-{name}.ack"), os.O_RDONLY)
        self.written = os.path.join(workdir, f"meter-{name}.written")
        self.port = None
        self.seq = 0

    def open_port(self):
        self.port = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        return self.port

    def send(self, *lines):
        data = b"".join((l if isinstance(l, bytes) else l.encode()) + b"\n" for l in lines)
        os.write(self.ctl, data)

    def sync(self, timeout=10):
        """Sends an ack and returns the feeder's answer after the token."""
        self.seq += 1
        token = f"t{self.seq}"
        self.send(f"ack {token}")
        line = b""
        deadline = time.monotonic() + timeout
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.ack], [], [], left)[0]:
                raise AssertionError(f"no ack from the feeder within {timeout} s")
            line += os.read(self.ack, 1)
        text = line.decode().rstrip("\n")
        assert text.startswith(token + " "), text
        return text[len(token) + 1:]

    def read_port(self, want, timeout=5):
        """Reads until `want` bytes came or nothing more arrives in time."""
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < want:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.port], [], [], left)[0]:
                break
            got += os.read(self.port, want - len(got))
        return got

    def pending(self, wait=0.2):
        """Whatever is readable on the port within `wait` seconds."""
        got = b""
        while select.select([self.port], [], [], wait)[0]:
            got += os.read(self.port, 4096)
        return got

    def alive(self):
        try:
            os.kill(self.pid, 0)
        except ProcessLookupError:
            return False
        # A zombie counts as gone (the feeder is not this process's child).
        try:
            with open(f"/proc/{self.pid}/stat") as f:
                return f.read().split(")")[-1].split()[0] != "Z"
        except FileNotFoundError:
            return False

    def close(self):
        for fd in (self.port, self.ctl, self.ack):
            if fd is not None:
                os.close(fd)
        if self.alive():
            os.kill(self.pid, 15)
        # It removes its symlink on the way out: let it finish before the
        # test removes the directory.
        deadline = time.monotonic() + 5
        while self.alive() and time.monotonic() < deadline:
            time.sleep(0.01)
        self.log.close()


class FeederTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.bindir = tempfile.mkdtemp(prefix="meterpty-bin.")
        cls.exe = build_feeder(cls.bindir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.bindir)

    def setUp(self):
        self.workdir = tempfile.mkdtemp(prefix="meterpty-test.")
        self.f = Feeder(self.exe, self.workdir)

    def tearDown(self):
        self.f.close()
        shutil.rmtree(self.workdir)

    def test_commands_put_exact_bytes_on_the_port(self):
        self.f.open_port()
        cases = [
            # (command lines, bytes the port must receive)
            (["text 7.00 pH\\r\\n"], b"7.00 pH\r\n"),
            (["text a\\t\\\\\\0\\x41\\xfF"], b"a\t\\\x00A\xff"),
            (["text  leading space kept"], b" leading space kept"),
            (["send 00ff7F 0a", "send 02 03"], b"\x00\xff\x7f\n\x02\x03"),
            # A writer that ends its lines with CRLF (a Windows program).
            ([b"text crlf\r"], b"crlf"),
            (["# a comment", "", "text after"], b"after"),
            (["send " + " ".join(f"{i:02x}" for i in range(256))], bytes(range(256))),
        ]
        for lines, expected in cases:
            with self.subTest(lines=lines):
                self.f.send(*lines)
                self.assertEqual(self.f.sync(), "OK")
                # The ack promises the bytes are already in the port.
                self.assertEqual(self.f.pending(wait=0), expected)

    def test_acked_bytes_are_counted_as_waiting(self):
        # A driver may ask how many bytes wait (ClearCommError in Wine asks
        # the pty with FIONREAD) instead of reading; after an ack the answer
        # must include everything sent. The handover inside the kernel is
        # asynchronous, so one round could pass by luck: repeat.
        self.f.open_port()
        for i in range(50):
            with self.subTest(round=i):
                self.f.send("text 7.00 pH\\r\\n")
                self.assertEqual(self.f.sync(), "OK")
                count = array.array("i", [0])
                fcntl.ioctl(self.f.port, termios.FIONREAD, count)
                self.assertEqual(count[0], 9)
                self.assertEqual(self.f.read_port(9), b"7.00 pH\r\n")

    def test_malformed_commands_send_nothing_and_fail_the_next_ack(self):
        self.f.open_port()
        for bad in ["send 4", "send zz", "send 0g", "text \\q", "text \\x4", "text ends\\",
                    "sleep -1", "sleep", "sleep 5x", "frob 1", "SEND 41"]:
            with self.subTest(command=bad):
                self.f.send(bad, "text ok")
                answer = self.f.sync()
                self.assertTrue(answer.startswith("ERR 1 bad command"), answer)
                self.assertEqual(self.f.pending(), b"ok")
                self.assertEqual(self.f.sync(), "OK", "an error is reported once")

    def test_overlong_line_is_dropped_whole(self):
        self.f.open_port()
        # The feeder reads at most 4096 bytes of a line; what follows them
        # here looks like a command of its own and must not run.
        head = "text " + "x" * (4096 - len("text "))
        self.f.send(head + "text tail")
        self.assertTrue(self.f.sync().startswith("ERR"))
        self.f.send("text next")
        self.assertEqual(self.f.sync(), "OK")
        self.assertEqual(self.f.pending(), b"next")

    def test_sleep_holds_back_later_commands(self):
        self.f.open_port()
        start = time.monotonic()
        self.f.send("text early", "sleep 1000", "text late")
        self.assertEqual(self.f.read_port(5), b"early")
        self.assertEqual(self.f.pending(wait=0.1), b"", "nothing before the delay is over")
        self.assertEqual(self.f.read_port(4), b"late")
        self.assertGreaterEqual(time.monotonic() - start, 1.0)
        self.assertEqual(self.f.sync(), "OK")

    def test_bytes_wait_in_the_port_until_it_is_opened(self):
        self.f.send("text queued\\r\\n")
        self.assertEqual(self.f.sync(), "OK")
        self.f.open_port()
        self.assertEqual(self.f.read_port(8), b"queued\r\n")

    def test_more_than_the_pty_holds_arrives_complete_and_in_order(self):
        self.f.open_port()
        # Well over the 64 KiB a pty buffers, sent while nobody reads, so
        # the feeder must wait for room and resume mid-command.
        data = bytes((i * 7 + i // 256) % 256 for i in range(150000))
        lines = ["send " + data[i:i + 1000].hex() for i in range(0, len(data), 1000)]
        sender = threading.Thread(target=self.f.send, args=lines, daemon=True)
        sender.start()
        time.sleep(1)
        got = self.f.read_port(len(data), timeout=30)
        sender.join(timeout=10)
        self.assertFalse(sender.is_alive(), "the feeder stopped taking commands")
        self.assertEqual(len(got), len(data))
        self.assertEqual(got, data)
        self.assertEqual(self.f.sync(), "OK")

    def test_everything_written_to_the_port_is_recorded(self):
        self.f.open_port()
        with open(self.f.written, "rb") as rec:
            self.assertEqual(rec.read(), b"", "the record starts empty")
        chunks = [b"PING\r", bytes(range(256)), b"\x00\n"]
        for chunk in chunks:
            os.write(self.f.port, chunk)
        # Writes are recorded as they arrive; a sync orders nothing here, so
        # wait for the file to reach its size.
        want = b"".join(chunks)
        deadline = time.monotonic() + 5
        while os.path.getsize(self.f.written) < len(want) and time.monotonic() < deadline:
            time.sleep(0.02)
        with open(self.f.written, "rb") as rec:
            self.assertEqual(rec.read(), want)
        # Bytes the feeder sends are not echoed into the record.
        self.f.send("text reply")
        self.assertEqual(self.f.sync(), "OK")
        self.assertEqual(os.path.getsize(self.f.written), len(want))

    def test_quit_removes_the_port_and_exits(self):
        self.assertTrue(os.path.islink(self.f.link))
        self.f.send("quit")
        deadline = time.monotonic() + 5
        while self.f.alive() and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertFalse(self.f.alive())
        self.assertFalse(os.path.lexists(self.f.link))


if __name__ == "__main__":
    runner = unittest.TextTestRunner(verbosity=2)
    result = runner.run(unittest.defaultTestLoader.loadTestsFromTestCase(FeederTest))
    # Count test methods, not sub-test failures.
    failed = {str(t).split(" ")[0] for t, _ in result.failures + result.errors}
    print(f"meterpty: {max(result.testsRun - len(failed), 0)} passed, {len(failed)} failed")
    sys.exit(0 if result.wasSuccessful() else 1)
