#!/usr/bin/python3
"""Independent peer for the pairing prologue.

Plays the client against the C++ host side (pairing_peer_tool host ...), the
host against the C++ client side, and the client against the wire server with
pairing (pairing_peer_tool serve ...: prologue, owner prompt, sealed greeting
with the paired record keys) over loopback TCP, computing the transcript,
root key, six-digit code, fingerprints and signatures with python3-cryptography
and hashlib, and the name rules with unicodedata. Run with Debian's
/usr/bin/python3, which has the module.
Exits 0 when all checks pass, 1 on a mismatch, 77 when the module is missing.
"""

import base64
import hashlib
import os
import queue
import socket
import struct
import subprocess
import sys
import threading
import unicodedata

try:
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
    from cryptography.hazmat.primitives.asymmetric.x25519 import X25519PrivateKey, X25519PublicKey
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    from cryptography.hazmat.primitives.kdf.hkdf import HKDF
except ImportError:
    print("SKIP: python3-cryptography is not installed for", sys.executable)
    sys.exit(77)

TOOL = sys.argv[1]
ROOT_SALT = b"tile/wlan/bond/base/v1"
SAS_LABEL = b"tile/wifi/sas/v1"
SIG_HOST = b"tile/wifi/sig/host/v1"
SIG_CLIENT = b"tile/wifi/sig/client/v1"
PAIRED_SALT = b"tile/wlan/bond/v1"
KINDS = {"unknown": 0, "android": 1, "androidTv": 2, "iPhone": 3, "iPad": 4, "appleTv": 5}

# RFC 7748 section 6.1 and RFC 8032 section 7.1 tests 1 and 2.
ALICE_X = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"
BOB_X = "5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"
CLIENT_SEED = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"
HOST_SEED = "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb"

failures = 0


def check(ok, what):
    global failures
    if not ok:
        failures += 1
        print("FAIL:", what)


def raw_public(key):
    return key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)


def frame(kind, payload):
    return bytes([kind]) + len(payload).to_bytes(2, "little") + payload


def recv_exact(sock, n):
    out = b""
    while len(out) < n:
        try:
            chunk = sock.recv(n - len(out))
        except ConnectionResetError:  # closed with our confirmation still unread
            return None
        if not chunk:
            return None
        out += chunk
    return out


def recv_frame(sock):
    header = recv_exact(sock, 3)
    if header is None:
        return None, None
    return header[0], recv_exact(sock, int.from_bytes(header[1:3], "little"))


def root_key(shared, transcript):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=ROOT_SALT, info=transcript).derive(shared)


def sas(transcript):
    digest = hashlib.sha256(SAS_LABEL + transcript).digest()
    return "%06d" % (int.from_bytes(digest[:8], "big") % 1000000)


def fingerprint(public):
    return base64.urlsafe_b64encode(hashlib.sha256(public).digest()[:8]).decode().rstrip("=")


def verifies(public, signature, message):
    try:
        Ed25519PublicKey.from_public_bytes(public).verify(signature, message)
        return True
    except (InvalidSignature, ValueError):
        return False


WHITE = {chr(c) for c in (0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x85, 0x2028, 0x2029)}


def is_white(ch):
    return ch in WHITE or unicodedata.category(ch) == "Zs"


def clean(text):
    """Trim white space at both ends, then drop control and format characters."""
    start, end = 0, len(text)
    while start < end and is_white(text[start]):
        start += 1
    while end > start and is_white(text[end - 1]):
        end -= 1
    return "".join(ch for ch in text[start:end] if unicodedata.category(ch) not in ("Cc", "Cf"))


def tail(name, can_show_sas, device_id, kind):
    out = b"" if can_show_sas else b"\x01"
    if device_id is not None and len(device_id) == 8:
        out += b"\x02" + bytes(b for x in device_id for b in (0x10 + (x >> 4), 0x10 + (x & 15)))
    if kind:
        out += bytes([3, 0x10 + kind])
    name_bytes = clean(name).encode()
    while len(out) + len(name_bytes) > 64:
        name_bytes = name_bytes.decode()[:-1].encode()
    return out + name_bytes


class HostTool:
    """The C++ host side, serving one connection."""

    def __init__(self, seed, ephemeral, *extra):
        self.proc = subprocess.Popen([TOOL, "host", seed, ephemeral] + list(extra), stdout=subprocess.PIPE, text=True)
        self.identity = bytes.fromhex(self.proc.stdout.readline().split()[1])
        self.port = int(self.proc.stdout.readline().split()[1])

    def finish(self):
        out, _ = self.proc.communicate(timeout=60)
        check(self.proc.returncode == 0, "host tool exit %d" % self.proc.returncode)
        return out.splitlines()


def run_client(seed=None, x_secret=None, name="", can_show_sas=True, device_id=None, kind=0,
               host_seed="random", host_x="random", confirm=None, raw_keyx=None, reject=False):
    """Pairs with the C++ host; returns (lines, expected values)."""
    identity = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(seed)) if seed else Ed25519PrivateKey.generate()
    eph = X25519PrivateKey.from_private_bytes(bytes.fromhex(x_secret)) if x_secret else X25519PrivateKey.generate()
    host = HostTool(host_seed, host_x, *(["reject"] if reject else []))
    epk_c, id_c = raw_public(eph), raw_public(identity)
    expected = {"fingerprint": fingerprint(id_c), "tail": tail(name, can_show_sas, device_id, kind)}
    with socket.create_connection(("127.0.0.1", host.port), timeout=30) as sock:
        payload = raw_keyx if raw_keyx is not None else epk_c + id_c + expected["tail"]
        sock.sendall(b"LRP1" + frame(1, payload))
        kind_byte, keyx = recv_frame(sock)
        expected["reply_type"] = kind_byte
        expected["reply"] = keyx
        if kind_byte == 2 and len(keyx) == 128:
            epk_h, id_h, sig_h = keyx[:32], keyx[32:64], keyx[64:]
            transcript = epk_c + id_c + epk_h + id_h
            check(id_h == host.identity, "HostKeyx carries the host identity")
            check(verifies(id_h, sig_h, SIG_HOST + transcript), "host signature verifies")
            check(not verifies(id_h, sig_h, SIG_CLIENT + transcript), "host signature is bound to its label")
            expected.update(transcript=transcript, sas=sas(transcript), sig_h=sig_h,
                            root=root_key(eph.exchange(X25519PublicKey.from_public_bytes(epk_h)), transcript))
            good = identity.sign(SIG_CLIENT + transcript)
            body = confirm(good, transcript) if confirm else b"\x01" + good
            sock.sendall(frame(3, body))
        sock.shutdown(socket.SHUT_WR)
        expected["trailing"] = sock.recv(16)
    return host.finish(), expected


def info_line(lines):
    return next((l.split(" ") for l in lines if l.startswith("info ")), None)


def check_known_answers():
    device_id = bytes.fromhex("95d628fc6289bb8f")
    lines, exp = run_client(CLIENT_SEED, ALICE_X, "Ada's tablet", True, device_id, KINDS["iPad"],
                            host_seed=HOST_SEED, host_x=BOB_X)
    info = info_line(lines)
    check(info == ["info", exp["fingerprint"], exp["sas"], "1", device_id.hex(), "4", b"Ada's tablet".hex()],
          "known-answer info %r" % info)
    host_sig = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(HOST_SEED)).sign(SIG_HOST + exp["transcript"])
    check(exp["sig_h"] == host_sig, "deterministic host signature")
    check("confirm 1 1" in lines, "known-answer confirm %r" % lines)
    check("root " + exp["root"].hex() in lines, "known-answer root")
    check(exp["root"].hex() == "8b265ff34956cbb2fa08f7d3c72a6ee1eca4261127c9d84695d845fa13e19d7d", "root vector")
    check(exp["sas"] == "619651" and exp["fingerprint"] == "If4x36FUomE", "sas and fingerprint vectors")


def check_fresh_keys_and_names():
    names = ["Pixel 8", "  \u202eŻółw\u200b 🐢\u2066 \n", "\u00ad", "x" * 100, "€" * 40, "A\tB\u0085C"]
    for name in names:
        for can_show_sas, device_id, kind in ((True, None, 0), (False, os.urandom(8), KINDS["androidTv"])):
            lines, exp = run_client(name=name, can_show_sas=can_show_sas, device_id=device_id, kind=kind)
            info = info_line(lines)
            # The host reads the name from the whole tail, metadata included.
            want = ["info", exp["fingerprint"], exp["sas"], "1" if can_show_sas else "0",
                    device_id.hex() if device_id else "-", str(kind), clean(exp["tail"].decode()).encode().hex()]
            check(info == want, "fresh keys, name %r: %r != %r" % (name, info, want))
            check(len(exp["tail"]) <= 64, "tail within 64 bytes")
            check("confirm 1 1" in lines and "root " + exp["root"].hex() in lines, "fresh keys agree for %r" % name)


def check_refusals():
    # Declined (ok 0 and ok 2): the signature is not looked at.
    for ok in (0, 2):
        lines, _ = run_client(confirm=lambda good, t, ok=ok: bytes([ok]) + good)
        check("confirm 0 0" in lines, "ok byte %d: %r" % (ok, lines))
    # A flipped bit, a foreign key, the host's label.
    lines, _ = run_client(confirm=lambda good, t: b"\x01" + good[:5] + bytes([good[5] ^ 4]) + good[6:])
    check("confirm 1 0" in lines, "flipped signature: %r" % lines)
    lines, _ = run_client(confirm=lambda good, t: b"\x01" + Ed25519PrivateKey.generate().sign(SIG_CLIENT + t))
    check("confirm 1 0" in lines, "foreign signature: %r" % lines)
    wrong_label = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(CLIENT_SEED))
    lines, _ = run_client(seed=CLIENT_SEED, confirm=lambda good, t: b"\x01" + wrong_label.sign(SIG_HOST + t))
    check("confirm 1 0" in lines, "host label on the client signature: %r" % lines)
    lines, _ = run_client(confirm=lambda good, t: b"\x01" + good[:63])
    check("error malformed(\"bad ClientConfirm length 64\")" in lines, "short ClientConfirm: %r" % lines)
    # Wrong sizes and low-order keys.
    lines, exp = run_client(raw_keyx=os.urandom(63))
    check("error malformed(\"bad ClientKeyx length 63\")" in lines, "63-byte ClientKeyx: %r" % lines)
    check(exp["reply_type"] is None, "nothing sent after a refused ClientKeyx")
    for point in ("00" * 32, "01" + "00" * 31, "e0eb7a7c3b41b8ae1656e3faf19fc46ada098deb9c32b1fd866205165f49b800"):
        lines, exp = run_client(raw_keyx=bytes.fromhex(point) + os.urandom(32))
        check("error lowOrderPeerKey" in lines, "low-order key %s: %r" % (point[:8], lines))
        check(exp["reply_type"] is None, "nothing sent after a low-order key")
    # The host's refusal of a device it cannot ask about.
    lines, exp = run_client(can_show_sas=False, reject=True)
    check(exp["reply_type"] == 4 and exp["reply"] == b"\x01" and exp["trailing"] == b"", "HostReject %r" % exp)


def serve_once(handler):
    listener = socket.create_server(("127.0.0.1", 0))
    result = {}

    def run():
        conn, _ = listener.accept()
        with conn:
            conn.settimeout(30)
            handler(conn, result)
        listener.close()

    thread = threading.Thread(target=run)
    thread.start()
    return listener.getsockname()[1], thread, result


def check_cpp_client(name, can_show_sas, device_id, kind, ok):
    host_id = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(HOST_SEED))
    host_eph = X25519PrivateKey.from_private_bytes(bytes.fromhex(BOB_X))
    client_id = Ed25519PrivateKey.from_private_bytes(bytes.fromhex(CLIENT_SEED))
    client_eph = X25519PrivateKey.from_private_bytes(bytes.fromhex(ALICE_X))

    def handler(conn, result):
        check(recv_exact(conn, 4) == b"LRP1", "client magic")
        kind_byte, keyx = recv_frame(conn)
        result["keyx"] = keyx
        epk_c, id_c = keyx[:32], keyx[32:64]
        transcript = epk_c + id_c + raw_public(host_eph) + raw_public(host_id)
        result["transcript"] = transcript
        conn.sendall(frame(2, raw_public(host_eph) + raw_public(host_id) + host_id.sign(SIG_HOST + transcript)))
        result["confirm"] = recv_frame(conn)

    port, thread, result = serve_once(handler)
    done = subprocess.run([TOOL, "client", str(port), CLIENT_SEED, ALICE_X, name.encode().hex(),
                           "1" if can_show_sas else "0", device_id.hex() if device_id else "-", str(kind),
                           "1" if ok else "0"], capture_output=True, text=True, timeout=60)
    thread.join(60)
    lines = done.stdout.splitlines()
    want_tail = tail(name, can_show_sas, device_id, kind)
    check(result.get("keyx") == raw_public(client_eph) + raw_public(client_id) + want_tail,
          "C++ ClientKeyx for %r: %r" % (name, result.get("keyx")))
    transcript = result["transcript"]
    check(lines[0] == "host %s %s 1" % (fingerprint(raw_public(host_id)), sas(transcript)), "host line %r" % lines)
    shared = client_eph.exchange(host_eph.public_key())
    check(lines[1] == "root " + root_key(shared, transcript).hex(), "client root")
    kind_byte, body = result["confirm"]
    check(kind_byte == 3 and len(body) == 65, "ClientConfirm frame")
    if ok:
        check(body[0] == 1 and verifies(raw_public(client_id), body[1:], SIG_CLIENT + transcript), "client signature")
    else:
        check(body == bytes(65), "declined ClientConfirm is all zeros")


class WireServerTool:
    """The C++ wire server with pairing; its lines arrive on a queue."""

    def __init__(self, folder):
        self.proc = subprocess.Popen([TOOL, "serve", folder], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = []
        self.queue = queue.Queue()
        self.identity = self.port = None
        while self.port is None:
            words = self.proc.stdout.readline().split()
            if not words:
                raise SystemExit("serve tool ended before listening")
            if words[0] == "identity":
                self.identity = bytes.fromhex(words[1])
            elif words[0] == "port":
                self.port = int(words[1])
        threading.Thread(target=lambda: [self.queue.put(l.rstrip("\n")) for l in self.proc.stdout], daemon=True).start()

    def wait_line(self, text):
        while not any(text in l for l in self.lines):
            try:
                self.lines.append(self.queue.get(timeout=20))
            except queue.Empty:
                return None
        return next(l for l in self.lines if text in l)

    def finish(self):
        self.proc.stdin.close()
        check(self.proc.wait(timeout=60) == 0, "serve tool exit status")


def pair_with_server(server, identity, name, can_show_sas=True, ok=True):
    """Runs the prologue against the wire server; returns (socket, transcript, root) or the reply frame."""
    eph = X25519PrivateKey.generate()
    epk_c, id_c = raw_public(eph), raw_public(identity)
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=20)
    sock.sendall(b"LRP1" + frame(1, epk_c + id_c + tail(name, can_show_sas, None, KINDS["iPhone"])))
    kind_byte, keyx = recv_frame(sock)
    if kind_byte != 2:
        return sock, kind_byte, keyx
    epk_h, id_h, sig_h = keyx[:32], keyx[32:64], keyx[64:]
    transcript = epk_c + id_c + epk_h + id_h
    check(id_h == server.identity, "server's HostKeyx carries its identity")
    check(verifies(id_h, sig_h, SIG_HOST + transcript), "server's host signature verifies")
    body = b"\x01" + identity.sign(SIG_CLIENT + transcript) if ok else bytes(65)
    sock.sendall(frame(3, body))
    root = root_key(eph.exchange(X25519PublicKey.from_public_bytes(epk_h)), transcript)
    return sock, transcript, root


def open_record(sock, key, counter):
    prefix = recv_exact(sock, 4)
    if prefix is None:
        return None
    body = recv_exact(sock, struct.unpack("<I", prefix)[0])
    return key.decrypt(bytes(4) + counter.to_bytes(8, "big"), body, None)


def record_keys(root):
    def key(info):
        return AESGCM(HKDF(algorithm=hashes.SHA256(), length=32, salt=PAIRED_SALT, info=info).derive(root))
    return key(b"tile wifi key c2h v1"), key(b"tile wifi key h2c v1")


def check_wire_server():
    import tempfile
    with tempfile.TemporaryDirectory() as folder:
        server = WireServerTool(folder)
        try:
            device = Ed25519PrivateKey.generate()
            fp = fingerprint(raw_public(device))
            # A new device: the owner is asked with the code both sides computed.
            sock, transcript, root = pair_with_server(server, device, "Ada's phone")
            asked = server.wait_line("asked ")
            check(asked == "asked %s %s %s" % (sas(transcript), fp, b"Ada's phone".hex()), "owner prompt %r" % asked)
            send_key, recv_key = record_keys(root)
            hello = open_record(sock, recv_key, 0)
            check(hello is not None and hello[0] == 0x01 and hello[9:17] == struct.pack("<II", 640, 360),
                  "first record opens to a Hello with the paired keys: %r" % hello)
            plain = bytes([0x14]) + struct.pack("<I", 3) + b"Ada"
            body = send_key.encrypt(bytes(4) + (0).to_bytes(8, "big"), plain, None)
            sock.sendall(struct.pack("<I", len(body)) + body)
            check(server.wait_line("ClientInfo ← client (fd ") is not None, "sealed ClientInfo read by the server")
            check(server.wait_line(") [paired]") is not None, "session tagged paired")
            check(server.wait_line("pairing: pinned %s (Ada's phone)" % fp) is not None, "device pinned")
            sock.close()
            # The same device again: known, no prompt.
            sock, transcript, root = pair_with_server(server, device, "Ada's phone")
            check(open_record(sock, record_keys(root)[1], 0)[0] == 0x01, "known device greeted")
            check(server.wait_line("pairing: known device %s, SAS %s" % (fp, sas(transcript))) is not None,
                  "known device line")
            check(sum(l.startswith("asked ") for l in server.lines) == 1, "no prompt for a known device")
            sock.close()
            # Refused by the owner, and a new device that cannot show the code.
            sock, transcript, root = pair_with_server(server, Ed25519PrivateKey.generate(), "deny me")
            check(recv_exact(sock, 1) is None, "refused device dropped without a record")
            sock.close()
            sock, reply_type, reply = pair_with_server(server, Ed25519PrivateKey.generate(), "tv", can_show_sas=False)
            check(reply_type == 4 and reply == b"\x01" and sock.recv(16) == b"", "HostReject 04 01 00 01")
            sock.close()
            check(server.wait_line("pairing: not approved ") is not None, "not-approved line")
            check(server.wait_line("no sheet raised") is not None, "silent-reconnect refusal line")
        finally:
            server.finish()


check_known_answers()
check_wire_server()
check_fresh_keys_and_names()
check_refusals()
check_cpp_client("Ada's tablet", True, bytes.fromhex("95d628fc6289bb8f"), KINDS["iPad"], True)
check_cpp_client(" \u202e" + "ü" * 50, False, os.urandom(8), KINDS["iPhone"], True)
check_cpp_client("", True, None, 0, False)
if failures:
    print("%d check(s) failed" % failures)
    sys.exit(1)
print("pairing peer: all checks passed")
