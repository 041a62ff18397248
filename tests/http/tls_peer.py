#!/usr/bin/env python3
"""A scripted TLS peer on 127.0.0.1 for the https tests.

Usage: tls_peer.py MODE CERT KEY [CONNECTIONS]
Prints the port it listens on, then runs MODE on each accepted connection:
  serve    TLS, reads a request header, answers 200 with the body "secure" and the request
           line in X-Request, then ends with a close_notify; its session tickets let a
           later connection resume
  serve12  serve, at most TLS 1.2
  fresh    serve without session tickets: every connection pays the full handshake
  unframed serve without Content-Length: the close_notify ends the body, and the TCP
           connection stays open until the client closes it
  cut      unframed, but the connection closes without a close_notify
  reset    unframed; the close_notify follows a pause, and the close another, with the client's
           close_notify unread: the close resets the connection
  records  with Content-Length and the body 50 times over, one record per byte; the connection
           closes right after the close_notify
  keepalive serve with "Connection: keep-alive", then waits for the client to drop the
           connection without any close_notify
  relocate the first connection answers 302 to /y, keeps the connection alive in its header
           and then ends it with close_notify and a close; the next ones serve
  bigchain serve with 1 MiB of extra certificates in the chain
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
import time

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


def make_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    chain = cert
    if mode == "bigchain":
        with open(cert) as f:
            leaf = f.read()
        with open(os.path.join(os.path.dirname(cert), "ca.pem")) as f:
            authority = f.read()
        chain = os.path.join(os.path.dirname(cert), "bigchain.pem")
        with open(chain, "w") as f:
            f.write(leaf + authority * (1024 * 1024 // len(authority) + 1))
    context.load_cert_chain(chain, key)
    if mode == "serve12":
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    if mode == "fresh":
        context.options |= ssl.OP_NO_TICKET
        context.num_tickets = 0
    return context


# One context for all connections: its ticket keys let a later connection resume.
context = make_context() if mode not in ("stall", "close", "garbage", "plain") else None


def serve(conn, index):
    try:
        with context.wrap_socket(conn, server_side=True) as tls:
            request = read_header(tls).decode("latin-1")
            first = request.split("\r\n", 1)[0]
            host = [l for l in request.split("\r\n") if l.lower().startswith("host:")]
            kept = ""
            if mode == "redirect":
                with open(os.path.join(os.path.dirname(cert), "REDIRECT")) as f:
                    target = f.read().strip()
                reply = "HTTP/1.0 302 Found\r\nLocation: %s\r\nContent-Length: 0\r\n\r\n" % target
            elif mode == "relocate" and index == 0:
                reply = "HTTP/1.0 302 Found\r\nLocation: /y\r\nConnection: keep-alive\r\nContent-Length: 0\r\n\r\n"
            else:
                body = "secure" * (50 if mode == "records" else 1)
                length = "" if mode in ("unframed", "cut", "reset") else "Content-Length: %d\r\n" % len(body)
                kept = "Connection: keep-alive\r\n" if mode == "keepalive" else ""
                reply = ("HTTP/1.0 200 OK\r\nX-Request: %s\r\nX-Host: %s\r\n%s%s\r\n%s"
                         % (first, host[0][5:].strip() if host else "", kept, length, body))
            if mode == "records":
                for byte in reply.encode("latin-1"):
                    tls.sendall(bytes([byte]))
            else:
                tls.sendall(reply.encode("latin-1"))
            if mode in ("reset", "records"):
                if mode == "reset":
                    time.sleep(0.2)  # the client holds the body and waits for the end
                tls.setblocking(False)  # the close_notify goes out; the client's is not waited for
                try:
                    tls.unwrap()
                except (ssl.SSLError, OSError):
                    pass
                if mode == "reset":
                    time.sleep(0.2)  # the client's close_notify comes and stays unread
                return
            if mode == "cut":
                tls.shutdown(socket.SHUT_RDWR)  # the TCP close alone, no close_notify
                return
            if mode == "keepalive":
                tls.recv(65536)  # until the client drops the connection
                return
            try:
                plain = tls.unwrap()
                if mode == "unframed":
                    plain.recv(1)  # until the client closes
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


for index in range(connections):
    try:
        conn, _ = listener.accept()
    except OSError:
        break
    conn.settimeout(10)
    with conn:
        try:
            serve(conn, index) if context is not None else hostile(conn)
        except OSError:
            pass
