"""What comes from outside, read within bounds: files named on the command
line only when they are regular files and only up to a size, so that a
FIFO, a device or a folder under a file's name neither hangs the tools nor
fills memory; and a server's reply up to a size and a deadline."""
from __future__ import annotations

import os
import stat
import time
from typing import Protocol

# The system's whole bundle of roots is some 220 KiB (Debian 12: 219,597 bytes).
MAX_CERTIFICATE_FILE = 1024 * 1024
# A signed release is some 22 KiB (21,616 bytes for example.com); nothing near this is one.
MAX_DOWNLOAD = 16 * 1024 * 1024
# A BUILDINFO is some 3 KiB (3,315 bytes).
MAX_BUILDINFO = 64 * 1024


class InputError(Exception):
    """A file or reply that cannot be taken; the text says why, without its name."""


class Reply(Protocol):
    def read1(self, size: int) -> bytes: ...


def read_within(reply: Reply, limit: int, seconds: float) -> bytes:
    """At most `limit` bytes of a reply, all of it within `seconds` (and the
    timeout of one read, which the connection sets): one that drips in a byte
    at a time is cut off like one that does not end."""
    deadline = time.monotonic() + seconds
    chunks: list[bytes] = []
    size = 0
    while True:
        if time.monotonic() > deadline:
            raise InputError(f"did not end within {seconds:.0f} s")
        chunk = reply.read1(min(1 << 16, limit + 1 - size))
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)
        size += len(chunk)
        if size > limit:
            raise InputError(f"is longer than {limit} bytes")


def read_regular(path: str, limit: int, cut: bool = False) -> bytes:
    """The bytes of the regular file `path`, at most `limit` of them; with
    `cut`, the first `limit` bytes of a longer one."""
    try:
        # O_NONBLOCK: opening a FIFO does not wait for a writer.
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as error:
        raise InputError(f"cannot be opened ({error.strerror})") from None
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise InputError("is not a regular file")
        if status.st_size > limit and not cut:
            raise InputError(f"holds {status.st_size} bytes, more than the {limit} such a file has")
        chunks, size = [], 0
        while size <= limit:
            chunk = os.read(descriptor, limit + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
        if size > limit and not cut:
            raise InputError(f"holds more than the {limit} bytes such a file has")
        return b"".join(chunks)[:limit]
    except OSError as error:
        raise InputError(f"cannot be read ({error.strerror})") from None
    finally:
        os.close(descriptor)
