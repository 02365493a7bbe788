"""The child's report to the runner, over a pipe the child inherits.

The runner never takes a program's result from a file: a learner's program
can write any file it can name. The child announces the moment the learner's
program starts (the runner's clock starts then, not during the engine's
import), and at the end sends its `Observed` record and the pictures, as
bytes, which the runner itself writes where the teacher asked for them.

    started\n
    result <length of the JSON header>\n <header> <picture bytes, in the header's order>

The runner reads at most `MAX_MESSAGE` bytes; anything beyond is a broken report.
"""
import json
import os
import threading
import time

from tavik.classroom.records import Observed

STARTED = b"started\n"
RESULT = b"result "
MAX_MESSAGE = 64 << 20
CHUNK = 1 << 16


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def send_started(fd):
    write_all(fd, STARTED)


def send_result(fd, observed, pictures):
    """`pictures`: name -> bytes (names such as "screenshot" and "gif")."""
    header = json.dumps({"observed": observed.to_json(), "pictures": {name: len(data) for name, data in pictures.items()}},
                        ensure_ascii=False).encode("utf-8")
    write_all(fd, RESULT + str(len(header)).encode("ascii") + b"\n" + header + b"".join(pictures.values()))


class Receiver:
    """The runner's end: a thread reads the pipe to its end, keeping at most MAX_MESSAGE bytes."""

    def __init__(self, fd):
        self.fd = fd
        self.data = bytearray()
        self.overflow = False
        self.started_at = None      # time.monotonic() when the learner's program started
        self.ended = threading.Event()
        self.thread = threading.Thread(target=self.read, daemon=True, name="tavik-channel")
        self.thread.start()

    def read(self):
        try:
            while True:
                chunk = os.read(self.fd, CHUNK)
                if not chunk:
                    break
                if len(self.data) + len(chunk) > MAX_MESSAGE:
                    self.overflow = True
                    continue
                self.data += chunk
                if self.started_at is None and self.data.startswith(STARTED):
                    self.started_at = time.monotonic()
        except OSError:
            pass
        finally:
            os.close(self.fd)
            self.ended.set()

    def result(self):
        """(Observed, {name: bytes}) once the pipe has ended, or None when no whole report came."""
        if not self.ended.wait(5) or self.overflow:
            return None
        data = bytes(self.data)
        if data.startswith(STARTED):
            data = data[len(STARTED):]
        if not data.startswith(RESULT):
            return None
        try:
            length_text, rest = data[len(RESULT):].split(b"\n", 1)
            length = int(length_text)
            header = json.loads(rest[:length].decode("utf-8"))
            observed = Observed.from_json(header["observed"])
            pictures, position = {}, length
            for name, size in header["pictures"].items():
                pictures[name] = rest[position:position + int(size)]
                position += int(size)
        except (ValueError, KeyError, TypeError, AttributeError):
            return None
        if position != len(rest):
            return None
        return observed, pictures
