#!/usr/bin/env python3
"""A player's `time` round trip and a new player's welcome, alone and while the
operator's console is busy: one console client that connects and sends nothing, and
two that run `who` again and again. Usage: bench/console_round_trip.py BINARY [RUNS]"""
import os, socket, statistics, subprocess, sys, tempfile, threading, time

binary = sys.argv[1]
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def read_frame(s, buf):
    while b"\0" not in buf[0]:
        chunk = s.recv(65536)
        if not chunk:
            raise EOFError
        buf[0] += chunk
    frame, _, rest = buf[0].partition(b"\0")
    buf[0] = rest
    return frame


def until(s, buf, text):
    while True:
        f = read_frame(s, buf)
        if text in f:
            return f


def console(path, command):
    c = socket.socket(socket.AF_UNIX)
    c.connect(path)
    c.sendall(command.encode() + b"\n")
    c.shutdown(socket.SHUT_WR)
    while c.recv(65536):
        pass
    c.close()


def one_run():
    folder = tempfile.mkdtemp()
    port = free_port()
    env = dict(os.environ, PELTHOLLOW_PORT=str(port), PELTHOLLOW_CHEAP_PASSWORD_HASHES="1",
               PELTHOLLOW_MAX_LINES_PER_SECOND="0", PELTHOLLOW_TRUSTED="127.0.0.0/8")
    log = open(os.path.join(folder, "log"), "w")
    server = subprocess.Popen([binary, "server"], cwd=folder, env=env, stdout=log, stderr=log)
    sock_path = os.path.join(folder, "pelthollow.sock")
    deadline = time.time() + 20
    while not os.path.exists(sock_path) and time.time() < deadline:
        time.sleep(0.02)
    p = socket.create_connection(("127.0.0.1", port))
    p.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    buf = [b""]
    read_frame(p, buf)
    p.sendall(b'setup Timer moonstone she/her 8 warrior ember " small grey cat " - -\0')
    until(p, buf, b"Entering game")

    def rtts(n):
        out = []
        for _ in range(n):
            t = time.perf_counter()
            p.sendall(b"time\0")
            until(p, buf, b"")
            out.append((time.perf_counter() - t) * 1000)
            time.sleep(0.005)
        return out

    def welcome():
        t = time.perf_counter()
        s = socket.create_connection(("127.0.0.1", port))
        b = [b""]
        read_frame(s, b)
        s.close()
        return (time.perf_counter() - t) * 1000

    calm = rtts(300)
    calm_welcome = [welcome() for _ in range(5)]
    silent = socket.socket(socket.AF_UNIX)
    silent.connect(sock_path)
    first_welcome = welcome()  # while the silent console is new
    stop = threading.Event()
    answers = [0, 0]

    refused = [0, 0]

    def operator(i):
        while not stop.is_set():
            try:
                console(sock_path, "who")
                answers[i] += 1
            except OSError:
                refused[i] += 1

    ops = [threading.Thread(target=operator, args=(i,)) for i in range(2)]
    for t in ops:
        t.start()
    busy = rtts(300)
    busy_welcome = [welcome() for _ in range(5)]
    stop.set()
    for t in ops:
        t.join()
    silent.close()
    p.close()
    server.terminate()
    server.wait()
    return calm, busy, calm_welcome, [first_welcome] + busy_welcome, answers, refused


def p99(xs):
    xs = sorted(xs)
    return xs[int(len(xs) * 0.99) - 1]


rows = [one_run() for _ in range(runs)]
med = lambda f: statistics.median(f(r) for r in rows)
print(f"{binary}: medians of {runs} runs")
print(f"  time round trip alone:         median {med(lambda r: statistics.median(r[0])):.3f} ms, p99 {med(lambda r: p99(r[0])):.3f} ms")
print(f"  time round trip, consoles busy: median {med(lambda r: statistics.median(r[1])):.3f} ms, p99 {med(lambda r: p99(r[1])):.3f} ms")
print(f"  welcome alone: {med(lambda r: statistics.median(r[2])):.2f} ms; consoles busy: {med(lambda r: statistics.median(r[3])):.2f} ms")
print(f"  welcome just after the silent console came: {med(lambda r: r[3][0]):.2f} ms")
print(f"  console answers during the busy stretch (two operators), per run: {[r[4] for r in rows]}; refused: {[r[5] for r in rows]}")
