#!/usr/bin/env python3
"""Proves on the real program that no queued update is lost and few are doubled.

  bench/delivery-proof.py [build/relaybox]

Round "kill": 300 updates, the relay killed with SIGKILL at 10 random moments and started
again each time; every update must reach the server, first arrivals in number order, at
most one doubled per kill. Round "term": the same with SIGTERM; none doubled. Round
"outage": the server is down for 20 s under --retry-for=1m; every update arrives exactly
once, in order. Round "no retry": the same outage without the option; the updates sent
during it fail and are not sent again. Everything runs on loopback in a fresh HOME.
"""
import http.server
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PROGRAM = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/relaybox")


class Server:
    """A loopback HTTP server that writes down the n= of each request; it can go down."""

    def __init__(self):
        self.arrived = []
        self.lock = threading.Lock()
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        self.port = probe.getsockname()[1]
        probe.close()
        self.httpd = None

    def up(self):
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                n = int(self.path.split("n=")[1])
                with server.lock:
                    server.arrived.append(n)
                self.send_response(200)
                self.send_header("Content-Length", "2")
                self.end_headers()
                self.wfile.write(b"ok")

            def log_message(self, *args):
                pass

        http.server.ThreadingHTTPServer.allow_reuse_address = True
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def down(self):
        if self.httpd:
            self.httpd.shutdown()
            self.httpd.server_close()
            self.httpd = None

    def count(self):
        with self.lock:
            return len(self.arrived)


class Relay:
    def __init__(self, options=()):
        self.home = tempfile.mkdtemp(prefix="relaybox-proof-")
        self.folder = os.path.join(self.home, "Documents/Quintel/Hoofline/Relaybox")
        os.makedirs(self.folder)
        self.options = list(options)
        self.process = None
        env = {k: v for k, v in os.environ.items() if not k.startswith(("XDG_", "QT_QPA_"))}
        env["HOME"] = self.home
        self.env = env

    def add(self, n, port):
        part = os.path.join(self.home, "part")
        with open(part, "w", newline="") as f:
            f.write(f"Site {n}\r\nhttp://127.0.0.1:{port}/u?n={n}\r\n")
        os.rename(part, os.path.join(self.folder, f"C{n:06d}.txt"))

    def start(self):
        self.process = subprocess.Popen([PROGRAM, "--headless", *self.options], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self, sig):
        self.process.send_signal(sig)
        self.process.wait(timeout=10)

    def cleanup(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.home, ignore_errors=True)


def wait_for(condition, limit):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


def judge(name, arrived, updates, allowed_doubles):
    first = list(dict.fromkeys(arrived))
    doubles = len(arrived) - len(first)
    ok = first == list(range(1, updates + 1)) and doubles <= allowed_doubles
    print(f"{name}: {len(first)}/{updates} arrived, in order: {first == sorted(first)}, "
          f"doubled: {doubles} (allowed {allowed_doubles}): {'met' if ok else 'FAILED'}")
    return ok


def stops(sig, updates=300, count=10):
    server, relay = Server(), Relay()
    server.up()
    try:
        for n in range(1, updates + 1):
            relay.add(n, server.port)
        rng = random.Random(sig)
        for _ in range(count):
            relay.start()
            time.sleep(rng.uniform(0.3, 4.0))
            relay.stop(sig)
        relay.start()
        wait_for(lambda: server.count() and server.arrived[-1] == updates, 300)
        relay.stop(signal.SIGTERM)
        return judge(f"{signal.Signals(sig).name} x{count}", server.arrived, updates,
                     count if sig == signal.SIGKILL else 0)
    finally:
        relay.cleanup()
        server.down()


def outage(retry, updates=40):
    server = Server()
    relay = Relay(["--retry-for=1m"] if retry else [])
    try:
        for n in range(1, updates + 1):
            relay.add(n, server.port)
        server.up()
        relay.start()
        wait_for(lambda: server.count() >= 10, 60)
        server.down()
        time.sleep(20)
        server.up()
        wait_for(lambda: server.count() and server.arrived[-1] == updates, 120 if retry else 3)
        relay.stop(signal.SIGTERM)
        if retry:
            return judge("outage of 20 s, --retry-for=1m", server.arrived, updates, 0)
        missing = updates - len(set(server.arrived))
        ok = missing > 0 and len(server.arrived) == len(set(server.arrived))
        print(f"outage of 20 s, no retries: {missing} failed during it and not sent again: "
              f"{'met' if ok else 'FAILED'}")
        return ok
    finally:
        relay.cleanup()
        server.down()


if __name__ == "__main__":
    results = [stops(signal.SIGKILL), stops(signal.SIGTERM), outage(True), outage(False)]
    sys.exit(0 if all(results) else 1)
