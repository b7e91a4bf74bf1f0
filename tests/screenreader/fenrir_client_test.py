#!/usr/bin/env python3
"""Fenrir, the terminal screen reader, reading the terminal client.

Usage: fenrir_client_test.py PELTHOLLOW_BINARY

Starts the real server, then Debian's fenrir in a pseudo-terminal of this test's own,
with its speech going to a file and the client as its shell: once on the full screen,
once in plain mode. Another cat, over TCP, says lines; one of them comes while the
player is half way through typing a line. Each message must be spoken once, whole and
never glued to the typed line, and plain mode must write no escape sequence.

Exits 0 when every check passed, 1 on a failure, 77 when fenrir is not installed (CTest
reports a skip), unless PELTHOLLOW_REQUIRE_SCREENREADER=1 makes that a failure too.
Fenrir runs as this test's own process, stopped by its id; no service is touched.
"""

import fcntl
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

TIMEOUT = 20.0  # seconds for anything to be spoken or to happen, on a busy machine
SEPARATOR = "\x1e"  # between utterances in the speech file

# Speech off to a file: every utterance, then SEPARATOR. No sound, no braille, no remote
# control socket, no spell checker; the rest is Fenrir's defaults.
SETTINGS = """\
[sound]
enabled=False
driver=dummyDriver
[speech]
enabled=True
driver=genericDriver
autoReadIncoming=True
genericSpeechCommand={speak} "fenrirText"
[braille]
enabled=False
driver=dummyDriver
[screen]
driver=ptyDriver
screenUpdateDelay=0.05
[keyboard]
driver=ptyDriver
keyboardLayout=pty
charEcho=False
wordEcho=False
[general]
debugLevel=0
debugFile={folder}/fenrir.log
autoSpellCheck=False
shell={client}
[remote]
enable=False
driver=dummyDriver
[barrier]
enabled=False
[promote]
enabled=False
[time]
enabled=False
"""


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def wait_until(test, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while not test():
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(0.02)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    """The real server in a folder of its own, on a free port."""

    def __init__(self, binary, folder):
        self.port = free_port()
        env = {k: v for k, v in os.environ.items() if not k.startswith("PELTHOLLOW_")}
        env.update(PELTHOLLOW_PORT=str(self.port), PELTHOLLOW_CHEAP_PASSWORD_HASHES="1")
        self.log_path = os.path.join(folder, "server.log")
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen([binary, "server"], cwd=folder, env=env,
                                            stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT)
        wait_until(lambda: "Listening on port" in self.log(), "the server to listen")

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as log:
            return log.read()

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Player:
    """A cat over TCP: NUL-terminated frames both ways."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        self.buffer = b""

    def send(self, line):
        self.sock.sendall(line.encode() + b"\0")

    def next_frame(self):
        while b"\0" not in self.buffer:
            data = self.sock.recv(4096)
            if not data:
                raise Failure("the server closed the other cat's connection")
            self.buffer += data
        frame, _, self.buffer = self.buffer.partition(b"\0")
        return frame.decode(errors="replace")

    def ask(self, line):
        self.send(line)
        return self.next_frame()

    def close(self):
        self.sock.close()


class Fenrir:
    """Fenrir with the client as its shell, in a pseudo-terminal of 24 by 80 that this
    test owns; its speech goes to a file."""

    def __init__(self, binary, port, client_args, folder):
        self.spoken_path = os.path.join(folder, "spoken")
        open(self.spoken_path, "w").close()
        speak = os.path.join(folder, "speak")
        with open(speak, "w") as script:
            script.write('#!/bin/sh\nprintf "%s\\036" "$1" >>"{}"\n'.format(self.spoken_path))
        client = os.path.join(folder, "client")
        with open(client, "w") as script:
            script.write("#!/bin/sh\nexec {} client {}\n".format(binary, " ".join(client_args)))
        for script in (speak, client):
            os.chmod(script, 0o755)
        settings = os.path.join(folder, "settings.conf")
        with open(settings, "w") as out:
            out.write(SETTINGS.format(speak=speak, folder=folder, client=client))

        self.master, follower = os.openpty()
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        env = {k: v for k, v in os.environ.items() if not k.startswith("PELTHOLLOW_")}
        env.update(PELTHOLLOW_PORT=str(port), TERM="linux", HOME=folder)
        self.process = subprocess.Popen(["fenrir", "-e", "-s", settings], cwd=folder, env=env,
                                        stdin=follower, stdout=follower, stderr=follower,
                                        start_new_session=True)
        os.close(follower)
        self.output = bytearray()
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                data = os.read(self.master, 4096)
            except OSError:  # EIO: every process on the terminal has gone
                return
            if not data:
                return
            with self.lock:
                self.output += data

    def screen_bytes(self):
        with self.lock:
            return bytes(self.output)

    def utterances(self):
        with open(self.spoken_path, encoding="utf-8", errors="replace") as spoken:
            return spoken.read().split(SEPARATOR)[:-1]

    def wait_spoken(self, text):
        wait_until(lambda: any(text in u for u in self.utterances()), 'Fenrir to say "' + text + '"')
        return len(self.utterances())

    def type(self, keys, pause=0.0):
        """Types `keys`, all at once or a key at a time."""
        for key in [keys] if pause == 0 else keys:
            os.write(self.master, key.encode())
            time.sleep(pause)

    def stop(self):
        """Waits for Fenrir to end (its shell, the client, has ended), or ends it."""
        try:
            self.process.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            try:
                self.process.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.reader.join(TIMEOUT)
        os.close(self.master)


def spoken_once(fenrir, text):
    count = sum(u.count(text) for u in fenrir.utterances())
    check(count == 1, '"{}" was spoken {} times, not once'.format(text, count))


def play(binary, server, other, mode, client_args, name, folder):
    """One player in Fenrir, `name`, and the other cat saying lines to it."""
    fenrir = Fenrir(binary, server.port, client_args, folder)
    try:
        fenrir.wait_spoken("Enter a server to connect to")
        fenrir.type("localhost\r")
        fenrir.wait_spoken("Welcome to Pelthollow")
        fenrir.type('setup {} moonstone she 8 apprentice ember " a grey cat " - -\r'.format(name))
        fenrir.wait_spoken("Character created")

        said = ["The moon is high tonight.", "The stream is cold.", "Hunt with me at dawn."]
        for line in said:
            other.send("say " + line)
            fenrir.wait_spoken("Birchpaw: " + line)

        # A line half typed, a key at a time as a person types it, when two lines come.
        half = "say I am half way"
        mark = len(fenrir.screen_bytes())
        fenrir.type(half, pause=0.02)
        wait_until(lambda: half.encode() in fenrir.screen_bytes()[mark:],
                   "the half-typed line to be echoed")
        before = len(fenrir.utterances())
        during = ["Over here by the oak.", "Are you coming?"]
        for line in during:
            other.send("say " + line)
            fenrir.wait_spoken("Birchpaw: " + line)
        for utterance in fenrir.utterances()[before:]:
            check(half not in utterance,
                  'the half-typed line was read with the messages: "{}"'.format(utterance))
        fenrir.type("\r")
        fenrir.wait_spoken(name + ": I am half way")

        # The client ends with the connection, and Fenrir with its shell: then all is said.
        fenrir.type("quit\r")
        wait_until(lambda: fenrir.process.poll() is not None, "Fenrir to end with the client")
    finally:
        fenrir.stop()

    for line in said + during:
        spoken_once(fenrir, "Birchpaw: " + line)
    spoken_once(fenrir, name + ": I am half way")
    shown = fenrir.screen_bytes()
    start = shown.find(b"Connected to server.")
    check(start >= 0, "the client did not connect")
    if mode == "plain":
        check(b"\x1b" not in shown[start:], "plain mode wrote an escape sequence")
    check(b"moonstone" not in shown, "the password was echoed")
    return fenrir.utterances()


def main():
    if len(sys.argv) != 2:
        print("usage: fenrir_client_test.py PELTHOLLOW_BINARY")
        return 2
    binary = os.path.abspath(sys.argv[1])
    if shutil.which("fenrir") is None:
        required = os.environ.get("PELTHOLLOW_REQUIRE_SCREENREADER") == "1"
        print(("FAIL" if required else "SKIP") + ": fenrir is not installed (apt-get install fenrir)")
        return 1 if required else 77

    folder = tempfile.mkdtemp(prefix="pelthollow-fenrir-")
    server = Server(binary, folder)
    other = None
    status = 0
    try:
        other = Player(server.port)
        other.next_frame()  # the welcome
        other.ask('setup Birchpaw moonstone he 8 apprentice ember " a brown cat " - -')
        for mode, args, name in (("full screen", [], "Ashpaw"), ("plain", ["--plain"], "Fernpaw")):
            started = time.monotonic()
            mode_folder = os.path.join(folder, mode.replace(" ", "-"))
            os.mkdir(mode_folder)
            utterances = play(binary, server, other, mode, args, name, mode_folder)
            print("PASS: {}: each message spoken once ({:.1f} s)".format(mode, time.monotonic() - started))
            print("  Fenrir said: " + " | ".join(u.strip() for u in utterances if "Birchpaw" in u or name in u))
    except Failure as failure:
        print("FAIL: " + str(failure))
        print("The files are in " + folder)
        status = 1
    finally:
        if other is not None:
            other.close()
        server.stop()
    if status == 0:
        shutil.rmtree(folder, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
