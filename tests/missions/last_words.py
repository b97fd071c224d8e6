"""A mission whose last acts are what the end of a run must not lose: a
burst of log lines sent as it ends, or a photo uploaded as its very last act
(with --upload)."""

import os
import socket
import subprocess
import sys

# As many as the socket of a station holds at once in real time (its kernel
# buffer of 208 KB by default): a longer burst is dropped by the kernel on the
# way, before the run could take it.
LINES = 100


def main():
    ground = (os.environ["KELVEX_GROUND"], 4567)
    if "--upload" in sys.argv:
        # A JPEG's first and last markers around enough bytes to take a few
        # turns of the FTP server's loop.
        photo = b"\xff\xd8" + bytes(range(256)) * 2048 + b"\xff\xd9"
        with open("last.jpeg", "wb") as f:
            f.write(photo)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(b"uploading %d bytes\n" % len(photo), ground)
        sys.exit(subprocess.run(["curl", "-s", "-T", "last.jpeg",
                                 os.environ["KELVEX_FTP_PATH"] + "/last.jpeg"]).returncode)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for i in range(LINES):
            s.sendto(b"last words %03d\n" % i, ground)
    print("the last of %d lines sent" % LINES, end="", flush=True)


if __name__ == "__main__":
    main()
