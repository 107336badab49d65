# SPDX-License-Identifier: MIT
"""FTP/FTPS server for the test suite, listening on 127.0.0.1 only.

Prints "PORT <n>" on stdout once it listens and runs until it is killed or its standard input
closes (so it never outlives the test process that started it). Every session event is appended
as one line to the stats file:

    CONNECT <session>
    LOGIN <session> <tls>            tls: 1 when the control channel was encrypted
    LOGIN_FAILED <session>
    COMMAND <session> <CMD> <prot>   prot: 1 when data connections are encrypted (PROT P)
    CLOSE <session>
"""

import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_DTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer

try:
    from OpenSSL import SSL
except ImportError:  # plain FTP still works without it
    SSL = None


class Stats:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8") if path else None
        self._sessions = 0

    def next_session(self):
        self._sessions += 1
        return self._sessions

    def write(self, *items):
        if self._file:
            self._file.write(" ".join(str(item) for item in items) + "\n")
            self._file.flush()


def make_handlers(base_handler, base_dtp, stats, drop_after, implicit):
    class DataHandler(base_dtp):
        def readable(self):
            # libcurl starts the TLS handshake on the data connection before it sends RETR or
            # MLSD; the stock handler would close a channel that turns readable before a
            # transfer is queued, so let the handshake through.
            if getattr(self, "_ssl_accepting", False):
                return True
            return super().readable()

        def send(self, data):
            if drop_after is not None and not self.receive:
                remaining = drop_after - self.tot_bytes_sent
                if remaining <= 0:
                    self._resp = ("426 Connection closed; transfer aborted.", logging.debug)
                    self.close()
                    return 0
                data = data[:remaining]
            return super().send(data)

    class Handler(base_handler):
        dtp_handler = DataHandler

        def handle(self):
            self.session = stats.next_session()
            stats.write("CONNECT", self.session)
            if implicit:
                self.secure_connection(self.ssl_context)
            super().handle()

        def _tls(self):
            return int(SSL is not None and isinstance(self.socket, SSL.Connection))

        def pre_process_command(self, line, cmd, arg):
            stats.write("COMMAND", getattr(self, "session", 0), cmd or "-",
                        int(bool(getattr(self, "_prot", False))))
            return super().pre_process_command(line, cmd, arg)

        def handle_auth_success(self, home, password, msg_login):
            stats.write("LOGIN", self.session, self._tls())
            return super().handle_auth_success(home, password, msg_login)

        def handle_auth_failed(self, msg, password):
            stats.write("LOGIN_FAILED", self.session)
            return super().handle_auth_failed(msg, password)

        def close(self):
            if not self._closed and hasattr(self, "session"):
                stats.write("CLOSE", self.session)
            return super().close()

    if drop_after is not None:
        Handler.use_sendfile = False
    return Handler


def watch_stdin():
    # EOF on stdin means the test process went away.
    try:
        while sys.stdin.buffer.read(4096):
            pass
    finally:
        os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--home", required=True)
    parser.add_argument("--tls", choices=["off", "allowed", "required", "implicit"], default="off")
    parser.add_argument("--cert", help="server certificate followed by its chain (PEM)")
    parser.add_argument("--key", help="server private key (PEM)")
    parser.add_argument("--drop-after", type=int, default=None,
                        help="close every outgoing data connection after this many bytes")
    parser.add_argument("--stats", help="file to append session events to")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()

    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.WARNING,
                        stream=sys.stderr)
    stats = Stats(args.stats)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.home, perm="elr")

    if args.tls == "off":
        handler = make_handlers(FTPHandler, FTPHandler.dtp_handler, stats, args.drop_after, False)
    else:
        if SSL is None:
            sys.exit("python3-openssl is needed for TLS")
        handler = make_handlers(TLS_FTPHandler, TLS_DTPHandler, stats, args.drop_after,
                                args.tls == "implicit")
        handler.certfile = args.cert
        handler.keyfile = args.key
        handler.tls_control_required = args.tls in ("required", "implicit")
        handler.tls_data_required = args.tls in ("required", "implicit")
    handler.authorizer = authorizer
    handler.banner = "zendra test server ready."
    # Idle sessions stay open long enough for any test.
    handler.timeout = 120

    server = FTPServer(("127.0.0.1", 0), handler)
    print("PORT %d" % server.address[1], flush=True)
    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
