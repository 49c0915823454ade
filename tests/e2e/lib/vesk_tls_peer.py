#!/usr/bin/env python3
"""A hostile Vesk peer on the TLS stream port, for the attack scenarios of the end-to-end tests.

vesk_tls_peer.py dial HOST PORT CERT KEY LOG [SECONDS]
    Dials a Vesk stream port with a self-made Ed25519 certificate and logs every frame received (length and raw
    payload, as repr) to LOG. Stays SECONDS (default 60).
vesk_tls_peer.py relay LISTEN_PORT TARGET_HOST TARGET_PORT SECONDS
    A transparent TCP relay (socat-like): every connection to LISTEN_PORT is joined to TARGET_HOST:TARGET_PORT.
"""
import socket, ssl, struct, sys, threading, time


def dial(host, port, cert, key, log, seconds=60):
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
        out.write("done\n")


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


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "dial":
        dial(*sys.argv[2:8])
    elif mode == "relay":
        relay(*sys.argv[2:6])
