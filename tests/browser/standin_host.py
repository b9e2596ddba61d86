#!/usr/bin/env python3
"""A stand-in for TamsuWebHost.exe, for proving the browser side until the real host runs here.

It speaks the host's framing and message forms and keeps the host's caller, origin, id and handle
rules, but its keys are a scripted table (TAMSU_STANDIN_TABLE names the JSON file):
  version, allowedExtensions, allowedOrigins, keys   as the host's configuration and keys would be
  answers   path of a table in TamsuKeySim's --answers form ("PATTERN => ANSWER"); other commands
            get their own bytes followed by 90 00, as TamsuKeySim's echo does
  errors    {HEX: CODE}: transmitting exactly HEX fails with that code (scard 0x80100069)
  stall     [HEX]: transmitting HEX is never answered (the host hangs until killed)
  garble    [HEX]: transmitting HEX is answered with an id nobody asked for
  log       a file to which every start, request and end is appended as a JSON line
"""
import json
import os
import struct
import sys
import time

MAX_MESSAGE = 64 * 1024
MAX_HANDLES = 16
SCARD_E_UNKNOWN_READER = 0x80100009
SCARD_W_REMOVED_CARD = 0x80100069


def load_answers(path):
    rules = []
    if not path:
        return rules
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            pattern, answer = (side.strip() for side in line.split("=>"))
            tokens = pattern.split()
            if len(tokens) == 1 and tokens[0] not in ("??", "..."):
                tokens = [tokens[0][i:i + 2] for i in range(0, len(tokens[0]), 2)]
            open_end = tokens[-1:] == ["..."]
            if open_end:
                tokens = tokens[:-1]
            rules.append((tokens, open_end, bytes.fromhex(answer.replace(" ", ""))))
    return rules


def matches(tokens, open_end, command):
    if len(command) < len(tokens) or (not open_end and len(command) != len(tokens)):
        return False
    return all(t == "??" or int(t, 16) == b for t, b in zip(tokens, command))


class Host:
    def __init__(self, table, caller):
        self.table = table
        self.caller = caller
        self.rules = load_answers(table.get("answers"))
        self.handles = {}  # handle -> (origin, path)
        self.next_handle = 1
        self.out = sys.stdout.buffer

    def log(self, **entry):
        path = self.table.get("log")
        if path:
            with open(path, "a", encoding="utf-8") as f:
                f.write(json.dumps({"pid": os.getpid(), "time": time.time(), **entry}) + "\n")

    def send(self, reply):
        data = json.dumps(reply, separators=(",", ":")).encode("utf-8")
        self.out.write(struct.pack("=I", len(data)) + data)
        self.out.flush()

    def fail(self, id_, code, message, scard=None):
        error = {"code": code, "message": message}
        if scard is not None:
            error["scard"] = scard
        self.send({"id": id_, "ok": False, "error": error})

    def serve(self, data):
        if self.caller not in self.table.get("allowedExtensions", []):
            self.fail(None, "extension-not-allowed", "this extension is not served")
            return
        try:
            request = json.loads(data.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            self.fail(None, "bad-request", "not JSON")
            return
        self.log(event="request", message=request)
        id_ = request.get("id") if isinstance(request, dict) else None
        if isinstance(id_, bool) or not isinstance(id_, int) or not 0 <= id_ < 2 ** 53:
            self.fail(None, "bad-request", "no readable id")
            return
        origin = request.get("origin")
        if not isinstance(origin, str):
            self.fail(id_, "bad-request", "no origin")
            return
        if origin not in self.table.get("allowedOrigins", []):
            self.fail(id_, "origin-not-allowed", "this page is not served")
            return
        command = request.get("command")
        handler = getattr(self, "do_" + command, None) if isinstance(command, str) else None
        if handler is None:
            self.fail(id_, "bad-request", "unknown command")
            return
        handler(id_, origin, request)

    def do_version(self, id_, origin, request):
        self.send({"id": id_, "ok": True, "version": self.table["version"], "protocol": 1})

    def do_list(self, id_, origin, request):
        self.send({"id": id_, "ok": True, "keys": self.table.get("keys", [])})

    def do_connect(self, id_, origin, request):
        path = request.get("path")
        if not isinstance(path, str):
            self.fail(id_, "bad-request", "no path")
        elif len(self.handles) >= MAX_HANDLES:
            self.fail(id_, "too-many-handles", "too many open handles")
        elif path not in self.table.get("keys", []):
            self.fail(id_, "unknown-reader", "no such key", SCARD_E_UNKNOWN_READER)
        else:
            handle = self.next_handle
            self.next_handle += 1
            self.handles[handle] = (origin, path)
            self.send({"id": id_, "ok": True, "handle": handle})

    def held(self, id_, origin, request):
        handle = request.get("handle")
        if isinstance(handle, int) and self.handles.get(handle, (None,))[0] == origin:
            return handle
        self.fail(id_, "unknown-handle", "no such handle")
        return None

    def do_transmit(self, id_, origin, request):
        if self.held(id_, origin, request) is None:
            return
        apdu = request.get("apdu")
        try:
            command = bytes.fromhex(apdu) if isinstance(apdu, str) and len(apdu) % 2 == 0 else b""
        except ValueError:
            command = b""
        if not 1 <= len(command) <= 4096:
            self.fail(id_, "bad-request", "bad apdu")
            return
        key = command.hex().upper()
        if key in self.table.get("stall", []):
            time.sleep(3600)
        if key in self.table.get("garble", []):
            self.send({"id": id_ + 1000, "ok": True, "answer": "9000"})
            return
        if key in self.table.get("errors", {}):
            self.fail(id_, self.table["errors"][key], "the key failed", SCARD_W_REMOVED_CARD)
            return
        answer = next((a for t, o, a in self.rules if matches(t, o, command)), command + b"\x90\x00")
        self.send({"id": id_, "ok": True, "answer": answer.hex().upper()})

    def do_disconnect(self, id_, origin, request):
        handle = self.held(id_, origin, request)
        if handle is not None:
            del self.handles[handle]
            self.send({"id": id_, "ok": True})

    def do_pin(self, id_, origin, request):
        self.fail(id_, "pin-unavailable", "no pinpad library here")


def read_exact(stream, count):
    data = b""
    while len(data) < count:
        chunk = stream.read(count - len(data))
        if not chunk:
            return data
        data += chunk
    return data


def main():
    with open(os.environ["TAMSU_STANDIN_TABLE"], encoding="utf-8") as f:
        table = json.load(f)
    callers = [a for a in sys.argv[1:] if not a.startswith("--")]
    host = Host(table, callers[0] if callers else "")
    host.log(event="start", args=sys.argv[1:])
    stdin = sys.stdin.buffer
    code = 0
    while True:
        header = read_exact(stdin, 4)
        if not header:
            break
        if len(header) < 4:
            code = 1
            break
        (length,) = struct.unpack("=I", header)
        if length > MAX_MESSAGE:
            host.fail(None, "message-too-large", "message too large")
            code = 1
            break
        if length == 0:
            host.fail(None, "bad-request", "empty message")
            continue
        data = read_exact(stdin, length)
        if len(data) < length:
            code = 1
            break
        host.serve(data)
    host.log(event="end", code=code)
    sys.exit(code)


if __name__ == "__main__":
    main()
