# SPDX-License-Identifier: MIT
"""Prints the raw bytes of an MLSD reply, CR LF line ends as sent by the server.

Usage: mlsdclient.py PORT DIRECTORY
"""
import socket
import sys


def reply(control):
    text = b""
    while True:
        line = control.readline()
        text += line
        if len(line) >= 4 and line[3:4] == b" " and line[:3].isdigit():
            return text


def main():
    port, directory = int(sys.argv[1]), sys.argv[2]
    with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
        control = sock.makefile("rb")

        def command(text):
            sock.sendall(text.encode() + b"\r\n")
            return reply(control)

        reply(control)
        command("USER user")
        command("PASS pass")
        command("TYPE I")
        answer = command("EPSV").decode()
        data_port = int(answer.split("|||")[1].split("|")[0])
        with socket.create_connection(("127.0.0.1", data_port), timeout=10) as data:
            sock.sendall(b"MLSD " + directory.encode() + b"\r\n")
            reply(control)
            chunks = []
            while True:
                chunk = data.recv(65536)
                if not chunk:
                    break
                chunks.append(chunk)
        reply(control)
        command("QUIT")
    sys.stdout.buffer.write(b"".join(chunks))


if __name__ == "__main__":
    main()
