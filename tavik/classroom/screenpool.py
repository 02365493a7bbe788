"""The grader's virtual screens: a server whose program is over resets and serves a later program.

An X server resets once its last client is gone: every window, property,
atom, grab, keyboard map and access rule of the old session is freed, as
display managers rely on between users, and a reset costs half of starting
a server. The pool makes sure that a reset came between two programs:

- it holds a connection of its own to each server it hands out, so that the
  server never runs out of clients (and resets) while a program runs; the
  connection owns no resource, so no other client can kill it;
- it marks each session with an atom, and lets go only once every process
  of the program is gone. A program can keep its client's resources past
  its end (`XSetCloseDownMode`), and the server then does not reset: when
  the pool connects again, its atom is still there (atoms are freed only by
  a reset), and that server is stopped, a fresh one started instead. So is
  a server that takes too long.

The pool's connection is a bare X11 connection over the server's socket
file, the way a sandboxed program reaches it: no library is needed for the
one question it asks.
"""
import os
import socket
import struct
import time

from tavik.classroom.display import VirtualScreen, socket_file

RENEW_WITHIN = 3.0      # seconds a server may take to see its program's connections close, and reset
SETUP = b"l\0" + struct.pack("<HHHH", 11, 0, 0, 0) + b"\0\0"     # little-endian, X11.0, no authorisation
INTERN_ATOM = 16
MARKER = b"_TAVIK_GRADER_SESSION"


class XSession:
    """A connection of the grader's own to an X server."""

    def __init__(self, display, timeout):
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.socket.settimeout(timeout)
            self.socket.connect(socket_file(display.lstrip(":")))
            self.socket.sendall(SETUP)
            head = self.receive(8)
            if head[0] != 1:
                raise OSError("the X server refused the connection")
            self.receive(struct.unpack_from("<H", head, 6)[0] * 4)     # the server's description: not needed
        except BaseException:
            self.socket.close()
            raise

    def receive(self, count):
        data = bytearray()
        while len(data) < count:
            chunk = self.socket.recv(count - len(data))
            if not chunk:
                raise OSError("the X server closed the connection")
            data += chunk
        return bytes(data)

    def request(self, data):
        """Sends one request and returns its whole reply (an error raises OSError)."""
        self.socket.sendall(data)
        reply = self.receive(32)
        if reply[0] != 1:
            raise OSError(f"the X server answered with error {reply[1]}")
        return reply + self.receive(struct.unpack_from("<I", reply, 4)[0] * 4)

    def atom(self, name, create):
        """The atom `name` (0 when it does not exist and `create` is false)."""
        padded = name + b"\0" * (-len(name) % 4)
        reply = self.request(struct.pack("<BBHHxx", INTERN_ATOM, not create, 2 + len(padded) // 4, len(name)) + padded)
        return struct.unpack_from("<I", reply, 8)[0]

    def close(self):
        self.socket.close()


def socket_inodes(pid):
    """The sockets a process has open, as the kernel names them."""
    found = set()
    for descriptor in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{descriptor}")
        except OSError:
            continue
        if target.startswith("socket:"):
            found.add(target)
    return found


class PooledScreen(VirtualScreen):
    """A screen of the pool: `end` lets the server reset, `stop` gives it back."""

    def __init__(self, pool):
        super().__init__()
        self.pool = pool
        self.session = None
        self.marked = False     # the session the program runs in carries the pool's atom
        self.listening = None   # the server's own sockets, before any client came

    def ready(self):
        super().ready()
        if self.listening is None:
            try:
                self.listening = socket_inodes(self.process.pid)
            except OSError:     # no /proc: this server serves one program
                self.listening = set()
        if self.session is None:
            try:
                self.session = XSession(self.display, RENEW_WITHIN)
                self.marked = self.session.atom(MARKER, create=True) != 0
            except OSError:
                self.start_unshared()
        return self

    def start_unshared(self):
        """A server the pool could not mark (too slow, say) is not shared: a new one serves this program only.

        Closing the pool's half-made connection could make the first server reset just as the program
        connects."""
        self.let_go()
        VirtualScreen.stop(self)
        self.display, self.marked = None, False
        VirtualScreen.launch(self)
        VirtualScreen.ready(self)

    def end(self):
        """The program is over; the server is kept (`renew` lets it reset)."""

    def let_go(self):
        if self.session is not None:
            self.session.close()
            self.session = None

    def stop(self):
        self.pool.give_back(self)

    def close(self):
        self.let_go()
        VirtualScreen.stop(self)

    def renew(self):
        """True once the server has reset after its program and the pool holds the new session."""
        marked, self.marked = self.marked, False
        if not marked or self.session is None or self.process is None or self.process.poll() is not None:
            return False
        deadline = time.monotonic() + RENEW_WITHIN
        # The pool's own connection goes last: a client the program kept past its end is then freed by the
        # reset too, instead of keeping the server from resetting.
        if not self.clients_at_most(1, deadline):
            return False
        self.let_go()
        if not self.clients_at_most(0, deadline):
            return False
        session = self.new_session(deadline)
        if session is None:
            return False
        self.session, self.marked = session, True
        return True

    def new_session(self, deadline):
        """A connection to the session after the reset, marked; None when no reset came (or in time)."""
        while time.monotonic() < deadline:
            try:
                session = XSession(self.display, max(deadline - time.monotonic(), 0.01))
            except OSError:     # taken in by the old session just before it ended: try again
                time.sleep(0.005)
                continue
            try:
                if session.atom(MARKER, create=False) == 0:
                    session.atom(MARKER, create=True)
                    return session
            except OSError:
                pass
            session.close()     # the old session's atom is there: something of the program outlived it
            return None
        return None

    def clients_at_most(self, count, deadline):
        """Waits until the server has at most `count` client connections; False when it did not come to that."""
        try:
            while len(socket_inodes(self.process.pid) - self.listening) > count:
                if time.monotonic() > deadline:
                    return False
                time.sleep(0.002)
        except OSError:
            return False
        return True


class ScreenPool:
    """At most `size` servers: one for each program running, and one starting for the next."""

    def __init__(self, size):
        self.size = size
        self.idle = []      # renewed (or starting), for the next programs
        self.screens = []   # every server of the pool

    def take(self):
        """A screen that is starting or ready; `ready()` it before use. The caller gives it back with `stop`."""
        return self.idle.pop(0) if self.idle else self.launch()

    def prepare(self, count=1):
        """Starts servers until `count` are idle (as many as the pool may hold)."""
        while len(self.idle) < count and len(self.screens) < self.size:
            self.idle.append(self.launch())

    def launch(self):
        screen = PooledScreen(self).launch()
        self.screens.append(screen)
        return screen

    def give_back(self, screen):
        if screen.renew():
            self.idle.append(screen)
        else:
            self.forget(screen)

    def forget(self, screen):
        screen.close()
        if screen in self.screens:
            self.screens.remove(screen)
        if screen in self.idle:
            self.idle.remove(screen)

    def close(self):
        for screen in self.screens:
            VirtualScreen.end(screen)     # all asked at once; each is waited for below
        for screen in list(self.screens):
            self.forget(screen)
