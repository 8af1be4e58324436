#!/usr/bin/env python3
"""A test stand-in for an HTTP server that closes kept-alive connections.

Many servers and proxies close a kept-alive connection that has been idle
for a while, and the close can cross a request the client is sending on it
at that moment. nginx cannot be made to do that on purpose, so this small
server stands in for one, at its worst: it answers the first request on a
connection normally (HTTP/1.1, Content-Length, "Connection: keep-alive") and
keeps the connection open; when a further request arrives on that same
connection, it waits RESET_DELAY seconds and resets the connection (a close
with SO_LINGER 0, so the client reads ECONNRESET) without answering.

A request that asks for "Connection: close" is answered with
"Connection: close" and the connection is closed after the body, as real
servers do.

Usage: reset_on_reuse_server.py DIR
  DIR/body    served for every GET, whatever the path
  DIR/ports   written once the server listens: "HTTP_PORT CONTROL_PORT\\n"
  DIR/events  one line per request: "CONNECTION REQUEST ACTION CONNECTION_HEADER"
              (ACTION: answered, closed (answered, then closed as asked), reset;
              the header's value as sent, "-" when there was none)
  DIR/server.log  what went wrong, if anything did

Both ports are free loopback ports the system picks. The server lives as long
as the connection the test makes to the control port: when the test closes
it, or the test process ends, the server ends. It also ends when no control
connection comes within START_LIMIT seconds, and after LIFETIME seconds in
any case.
"""

import os
import socket
import struct
import sys
import threading
import time

RESET_DELAY = 0.25
START_LIMIT = 60
LIFETIME = 600
MAX_HEAD = 64 * 1024


class Record:
    """DIR/events, written a whole line at a time."""

    def __init__(self, path):
        self.lock = threading.Lock()
        self.file = open(path, "a", encoding="ascii")

    def add(self, connection, request, action, header):
        with self.lock:
            self.file.write("%d %d %s %s\n" % (connection, request, action, header or "-"))
            self.file.flush()


def read_head(conn, pending):
    """One request head (bytes up to the blank line) and what follows it, or
    (None, b"") when the client closed the connection first."""
    while b"\r\n\r\n" not in pending:
        if len(pending) > MAX_HEAD:
            return None, b""
        chunk = conn.recv(4096)
        if not chunk:
            return None, b""
        pending += chunk
    head, rest = pending.split(b"\r\n\r\n", 1)
    return head.decode("latin-1"), rest


def connection_header(head):
    for line in head.split("\r\n")[1:]:
        name, _, value = line.partition(":")
        if name.strip().lower() == "connection":
            return value.strip().replace(" ", "_")
    return None


def reset(conn):
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def serve(conn, number, body, record):
    pending = b""
    request = 0
    try:
        while True:
            head, pending = read_head(conn, pending)
            if head is None:
                conn.close()
                return
            request += 1
            header = connection_header(head)
            if request > 1:
                time.sleep(RESET_DELAY)
                record.add(number, request, "reset", header)
                reset(conn)
                return
            close = header is not None and header.lower() == "close"
            answer = (
                "HTTP/1.1 200 OK\r\n"
                "Content-Type: application/octet-stream\r\n"
                "Content-Length: %d\r\n"
                "Connection: %s\r\n\r\n" % (len(body), "close" if close else "keep-alive")
            )
            conn.sendall(answer.encode("ascii") + body)
            record.add(number, request, "closed" if close else "answered", header)
            if close:
                conn.shutdown(socket.SHUT_WR)
                conn.close()
                return
    except OSError as error:
        print("connection %d: %s" % (number, error), file=sys.stderr, flush=True)
        conn.close()


def listener():
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen(16)
    return sock


def main():
    directory = sys.argv[1]
    sys.stderr = open(os.path.join(directory, "server.log"), "a", encoding="utf-8")
    with open(os.path.join(directory, "body"), "rb") as f:
        body = f.read()
    record = Record(os.path.join(directory, "events"))
    http = listener()
    control = listener()
    ports = os.path.join(directory, "ports")
    with open(ports + ".new", "w", encoding="ascii") as f:
        f.write("%d %d\n" % (http.getsockname()[1], control.getsockname()[1]))
    os.replace(ports + ".new", ports)

    def accept_requests():
        number = 0
        while True:
            conn, _ = http.accept()
            number += 1
            threading.Thread(target=serve, args=(conn, number, body, record), daemon=True).start()

    threading.Thread(target=accept_requests, daemon=True).start()
    threading.Timer(LIFETIME, lambda: os._exit(0)).start()

    control.settimeout(START_LIMIT)
    try:
        test, _ = control.accept()
    except socket.timeout:
        print("no control connection came", file=sys.stderr, flush=True)
        os._exit(1)
    test.settimeout(None)
    while test.recv(256):
        pass
    os._exit(0)


if __name__ == "__main__":
    main()
