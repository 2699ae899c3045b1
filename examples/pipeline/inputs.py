"""What the command line accepts, read in full: numbers in ASCII digits (int()
and float() also read other scripts' digits, spaces and '_'), run names,
frame sizes, metrics ports and paths taken from the user's folder."""

import argparse
import os
import re

NAME = re.compile(r"[A-Za-z0-9._-]{1,64}")
_INT = re.compile(r"[+-]?[0-9]{1,18}")
_FLOAT = re.compile(r"[+-]?(?:[0-9]{1,18}(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]{1,3})?")
_SIZE = re.compile(r"([0-9]{1,5})[xX]([0-9]{1,5})")

# tools/demo.sh runs the demo from examples/: it passes the folder it was
# called from here, so that relative paths are the user's.
FOLDER_VARIABLE = "PEMU_DEMO_FOLDER"


def ascii_int(text):
    """An argparse type: a whole number written in ASCII digits."""
    if not _INT.fullmatch(text):
        raise argparse.ArgumentTypeError("not a whole number: %r" % text)
    return int(text)


def ascii_float(text):
    """An argparse type: a finite number written in ASCII digits."""
    if not _FLOAT.fullmatch(text):
        raise argparse.ArgumentTypeError("not a number: %r" % text)
    return float(text)


def run_name(text):
    """True for a name a run can have: 1 to 64 letters, digits, '.', '_', '-'
    (the whole of it: no line break after it)."""
    return NAME.fullmatch(text) is not None


def frame_size(text):
    """(width, height) from 'WxH'; ValueError otherwise."""
    match = _SIZE.fullmatch(text)
    if match is None:
        raise ValueError(text)
    return int(match.group(1)), int(match.group(2))


def parse_listen(text):
    """(host, port) from 'PORT' or 'HOST:PORT' ('[v6 address]:PORT'), the
    port from 1 to 65535; ValueError otherwise."""
    match = re.fullmatch(r"(?:(\[[0-9A-Fa-f:.]+\]|[A-Za-z0-9._-]+):)?([0-9]{1,5})", text)
    if match is None:
        raise ValueError("not PORT or HOST:PORT")
    host, port = match.group(1), int(match.group(2))
    if not 1 <= port <= 65535:
        raise ValueError("port out of range")
    return (host or "127.0.0.1").strip("[]"), port


def user_folder(environ=None):
    """The folder the command was run in: the one tools/demo.sh names, or
    the current one."""
    environ = os.environ if environ is None else environ
    folder = environ.get(FOLDER_VARIABLE)
    return folder if folder and os.path.isabs(folder) else os.getcwd()


def from_folder(path: str, folder: str) -> str:
    """``path`` as given on the command line, taken from ``folder`` when
    relative."""
    if os.path.isabs(path):
        return path
    return os.path.join(folder, os.path.expanduser(path))
