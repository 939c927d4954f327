#!/usr/bin/python3
"""A scripted WebSocket client for the host's conformance tests, built on wsproto.

Usage: websocket_peer.py PORT < STEPS_JSON

Connects to 127.0.0.1:PORT, upgrades with wsproto's handshake (which checks the host's accept key),
then runs the steps in order. wsproto frames what it can send; "raw" steps carry bytes the test
built itself, for frames the library refuses to produce. Every byte the host sends goes through
wsproto's own parser; a frame it rejects is reported as "error". After the steps it reads until
the host ends the stream, answering a close from the host with the same code.

Steps (objects with "op"):
  text {data, fin}      binary {hex, fin}      ping {hex}      pong {hex}
  raw {hex}             close {code, reason}   awaitClose      awaitMessages {count}
A step with "withRequest": true is sent in the same write as the upgrade request.

Prints one JSON object: {"events": [...], "error": str|null, "end": "eof"|"reset"|"timeout"|...}.
Events: {"type": "text", "data"}, {"type": "binary", "hex"}, {"type": "pong", "hex"},
{"type": "ping", "hex"}, {"type": "close", "code", "reason"}.
"""

import json
import socket
import sys

from wsproto.connection import ConnectionType
from wsproto.events import AcceptConnection, RejectConnection, Request
from wsproto.frame_protocol import CloseReason, FrameProtocol, Opcode, ParseFailed
from wsproto.handshake import H11Handshake

WAIT_SECONDS = 10


class Stop(Exception):
    pass


class Peer:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT_SECONDS)
        # Frames a step sent together with the upgrade request; replaced once the upgrade is done.
        self.proto = FrameProtocol(client=True, extensions=[])
        self.events = []
        self.error = None
        self.end = None
        self.sent_close = False
        self.got_close = False
        self.partial = None  # (opcode, pieces) of a message arriving in fragments

    def handshake(self, first_bytes):
        hs = H11Handshake(ConnectionType.CLIENT)
        self.sock.sendall(hs.send(Request(host="127.0.0.1", target="/v2/control")) + first_bytes)
        while True:
            data = self.sock.recv(65536)
            if not data:
                raise Stop("closed during the handshake")
            hs.receive_data(data)
            for event in hs.events():
                if isinstance(event, RejectConnection):
                    raise Stop("upgrade rejected")
                if isinstance(event, AcceptConnection):
                    # The frame layer of the accepted connection, which already holds any bytes
                    # that came after the 101 reply; frames are sent and read through it directly,
                    # so that fragments can be sent and parse failures told apart from closes.
                    self.proto = hs.connection._proto
                    self.receive(b"")
                    return

    def send(self, data):
        try:
            self.sock.sendall(data)
        except OSError:
            pass  # the host has gone; what it saw is in the events

    def receive(self, data):
        self.proto.receive_bytes(data)
        try:
            for frame in self.proto.received_frames():
                self.record(frame)
        except ParseFailed as exc:
            self.error = "%s (%d)" % (exc, exc.code)
            raise Stop(self.error)

    def record(self, frame):
        if frame.opcode in (Opcode.TEXT, Opcode.BINARY, Opcode.CONTINUATION):
            opcode = frame.opcode if self.partial is None else self.partial[0]
            pieces = ([] if self.partial is None else self.partial[1]) + [frame.payload]
            self.partial = (opcode, pieces)
            if frame.message_finished:
                self.partial = None
                if opcode == Opcode.TEXT:
                    self.events.append({"type": "text", "data": "".join(pieces)})
                else:
                    self.events.append({"type": "binary", "hex": b"".join(pieces).hex()})
        elif frame.opcode == Opcode.PONG:
            self.events.append({"type": "pong", "hex": bytes(frame.payload).hex()})
        elif frame.opcode == Opcode.PING:
            self.events.append({"type": "ping", "hex": bytes(frame.payload).hex()})
            self.send(self.proto.pong(frame.payload))
        elif frame.opcode == Opcode.CLOSE:
            code, reason = frame.payload
            self.events.append({"type": "close", "code": int(code), "reason": reason})
            self.got_close = True
            if not self.sent_close:
                self.sent_close = True
                self.send(self.proto.close(None if code == CloseReason.NO_STATUS_RCVD else code))

    def pump(self, done):
        while not done():
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                self.end = "timeout"
                raise Stop("timeout")
            except ConnectionResetError:
                self.end = "reset"
                raise Stop("reset")
            if not data:
                self.end = "eof"
                raise Stop("eof")
            self.receive(data)

    def messages(self):
        return sum(1 for e in self.events if e["type"] in ("text", "binary", "pong"))

    def frame(self, step):
        op = step["op"]
        if op == "text":
            return self.proto.send_data(step["data"], step.get("fin", True))
        if op == "binary":
            return self.proto.send_data(bytes.fromhex(step["hex"]), step.get("fin", True))
        if op == "ping":
            return self.proto.ping(bytes.fromhex(step["hex"]))
        if op == "pong":
            return self.proto.pong(bytes.fromhex(step["hex"]))
        if op == "raw":
            return bytes.fromhex(step["hex"])
        if op == "close":
            self.sent_close = True
            return self.proto.close(step.get("code"), step.get("reason"))
        return None

    def run(self, steps):
        first = b""
        if steps and steps[0].get("withRequest"):
            first = self.frame(steps.pop(0))
        self.handshake(first)
        for step in steps:
            if step["op"] == "awaitClose":
                self.pump(lambda: self.got_close)
            elif step["op"] == "awaitMessages":
                self.pump(lambda: self.messages() >= step["count"])
            else:
                self.send(self.frame(step))
        self.pump(lambda: False)


def main():
    steps = json.load(sys.stdin)
    peer = Peer(int(sys.argv[1]))
    try:
        peer.run(steps)
    except Stop:
        pass
    except Exception as exc:  # reported, so the test shows what went wrong
        peer.error = peer.error or "peer failed: %r" % exc
    print(json.dumps({"events": peer.events, "error": peer.error, "end": peer.end}))


if __name__ == "__main__":
    main()
