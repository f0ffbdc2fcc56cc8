#!/usr/bin/python3
"""Independent peer for the sealed Wi-Fi record layer.

Derives the record keys and seals and opens records with python3-cryptography,
then checks the C++ side (driven through wifi_record_peer_tool) against them
in both directions. Run with Debian's /usr/bin/python3, which has the module.
Exits 0 when all checks pass, 1 on a mismatch, 77 when the module is missing.
"""

import os
import subprocess
import sys

try:
    from cryptography.hazmat.primitives import hashes
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM
    from cryptography.hazmat.primitives.kdf.hkdf import HKDF
except ImportError:
    print("SKIP: python3-cryptography is not installed for", sys.executable)
    sys.exit(77)

TOOL = sys.argv[1]
SALTS = {"qrPsk": b"tile/wlan/kdfx/v1", "paired": b"tile/wlan/bond/v1"}
C2H = b"tile wifi key c2h v1"
H2C = b"tile wifi key h2c v1"
MAX_PLAINTEXT = 0x1000000
failures = 0


def check(ok, what):
    global failures
    if not ok:
        failures += 1
        print("FAIL:", what)


def run(args, stdin=""):
    done = subprocess.run([TOOL] + args, input=stdin, capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise SystemExit("tool failed (%d): %s" % (done.returncode, done.stderr))
    return done.stdout.splitlines()


def hkdf(ikm, salt, info):
    return HKDF(algorithm=hashes.SHA256(), length=32, salt=salt, info=info).derive(ikm)


def nonce(counter):
    return bytes(4) + counter.to_bytes(8, "big")


def opens(aead, counter, body):
    try:
        return aead.decrypt(nonce(counter), body, None)
    except Exception:  # InvalidTag
        return None


def seal_records(key, plaintexts, counter=0):
    aead = AESGCM(key)
    out = []
    for i, p in enumerate(plaintexts):
        body = aead.encrypt(nonce(counter + i), p, None)
        out.append(len(body).to_bytes(4, "little") + body)
    return out


def tool_open(key, stream, chunk, counter=0):
    lines = run(["open", key.hex(), str(chunk), str(counter)], stream.hex() + "\n")
    return bytes.fromhex(lines[0].split(" ", 1)[1] if " " in lines[0] else ""), lines[1]


def check_keys():
    for form, material in (("psk", os.urandom(24)), ("psk", b"\x01"), ("root", os.urandom(32))):
        for flavor, salt in SALTS.items():
            c2h, h2c = hkdf(material, salt, C2H), hkdf(material, salt, H2C)
            for role, send, recv in (("host", h2c, c2h), ("client", c2h, h2c)):
                lines = run(["derive", form, material.hex(), role, flavor])
                check(lines == ["send " + send.hex(), "recv " + recv.hex()], "keys %s %s %s" % (form, flavor, role))


def check_python_seals_cpp_opens():
    key = os.urandom(32)
    plaintexts = [b"", b"x", os.urandom(15), os.urandom(16), os.urandom(17), os.urandom(1000),
                  os.urandom(16384), b"", os.urandom(70000)]
    stream = b"".join(seal_records(key, plaintexts))
    for chunk in (1, 3, 4, 5, 4096, len(stream)):
        plain, verdict = tool_open(key, stream, chunk)
        check(verdict == "ok" and plain == b"".join(plaintexts), "open in chunks of %d: %s" % (chunk, verdict))

    records = seal_records(key, [b"alpha", b"beta", b"gamma"])
    _, verdict = tool_open(key, records[1] + records[0], 7)
    check(verdict == "error authenticationFailed", "reordered: " + verdict)
    _, verdict = tool_open(key, records[0] + records[2], 7)
    check(verdict == "error authenticationFailed", "dropped: " + verdict)
    _, verdict = tool_open(key, records[0] + records[0], 7)
    check(verdict == "error authenticationFailed", "duplicated: " + verdict)
    for i in range(4, len(records[0])):
        bad = bytearray(records[0])
        bad[i] ^= 0x40
        _, verdict = tool_open(key, bytes(bad), 1)
        check(verdict == "error authenticationFailed", "flipped byte %d: %s" % (i, verdict))
    for length in (15, MAX_PLAINTEXT + 17):
        plain, verdict = tool_open(key, records[0] + length.to_bytes(4, "little") + bytes(64), 1)
        check(verdict == "error badRecordLength(%d)" % length, "length %d: %s" % (length, verdict))

    high = 2**64 - 2
    last = seal_records(key, [b"last"], counter=high)[0]
    plain, verdict = tool_open(key, last, 5, counter=high)
    check(verdict == "ok" and plain == b"last", "last counter value: " + verdict)


def check_cpp_seals_python_opens():
    key = os.urandom(32)
    plaintexts = [b"", b"Hello", os.urandom(16), os.urandom(5000), os.urandom(16384)]
    lines = run(["seal", key.hex()], "".join(p.hex() + "\n" for p in plaintexts))
    check(len(lines) == len(plaintexts), "one record per plaintext")
    aead = AESGCM(key)
    for counter, (line, p) in enumerate(zip(lines, plaintexts)):
        record = bytes.fromhex(line)
        check(int.from_bytes(record[:4], "little") == len(p) + 16 == len(record) - 4, "prefix of record %d" % counter)
        check(opens(aead, counter, record[4:]) == p, "record %d opens to its plaintext" % counter)

    lines = run(["seal", key.hex(), str(2**64 - 2)], "6f6e65\n74776f\n")
    check(len(lines) == 2 and lines[1] == "error nonceExhausted", "exhaustion: %r" % lines)
    check(opens(aead, 2**64 - 2, bytes.fromhex(lines[0])[4:]) == b"one", "last nonce")


check_keys()
check_python_seals_cpp_opens()
check_cpp_seals_python_opens()
if failures:
    print("%d check(s) failed" % failures)
    sys.exit(1)
print("wifi record peer: all checks passed")
