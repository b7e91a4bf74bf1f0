#!/usr/bin/env python3
"""A TLS client made of Python's ssl module, for the end-to-end tests: it listens on a
plain loopback port, and for each connection made to it opens a TLS connection to the
server, verifying the certificate against a CA file and the host name, and relays the
bytes both ways. The tests' own plain clients (frames, telnet, HTTP, WebSocket) then
talk TLS through it.

Usage: tls_tunnel.py CA_FILE HOST PORT [--name NAME] [--alpn PROTOCOL]

Prints "tunnel on port N" once it listens, then one line per connection:
"connected VERSION CIPHER alpn=PROTOCOL cn=COMMON_NAME sha256=HEX" once its handshake
is done, or "failed: WHY" (and the plain side is closed). The outgoing connection is
made from the address the plain one came from (127.0.0.2 stays 127.0.0.2), so the
server sees the test's client addresses (not over IPv6). Runs until it is killed.
"""

import argparse
import asyncio
import hashlib
import socket
import ssl


def parse():
    parser = argparse.ArgumentParser()
    parser.add_argument("ca")
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("--name", default="localhost", help="the name the certificate must hold")
    parser.add_argument("--alpn", default="")
    return parser.parse_args()


def say(line):
    print(line, flush=True)


async def pipe(reader, writer):
    try:
        while True:
            data = await reader.read(65536)
            if not data:
                break
            writer.write(data)
            await writer.drain()
    except (ConnectionError, ssl.SSLError, OSError):
        pass
    finally:
        writer.close()


def common_name(certificate):
    for rdn in certificate.get("subject", ()):
        for key, value in rdn:
            if key == "commonName":
                return value
    return "-"


async def main():
    args = parse()
    context = ssl.create_default_context(cafile=args.ca)
    if args.alpn:
        context.set_alpn_protocols([args.alpn])
    ipv6 = ":" in args.host

    async def handle(plain_reader, plain_writer):
        peer = plain_writer.get_extra_info("peername")[0]
        local = None if ipv6 else (peer, 0)
        try:
            reader, writer = await asyncio.open_connection(
                args.host, args.port, ssl=context, server_hostname=args.name, local_addr=local)
        except (OSError, ssl.SSLError) as error:
            say(f"failed: {error}")
            plain_writer.close()
            return
        tls = writer.get_extra_info("ssl_object")
        leaf = tls.getpeercert(binary_form=True)
        say(f"connected {tls.version()} {tls.cipher()[0]} alpn={tls.selected_alpn_protocol()} "
            f"cn={common_name(tls.getpeercert())} sha256={hashlib.sha256(leaf).hexdigest()}")
        await asyncio.gather(pipe(plain_reader, writer), pipe(reader, plain_writer))

    server = await asyncio.start_server(handle, "127.0.0.1", 0, family=socket.AF_INET)
    say(f"tunnel on port {server.sockets[0].getsockname()[1]}")
    await asyncio.Event().wait()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
