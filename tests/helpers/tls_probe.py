#!/usr/bin/env python3
"""Tries a TLS server with each protocol version and with plain HTTP, one line each:

    tls_probe.py HOST PORT [USER PASSWORD]
    TLSv1 refused: [SSL: TLSV1_ALERT_PROTOCOL_VERSION] ...
    TLSv1_2 200
    plain refused: no HTTP answer

A version that connects sends GET /api/me and says the HTTP status it got. Given an account, it
then logs in over TLS and prints the session cookie's attributes (never its value):

    login 200 HttpOnly; SameSite=Strict; Secure
"""
import socket
import ssl
import sys

host, port = sys.argv[1], int(sys.argv[2])


def request(stream, head=b"GET /api/me HTTP/1.1", body=b""):
    stream.sendall(head + b"\r\nHost: " + f"{host}:{port}".encode() + b"\r\nConnection: close\r\n" +
                   b"Content-Length: " + str(len(body)).encode() + b"\r\n\r\n" + body)
    answer = b""
    while True:
        chunk = stream.recv(4096)
        if not chunk:
            return answer
        answer += chunk


for name in ("TLSv1", "TLSv1_1", "TLSv1_2", "TLSv1_3"):
    version = getattr(ssl.TLSVersion, name)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    # Let this client offer the old versions, so that refusing them is the server's doing.
    context.set_ciphers("DEFAULT:@SECLEVEL=0")
    context.minimum_version = version
    context.maximum_version = version
    try:
        with socket.create_connection((host, port), timeout=10) as raw:
            with context.wrap_socket(raw, server_hostname=host) as tls:
                answer = request(tls)
                print(name, answer.split(b" ")[1].decode() if answer.startswith(b"HTTP/") else "no answer")
    except (ssl.SSLError, OSError) as error:
        print(name, "refused:", error)

try:
    with socket.create_connection((host, port), timeout=10) as raw:
        answer = request(raw)
        print("plain", answer.split(b" ")[1].decode() if answer.startswith(b"HTTP/") else "refused: no HTTP answer")
except OSError as error:
    print("plain refused:", error)

if len(sys.argv) == 5:
    import json
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    body = json.dumps({"user": sys.argv[3], "password": sys.argv[4]}).encode()
    with socket.create_connection((host, port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname=host) as tls:
            answer = request(tls, b"POST /api/login HTTP/1.1\r\nContent-Type: application/json\r\n"
                             b"Origin: https://" + f"{host}:{port}".encode(), body)
    head = answer.split(b"\r\n\r\n")[0].decode().split("\r\n")
    cookie = next((line.split(":", 1)[1] for line in head if line.lower().startswith("set-cookie:")), "")
    print("login", head[0].split(" ")[1], "; ".join(part.strip() for part in cookie.split(";")[1:]))
