"""Native-messaging frames as the browser writes and reads them: a 4-byte
little-endian length, then the JSON body. The one frame codec of the Python
snippets in scripts/; run as a program, it writes each argument as one frame
to standard output."""
import json
import struct
import sys


def frame(body):
    """One frame around a body given as bytes, text or a JSON value."""
    if isinstance(body, str):
        body = body.encode()
    elif not isinstance(body, bytes):
        body = json.dumps(body).encode()
    return struct.pack("<I", len(body)) + body


def bodies(data):
    """The bodies of the frames in data, in order."""
    out = []
    while data:
        (length,) = struct.unpack_from("<I", data)
        out.append(data[4:4 + length])
        data = data[4 + length:]
    return out


def replies(data):
    return [json.loads(body) for body in bodies(data)]


if __name__ == "__main__":
    sys.stdout.buffer.write(b"".join(frame(text) for text in sys.argv[1:]))
