#!/usr/bin/env python3
"""A native-messaging host that tells an old version: what a user has who
updated the extension but not the host.

    old_host.py --version TEXT --log FILE [browser arguments]

Answers VURO_GetVersion with TEXT and any other method with an error, and
writes each request's method name to FILE, one a line, so the test can tell
that nothing but the version request reached it.
"""
import argparse
import json
import struct
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--log", required=True)
    args, _ = parser.parse_known_args()
    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
    while True:
        head = stdin.read(4)
        if len(head) < 4:
            return
        (length,) = struct.unpack("<I", head)
        request = json.loads(stdin.read(length))
        method = request.get("function")
        with open(args.log, "a") as log:
            log.write(f"{method}\n")
        if method == "VURO_GetVersion":
            response = {"function": method, "errorcode": 0, "result": args.version}
        else:
            response = {"function": method, "errorcode": 0x80004005 - (1 << 32), "result": False}
        if "randomId" in request:
            response["randomId"] = request["randomId"]
        data = json.dumps(response).encode()
        stdout.write(struct.pack("<I", len(data)) + data)
        stdout.flush()


if __name__ == "__main__":
    main()
