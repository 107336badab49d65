# SPDX-License-Identifier: MIT
"""The suites' FTP/FTPS server on 127.0.0.1 (pyftpdlib). Prints "PORT <n>" once it listens, appends
one line per event to --events (CONNECT, LOGIN <tls>, CMD <name> <prot>, STALL, CLOSE) and exits
when its standard input closes, so that it never outlives the process that started it; with
--background it ignores standard input and runs until it is signalled (Ctrl-C, kill)."""
import argparse
import logging
import os
import sys
import threading
import time

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer

parser = argparse.ArgumentParser()
for option in ("user", "password", "home", "events", "cert", "key"):
    parser.add_argument("--" + option)
parser.add_argument("--port", type=int, default=0, help="0: any free port")
parser.add_argument("--background", action="store_true", help="run until signalled")
parser.add_argument("--anonymous", help="non-empty: let anonymous in too")
parser.add_argument("--tls", default="off", choices=["off", "allowed", "required", "implicit"])
parser.add_argument("--drop-after", type=int, default=-1, help="close data connections then")
parser.add_argument("--stall-after", type=int, default=-1, help="stop sending then")
parser.add_argument("--rate", type=int, default=-1, help="bytes a second on data connections")
parser.add_argument("--prot", default="accept", choices=["accept", "refuse"], help="answer to PROT")
args = parser.parse_args()
events = open(args.events, "a", buffering=1) if args.events else None
tls = args.tls != "off"
logging.basicConfig(level=logging.WARNING)


def log(*items):
    if events:
        events.write(" ".join(str(item) for item in items) + "\n")


class Data(TLS_DTPHandler if tls else FTPHandler.dtp_handler):
    def readable(self):
        # libcurl starts TLS on the data connection before it sends RETR or MLSD.
        return getattr(self, "_ssl_accepting", False) or super().readable()

    def send(self, data):
        limit = min(n for n in (args.drop_after, args.stall_after, 1 << 62) if n >= 0)
        if args.rate > 0 and not self.receive:
            time.sleep(0.02)  # the whole server waits: it serves one client
            data = data[:max(1, args.rate // 50)]
        if self.receive or self.tot_bytes_sent < limit:
            return super().send(data[:limit - self.tot_bytes_sent])
        if limit == args.drop_after:
            self._resp = ("426 Connection closed; transfer aborted.", lambda *_: None)
            self.close()
        else:
            log("STALL")
            self.del_channel()  # the connection stays open, silent
        return 0


class Handler(TLS_FTPHandler if tls else FTPHandler):
    dtp_handler = Data
    use_sendfile = args.drop_after < 0 and args.stall_after < 0 and args.rate < 0

    def handle(self):
        log("CONNECT")
        if args.tls == "implicit":
            self.secure_connection(self.ssl_context)
        super().handle()

    def pre_process_command(self, line, cmd, arg):
        log("CMD", cmd, int(bool(getattr(self, "_prot", False))))
        return super().pre_process_command(line, cmd, arg)

    def ftp_PROT(self, line):  # refused: TLS on the control connection, data in clear text
        return self.respond("534 Refused.") if args.prot == "refuse" else super().ftp_PROT(line)

    def on_login(self, username):
        log("LOGIN", int(getattr(self, "_ssl_established", False)))

    def on_disconnect(self):
        log("CLOSE")


Handler.authorizer = DummyAuthorizer()
Handler.authorizer.add_user(args.user, args.password, args.home, perm="elradfmw")
if args.anonymous:
    Handler.authorizer.add_anonymous(args.home)
if tls:
    Handler.certfile, Handler.keyfile = args.cert, args.key
    Handler.tls_control_required = Handler.tls_data_required = args.tls != "allowed"
server = FTPServer(("127.0.0.1", args.port), Handler)
print("PORT %d" % server.address[1], flush=True)
if not args.background:
    threading.Thread(target=lambda: (sys.stdin.buffer.read(), os._exit(0)), daemon=True).start()
server.serve_forever(handle_exit=True)
