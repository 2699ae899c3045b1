"""The streams of a port: the fields of an entry and the keys beside a port."""

from typing import Dict, Tuple

# An entry taken from a port: (entry id, its fields, whether it was
# reclaimed from another consumer or from this one's own history).
Entry = Tuple[str, Dict[bytes, bytes], bool]

FIELD = b"p"  # the field of an entry that holds the payload
FRAME = b"f"  # the field with the frame id, readable without the payload
# Steps trim a port (below what every group has acknowledged) once every
# this many steps of one publisher or consumer: a port holds at most about
# as many acknowledged entries more, and the steps in between only read its
# length.
TRIM_EVERY = 8


def end_key(stream: str) -> str:
    """The key a publisher sets to the number of frames it published."""
    return stream + ":end"


def dead_key(stream: str) -> str:
    """The port's dead letters: the entries set aside."""
    return stream + ":dead"


def drop_key(stream: str) -> str:
    """The port's drop log: the entries dropped for freshness."""
    return stream + ":drop"

