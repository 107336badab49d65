# SPDX-License-Identifier: MIT
"""Serves a directory over FTP (or explicit FTPS) on 127.0.0.1 for the recording scripts.

Usage: ftpserver.py ROOT PORTFILE [CERTFILE KEYFILE]
Writes the chosen port to PORTFILE and serves user "user", password "pass" until killed.
"""
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, port_file = sys.argv[1], sys.argv[2]
    authorizer = DummyAuthorizer()
    authorizer.add_user("user", "pass", root, perm="elr")
    handler = FTPHandler
    if len(sys.argv) > 4:
        handler = TLS_FTPHandler
        handler.certfile = sys.argv[3]
        handler.keyfile = sys.argv[4]
    handler.authorizer = authorizer
    handler.passive_ports = None
    handler.banner = "recording server"
    server = FTPServer(("127.0.0.1", 0), handler)
    with open(port_file, "w") as out:
        out.write(str(server.address[1]))
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
