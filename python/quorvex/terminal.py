"""What the command line prints: colour on a terminal, and every untrusted text (file names,
messages quoting table tokens) with its control characters escaped, so a crafted name can
neither move the cursor nor hide what follows it."""

from __future__ import annotations

import os
import re

# C0 and C1 controls, DEL, lone surrogates (undecodable file-name bytes) and the
# bidirectional-text controls that reorder what a terminal shows.
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u200e\u200f\u202a-\u202e\u2066-\u2069"
                     "\ud800-\udfff]")
_SHORT = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
# The same set less JSON's own white space, which a serializer never leaves raw inside a string.
_UNSAFE_IN_JSON = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f\u2028\u2029\u200e\u200f"
                             "\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def _escape(match: re.Match[str]) -> str:
    char = match.group()
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:  # an undecodable byte, as os.fsdecode carries it
        return f"\\x{code - 0xDC00:02x}"
    if code < 0x100:
        return _SHORT.get(char, f"\\x{code:02x}")
    return f"\\u{code:04x}"


def safe(text: object) -> str:
    """``text`` with every control character shown as a backslash escape."""
    return _UNSAFE.sub(_escape, str(text))


def safe_json(text: str) -> str:
    """A JSON document with the characters ``safe`` escapes written as JSON escapes: the same
    document to any JSON reader, harmless on a terminal."""
    return _UNSAFE_IN_JSON.sub(lambda m: f"\\u{ord(m.group()):04x}", text)


class Style:
    """ANSI colour on a terminal, never with NO_COLOR or when piped."""

    def __init__(self, stream) -> None:
        self.enabled = stream.isatty() and "NO_COLOR" not in os.environ

    def __call__(self, text: str, code: str) -> str:
        return f"\033[{code}m{text}\033[0m" if self.enabled else text

    def status(self, status: str) -> str:
        colour = {"PASS": "32;1", "WARN": "33;1", "FLAG": "31;1", "ERROR": "31;1"}
        return self(safe(status), colour.get(status, "1"))
