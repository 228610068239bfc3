#!/usr/bin/env python3
"""Compares the request the stand-in daemon received (its --json line) with
the ATProxySetAuditTrailEvent body the command must send, byte for byte.

    event_frame.py STUB_OUTPUT CODE USER PARENT_PID SESSION_ID TEXT...

SESSION_ID "-" stands for no session id. The received parameters are
encoded back into the wire bytes they were decoded from (host byte order:
type u16, then per parameter a wire type byte and its value, then the end
marker), and compared with the body composed here from the arguments.
Exits 0 when exactly one request of type 1200 arrived and it matches.
"""
import json
import struct
import sys

WIRE_END, WIRE_INT32, WIRE_UINT32, WIRE_STRING, WIRE_BLOB = 0, 2, 3, 4, 6
NULL_LENGTH = 0xFFFFFFFF
AUDIT_TRAIL_EVENT = 1200
AT_UTF8STRING = 8


def item(data):
    if data is None:
        return struct.pack("=I", NULL_LENGTH)
    return struct.pack("=I", len(data)) + data


def expected_body(code, user, parent, session, texts):
    body = struct.pack("=H", AUDIT_TRAIL_EVENT)
    body += bytes([WIRE_STRING]) + item(b"Norvalex Suite")
    body += bytes([WIRE_STRING]) + item(b"Norvalex Commands")
    body += bytes([WIRE_UINT32]) + struct.pack("=I", code & 0xFFFFFFFF)
    body += bytes([WIRE_BLOB]) + item(None)      # event time
    body += bytes([WIRE_STRING]) + item(None)    # auxText
    body += bytes([WIRE_STRING]) + item(user.encode())
    body += bytes([WIRE_BLOB]) + item(None)      # user SID
    body += bytes([WIRE_STRING]) + item(None if session is None else session.encode())
    body += bytes([WIRE_BLOB]) + item(struct.pack("=Q", parent))
    for text in texts:
        value = text.encode() + b"\0"
        body += bytes([WIRE_UINT32]) + struct.pack("=I", AT_UTF8STRING)
        body += bytes([WIRE_UINT32]) + struct.pack("=I", len(value))
        body += bytes([WIRE_BLOB]) + item(value)
    body += bytes([WIRE_UINT32]) + struct.pack("=I", 0)
    return body + bytes([WIRE_END])


def received_body(message):
    body = struct.pack("=H", message["type"])
    for parameter in message["parameters"]:
        kind, value = parameter["type"], parameter["value"]
        if kind in ("uint32", "int32"):
            wire = WIRE_UINT32 if kind == "uint32" else WIRE_INT32
            body += bytes([wire]) + struct.pack("=I", value & 0xFFFFFFFF)
        elif kind == "string":
            body += bytes([WIRE_STRING]) + item(None if value is None else value.encode())
        elif kind == "blob":
            body += bytes([WIRE_BLOB]) + item(None if value is None else bytes.fromhex(value))
        else:
            raise ValueError("unexpected parameter type %r" % kind)
    if message.get("parametersComplete") is False:
        raise ValueError("the stub could not read every parameter")
    return body + bytes([WIRE_END])


def main():
    output, code, user, parent, session = sys.argv[1:6]
    texts = sys.argv[6:]
    with open(output, encoding="utf-8") as stream:
        messages = [json.loads(line) for line in stream if line.strip()]
    events = [m for m in messages if m["type"] == AUDIT_TRAIL_EVENT]
    if len(events) != 1:
        print("expected one request of type 1200, the stub received: %r" % messages)
        return 1
    want = expected_body(int(code), user, int(parent), None if session == "-" else session, texts)
    got = received_body(events[0])
    if got != want:
        print("received: " + got.hex(" "))
        print("expected: " + want.hex(" "))
        return 1
    print("request of %d bytes received as expected" % len(got))
    return 0


if __name__ == "__main__":
    sys.exit(main())
