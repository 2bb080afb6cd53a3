"""An FTP server on loopback for the delivery tests, with Debian's pyftpdlib.

    ftp_server.py PORT ROOT USER PASSWORD [BYTES_PER_SECOND]

Serves ROOT to USER with every right; uploads are slowed to BYTES_PER_SECOND when given, so that a
test can stop the server in the middle of one. Prints "ready" once it listens.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    port, root, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    if len(sys.argv) > 5:
        dtp = ThrottledDTPHandler
        dtp.read_limit = int(sys.argv[5])
        handler.dtp_handler = dtp
    logging.basicConfig(level=logging.WARNING)
    server = FTPServer(("127.0.0.1", port), handler)
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
