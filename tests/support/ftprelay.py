# SPDX-License-Identifier: MIT
"""TCP relay between an FTP client and a server on 127.0.0.1: forwards the control connection,
points the passive-mode replies (227, 229) at its own ports and forwards each data connection,
cutting (or with --stall silencing) the first --faults of them after --after bytes; with --mute
COMMAND a control connection falls silent once the client sent that command. Prints "PORT <n>",
appends "DATA <bytes>" to --events per data connection, exits when stdin closes."""
import argparse
import os
import re
import socket
import sys
import threading

parser = argparse.ArgumentParser()
for name in ("--server-port", "--after", "--faults"):
    parser.add_argument(name, type=int)
parser.add_argument("--stall", action="store_true")
parser.add_argument("--mute", default="")
parser.add_argument("--events")
args = parser.parse_args()
events = open(args.events, "a", buffering=1)
lock = threading.Lock()
faults = [args.faults]


def listener():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    return s


def data(listening, port):
    client, server = listening.accept()[0], socket.create_connection(("127.0.0.1", port))
    with lock:
        fault, faults[0] = faults[0] > 0, faults[0] - 1
    moved = [0]

    def copy(source, target):
        try:
            while not fault or moved[0] < args.after:
                chunk = source.recv(min(1 << 16, args.after - moved[0]) if fault else 1 << 16)
                if not chunk:
                    break
                target.sendall(chunk)
                with lock:
                    moved[0] += len(chunk)
            if not fault or moved[0] < args.after:
                target.shutdown(socket.SHUT_WR)
            elif args.stall:
                threading.Event().wait()  # both connections stay open, silent
            else:  # cut: both sides see their connection end
                client.shutdown(socket.SHUT_RDWR)
                server.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    threads = [threading.Thread(target=copy, args=ends) for ends in
               ((client, server), (server, client))]
    [thread.start() for thread in threads]
    [thread.join() for thread in threads]
    events.write("DATA %d\n" % moved[0])


def upstream(client, server, muted):
    try:
        while chunk := client.recv(1 << 16):
            if args.mute and chunk.upper().startswith(args.mute.encode() + b" "):
                muted.set()
            server.sendall(chunk)
        server.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def control(client):
    server = socket.create_connection(("127.0.0.1", args.server_port))
    muted = threading.Event()
    threading.Thread(target=upstream, args=(client, server, muted), daemon=True).start()
    for line in server.makefile("rb"):
        if muted.is_set():
            threading.Event().wait()  # the server's replies go nowhere from now on
        epsv = re.match(rb"229 .*\(\|\|\|(\d+)\|\)", line)
        pasv = re.match(rb"227 .*\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)", line)
        if epsv or pasv:
            listening = listener()
            port = int(epsv[1]) if epsv else int(pasv[5]) * 256 + int(pasv[6])
            threading.Thread(target=data, args=(listening, port), daemon=True).start()
            own = listening.getsockname()[1]
            line = (b"229 Entering Extended Passive Mode (|||%d|)\r\n" % own if epsv else
                    b"227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n" % (own >> 8, own & 255))
        client.sendall(line)
    client.close()


main = listener()
print("PORT %d" % main.getsockname()[1], flush=True)
threading.Thread(target=lambda: (sys.stdin.buffer.read(), os._exit(0)), daemon=True).start()
while True:
    threading.Thread(target=control, args=(main.accept()[0],), daemon=True).start()
