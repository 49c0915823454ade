#!/usr/bin/env python3
"""A hostile Vesk peer on the TLS stream port, for the attack scenarios of the end-to-end tests.

vesk_tls_peer.py dial HOST PORT CERT KEY LOG [SECONDS] [SEND_HEX...]
    Dials a Vesk stream port with a self-made Ed25519 certificate, logs every frame received (length and raw
    payload, as repr) to LOG, and sends each SEND_HEX as one frame once established. Stays SECONDS (default 60).
vesk_tls_peer.py idle HOST PORT COUNT SECONDS
    Holds COUNT TCP connections to HOST:PORT that never speak, renewing them before the handshake bound (10 s),
    for SECONDS.
vesk_tls_peer.py relay LISTEN_PORT TARGET_HOST TARGET_PORT SECONDS
    A transparent TCP relay (socat-like): every connection to LISTEN_PORT is joined to TARGET_HOST:TARGET_PORT.
"""
import socket, ssl, struct, sys, threading, time


def pb_text(field, text):
    data = text.encode()
    return bytes([(field << 3) | 2]) + varint(len(data)) + data


def varint(n):
    out = b""
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out += bytes([b | 0x80])
        else:
            return out + bytes([b])


def dial(host, port, cert, key, log, seconds=60, sends=()):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    ctx.minimum_version = ssl.TLSVersion.TLSv1_3
    ctx.load_cert_chain(cert, key)
    raw = socket.create_connection((host, int(port)), timeout=15)
    tls = ctx.wrap_socket(raw, server_hostname=None)
    peer = tls.getpeercert(binary_form=True)
    with open(log, "a") as out:
        out.write("handshake done %s %s peer cert %d bytes\n" % (tls.version(), tls.cipher()[0], len(peer or b"")))
        out.flush()
        buf = b""
        sent = False
        end = time.time() + float(seconds)
        tls.settimeout(1)
        while time.time() < end:
            try:
                chunk = tls.recv(65536)
            except socket.timeout:
                chunk = None
            except (ssl.SSLError, OSError) as e:
                out.write("ended: %r\n" % e)
                break
            if chunk == b"":
                out.write("closed by peer\n")
                break
            if chunk:
                buf += chunk
            while len(buf) >= 4:
                (size,) = struct.unpack("<I", buf[:4])
                if len(buf) < 4 + size:
                    break
                out.write("frame %d: %r\n" % (size, buf[4:4 + size]))
                out.flush()
                buf = buf[4 + size:]
                if not sent:  # the first frame says the other side accepted us
                    for h in sends:
                        payload = bytes.fromhex(h)
                        tls.sendall(struct.pack("<I", len(payload)) + payload)
                    sent = True
        out.write("done\n")


def idle(host, port, count, seconds):
    # Connections that never speak; a few new ones every fraction of a second, so that a slot the other side
    # frees (its handshake bound) is taken again at once. Each is dropped after 12 s.
    end = time.time() + float(seconds)
    held = []
    while time.time() < end:
        now = time.time()
        for _ in range(max(1, int(count) // 20)):
            try:
                held.append((now, socket.create_connection((host, int(port)), timeout=2)))
            except OSError:
                pass
        for made, s in [h for h in held if now - h[0] > 12]:
            s.close()
        held = [h for h in held if now - h[0] <= 12]
        time.sleep(0.2)


def relay(listen_port, host, port, seconds):
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("0.0.0.0", int(listen_port)))
    server.listen(16)

    def pipe(a, b):
        try:
            while True:
                d = a.recv(65536)
                if not d:
                    break
                b.sendall(d)
        except OSError:
            pass
        for s in (a, b):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def serve():
        while True:
            c, _ = server.accept()
            u = socket.create_connection((host, int(port)))
            threading.Thread(target=pipe, args=(c, u), daemon=True).start()
            threading.Thread(target=pipe, args=(u, c), daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    time.sleep(float(seconds))


def flood(host, port, certdir, streams, count, seconds):
    # STREAMS streams, each under its own certificate (CERTDIR/N/cert.pem, key.pem), each sending COUNT
    # "avatarRequested" frames and then reading nothing for SECONDS: every answer stays on the other side.
    request = pb_text(1, "avatarRequested")
    frame = struct.pack("<I", len(request)) + request

    def one(n):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        ctx.load_cert_chain("%s/%d/cert.pem" % (certdir, n), "%s/%d/key.pem" % (certdir, n))
        end = time.time() + float(seconds)
        while time.time() < end:  # the other side takes a limited number of handshakes at once: try again
            try:
                tls = ctx.wrap_socket(socket.create_connection((host, int(port)), timeout=15))
                if len(tls.recv(4)) < 4:  # the acceptor's first frame: accepted
                    raise OSError("refused")
                break
            except OSError:
                time.sleep(0.5)
        else:
            return
        for _ in range(int(count) // 1000):
            tls.sendall(frame * 1000)
        with lock:
            up[0] += 1
        while time.time() < end:  # keep-alives only, and never a read
            time.sleep(20)
            try:
                tls.sendall(b"\0\0\0\0")
            except OSError:
                return

    lock = threading.Lock()
    up = [0]
    threads = [threading.Thread(target=one, args=(n,), daemon=True) for n in range(int(streams))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print("streams up:", up[0])


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "dial":
        dial(*sys.argv[2:8], sends=sys.argv[8:]) if len(sys.argv) > 7 else dial(*sys.argv[2:7])
    elif mode == "idle":
        idle(*sys.argv[2:6])
    elif mode == "flood":
        flood(*sys.argv[2:8])
    elif mode == "relay":
        relay(*sys.argv[2:6])
