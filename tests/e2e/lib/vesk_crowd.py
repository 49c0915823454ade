#!/usr/bin/env python3
"""Many Vesk streams from one third computer, each under a node id of its own, for the attack scenarios.

vesk_crowd.py HOST PORT SOURCES PER_SOURCE SECONDS MODE STATUS
    Opens PER_SOURCE streams from each address of SOURCES (comma-separated, all held by this host), each with a
    fresh Ed25519 key and a certificate naming a fresh node id, retrying while the other side has no handshake
    room. MODE "silent": the streams only answer keep-alives (no frame of ours, no row at the other side);
    MODE "handshake": each stream sends an "addMeRequest" under its node id, and again a few seconds later (so the
    other side has made its row by then), then keep-alives, and opens its stream again when the other side closes
    it (an attacker keeps its places). Everything received is read. STATUS gets the number of streams up, rewritten
    every second, until SECONDS have passed.
"""
import datetime, socket, ssl, struct, sys, tempfile, threading, time

from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519
from cryptography.x509.oid import NameOID


def varint(n):
    out = b""
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out += bytes([b | 0x80])
        else:
            return out + bytes([b])


def pb_text(field, text):
    data = text.encode()
    return bytes([(field << 3) | 2]) + varint(len(data)) + data


def frame(payload):
    return struct.pack("<I", len(payload)) + payload


def make_context(node_id, folder):
    key = ed25519.Ed25519PrivateKey.generate()
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, node_id)])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=1))
            .not_valid_after(now + datetime.timedelta(days=3650)).sign(key, None))
    cert_path, key_path = "%s/%s.crt" % (folder, node_id), "%s/%s.key" % (folder, node_id)
    with open(cert_path, "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(key_path, "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    ctx.minimum_version = ssl.TLSVersion.TLSv1_3
    ctx.load_cert_chain(cert_path, key_path)
    return ctx


def main(host, port, sources, per_source, seconds, mode, status):
    end = time.time() + float(seconds)
    folder = tempfile.mkdtemp(prefix="vesk-crowd.")
    lock = threading.Lock()
    up = [0]

    def one(source, n, ctx):
        # A stream the other side closes is made again in "handshake" mode, as an attacker would. On a loaded
        # machine the other side may close some before it has read their first frame: it keeps the keys of only
        # so many nodes that are no peer yet, and the oldest such stream gives way. A crowd that gave those places
        # up never filled the table.
        while time.time() < end:
            hold(source, n, ctx)
            if mode != "handshake":
                return
            time.sleep(0.5)

    def hold(source, n, ctx):
        node_id = "{c0ffee00-0000-4000-8000-%012d}" % n
        tls = None
        while time.time() < end and tls is None:
            try:
                raw = socket.create_connection((host, int(port)), timeout=15, source_address=(source, 0))
                tls = ctx.wrap_socket(raw)
                if len(tls.recv(4)) < 4:  # the acceptor's first (empty) frame: accepted
                    raise OSError("refused")
            except OSError:
                tls = None
                time.sleep(0.5)
        if tls is None:
            return
        with lock:
            up[0] += 1
        hello = frame(pb_text(1, "addMeRequest") + pb_text(2, node_id) + pb_text(14, "Linux") + pb_text(15, "c%d" % n))
        sends = [(time.time(), hello), (time.time() + 4, hello)] if mode == "handshake" else []
        last_tick = time.time()
        tls.settimeout(0.5)
        while time.time() < end:
            now = time.time()
            try:
                while sends and sends[0][0] <= now:
                    tls.sendall(sends.pop(0)[1])
                if now - last_tick > 20:
                    tls.sendall(b"\0\0\0\0")
                    last_tick = now
                if tls.recv(65536) == b"":
                    break
            except socket.timeout:
                continue
            except OSError:
                break
        with lock:
            up[0] -= 1

    with open(status, "w") as f:
        f.write("0\n")
    # Keys and certificates are made here, before any thread runs: made in hundreds of threads at once, they
    # fought over the interpreter's lock and on a loaded machine the last streams started minutes late.
    threads = []
    for s, source in enumerate(sources.split(",")):
        for k in range(int(per_source)):
            n = s * 1000 + k
            ctx = make_context("{c0ffee00-0000-4000-8000-%012d}" % n, folder)
            threads.append(threading.Thread(target=one, args=(source, n, ctx), daemon=True))
    for t in threads:
        t.start()
    while time.time() < end:
        with lock:
            count = up[0]
        with open(status, "w") as f:
            f.write("%d\n" % count)
        time.sleep(1)


if __name__ == "__main__":
    main(*sys.argv[1:8])
