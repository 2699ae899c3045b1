"""What the ports raise."""


class Stalled(Exception):
    """The readers of a port took nothing for too long."""


class Gone(Exception):
    """The keys of the run are gone (flushed, expired or removed)."""


class Busy(Exception):
    """Another consumer holds what only one may hold."""


def is_gone(exc: BaseException) -> bool:
    """Whether a server's error says that a key of the run is gone."""
    text = str(exc)
    return text.startswith("GONE") or "NOGROUP" in text or "no longer exists" in text
