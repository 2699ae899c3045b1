"""The server's answers as the ports use them."""

from typing import Any, Awaitable, Dict, Sequence, Union


def result(value: Union[Awaitable[Any], Any]) -> Any:
    """The answer of a command of a synchronous client (redis-py types each
    command's answer as that of a synchronous or an asynchronous client)."""
    if isinstance(value, Awaitable):
        raise TypeError("the ports need a synchronous client (redis.Redis), not an asyncio one")
    return value


def text(value: Union[str, bytes]) -> str:
    return value.decode() if isinstance(value, bytes) else value


def fields(flat: Sequence[bytes]) -> Dict[bytes, bytes]:
    """An entry's fields from the flat list a script returns."""
    return {flat[i]: flat[i + 1] for i in range(0, len(flat), 2)}
