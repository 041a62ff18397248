#!/usr/bin/env python3
"""A scripted TLS peer on 127.0.0.1 for the https tests.

Usage: tls_peer.py MODE CERT KEY [CONNECTIONS]
Prints the port it listens on, then runs MODE on each accepted connection:
  serve    TLS, reads a request header, answers 200 with the body "secure" and the request
           line in X-Request
  redirect TLS, answers 302 to the http address in the file REDIRECT next to CERT
  stall    reads the ClientHello and answers nothing until the client goes
  close    reads the ClientHello and closes
  garbage  reads the ClientHello and answers with a handshake record full of noise
  plain    reads the ClientHello and answers in plain HTTP
Every wait is bounded, so the peer ends by itself when the client does not come.
"""
import os
import socket
import ssl
import sys

mode, cert, key = sys.argv[1:4]
connections = int(sys.argv[4]) if len(sys.argv) > 4 else 1

listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(4)
listener.settimeout(10)
print(listener.getsockname()[1], flush=True)


def read_header(conn):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data


def serve(conn):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    try:
        with context.wrap_socket(conn, server_side=True) as tls:
            request = read_header(tls).decode("latin-1")
            first = request.split("\r\n", 1)[0]
            host = [l for l in request.split("\r\n") if l.lower().startswith("host:")]
            if mode == "redirect":
                with open(os.path.join(os.path.dirname(cert), "REDIRECT")) as f:
                    target = f.read().strip()
                reply = "HTTP/1.0 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n" % target
            else:
                body = "secure"
                reply = ("HTTP/1.0 200 OK\r\nX-Request: %s\r\nX-Host: %s\r\nContent-Length: %d\r\n\r\n%s"
                         % (first, host[0][5:].strip() if host else "", len(body), body))
            tls.sendall(reply.encode("latin-1"))
            try:
                tls.unwrap()
            except (ssl.SSLError, OSError):
                pass
    except (ssl.SSLError, OSError):
        pass  # the client rejected the certificate: it closes, as it should


def hostile(conn):
    conn.recv(65536)  # the ClientHello
    if mode == "stall":
        conn.recv(65536)  # until the client gives up and closes
    elif mode == "garbage":
        conn.sendall(b"\x16\x03\x03\x00\x40" + bytes(range(7, 71)))
        conn.recv(65536)
    elif mode == "plain":
        conn.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")


for _ in range(connections):
    try:
        conn, _ = listener.accept()
    except OSError:
        break
    conn.settimeout(10)
    with conn:
        try:
            serve(conn) if mode in ("serve", "redirect") else hostile(conn)
        except OSError:
            pass
