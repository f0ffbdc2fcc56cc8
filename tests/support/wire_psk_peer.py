#!/usr/bin/python3
"""Independent client of a sealed (pre-shared key) wire link.

Starts wire_serve_peer_tool, connects to it over loopback and speaks the wire
protocol through AES-GCM records made with python3-cryptography: the greeting
arrives, and after the client's first record a frame, one record per packet, a sealed request is answered, a
record fed one byte at a time is read, and a tampered record ends the session.
Exits 0 when all checks pass, 1 on a mismatch, 77 when the module is missing.
"""

import os
import queue
import socket
import struct
import subprocess
import sys
import threading

try:
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    from cryptography.hazmat.primitives.kdf.hkdf import HKDF
    from cryptography.exceptions import InvalidTag
except ImportError:
    print("SKIP: python3-cryptography is not installed for", sys.executable)
    sys.exit(77)

TOOL = sys.argv[1]
PSK = os.urandom(24)
failures = 0


def check(ok, what):
    global failures
    if not ok:
        failures += 1
        print("FAIL:", what)


def hkdf(info):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=b"tile/wlan/kdfx/v1", info=info).derive(PSK)


SEND_KEY = AESGCM(hkdf(b"tile wifi key c2h v1"))  # client to host
RECV_KEY = AESGCM(hkdf(b"tile wifi key h2c v1"))


def nonce(counter):
    return bytes(4) + counter.to_bytes(8, "big")


class Link:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.sent = 0
        self.received = 0

    def recv_exact(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                return None
            out += chunk
        return out

    def packet(self):
        """One record, opened: it must hold exactly one whole packet."""
        prefix = self.recv_exact(4)
        if prefix is None:
            return None
        body = self.recv_exact(struct.unpack("<I", prefix)[0])
        plain = RECV_KEY.decrypt(nonce(self.received), body, None)
        self.received += 1
        kind, length = plain[0], struct.unpack("<I", plain[1:5])[0]
        check(len(plain) == 5 + length, "record holds one whole packet (type 0x%02x)" % kind)
        return kind, plain[5:]

    def seal(self, kind, payload=b""):
        plain = bytes([kind]) + struct.pack("<I", len(payload)) + payload
        body = SEND_KEY.encrypt(nonce(self.sent), plain, None)
        self.sent += 1
        return struct.pack("<I", len(body)) + body

    def closed(self):
        try:
            while self.sock.recv(4096):
                pass
            return True
        except OSError:
            return True


server = subprocess.Popen([TOOL, PSK.hex()], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
events = queue.Queue()
seen = []
port = None
while port is None:
    line = server.stdout.readline()
    if not line:
        raise SystemExit("server tool ended before listening")
    if line.startswith("port "):
        port = int(line.split()[1])
    else:
        seen.append(line.rstrip("\n"))
threading.Thread(target=lambda: [events.put(l.rstrip("\n")) for l in server.stdout], daemon=True).start()


def wait_event(text):
    while True:
        if any(text in e for e in seen):
            return True
        try:
            seen.append(events.get(timeout=20))
        except queue.Empty:
            return False


try:
    link = Link(port)
    kind, hello = link.packet()
    check(kind == 0x01 and hello == bytes([2, 0, 2, 0]) + struct.pack("<IIIII", 640, 360, 30, 1, 12000000)
          + struct.pack("<Q", 10**9), "sealed Hello")
    kind, version = link.packet()
    check(kind == 0x20 and version == bytes([2, 0, 4, 5]) + b"1.0.9" + bytes(4), "sealed version report")
    # The link becomes a client with its first record; only then are frames sent.
    link.sock.sendall(link.seal(0x14, b"psk peer"))  # ClientInfo
    # The advisory overtakes a frame still queued, not one already being sent.
    got = dict([link.packet(), link.packet()])
    check(got.get(0x03) == struct.pack("<Q", 77) + bytes([1, 0, 0, 0, 0, 0, 0, 1, 0x65, 0xAB, 0xCD]),
          "sealed frame")
    check(got.get(0x08) == bytes([1, 3, 8, 0]), "sealed advisory")
    check(wait_event(") [encrypted]"), "session tagged encrypted")

    link.sock.sendall(link.seal(0x07))  # RequestHello
    kind, _ = link.packet()
    check(kind == 0x01, "Hello resent on request")
    kind, _ = link.packet()
    check(kind == 0x20, "version report resent on request")

    for byte in link.seal(0x05):  # RequestIdr, one byte per send
        link.sock.sendall(bytes([byte]))
    check(wait_event("RequestIdr ← client"), "record fed one byte at a time")

    bad = bytearray(link.seal(0x05))
    bad[9] ^= 0x01
    link.sock.sendall(bytes(bad))
    check(wait_event("encrypted record rejected (authenticationFailed) — dropping client (fd "),
          "tampered record rejected")
    check(link.closed(), "session ended after a tampered record")

    plain = Link(port)
    plain.sock.sendall(bytes([0x05, 0, 0, 0, 0]))  # an unsealed packet reads as a bad record length
    check(wait_event("encrypted record rejected (badRecordLength(5)) — dropping client (fd "),
          "plaintext on a sealed link rejected")
    check(plain.closed(), "plaintext client dropped")
except (OSError, InvalidTag, TypeError) as error:
    check(False, "exchange failed: %r" % error)
finally:
    server.stdin.close()
    code = server.wait(timeout=60)
    check(code == 0, "server tool exit status %d" % code)

if failures:
    for e in seen:
        print("  ", e)
    print("%d check(s) failed" % failures)
    sys.exit(1)
print("wire psk peer: all checks passed")
