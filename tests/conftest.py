import pytest

from pemu_sdk.redis import pemu_data

# The node description used throughout: the current and the upstream node.
NODE = {"id": "node-1", "type": "object-detection", "name": "OD Node"}


@pytest.fixture
def mod():
    return pemu_data


@pytest.fixture
def envelope():
    """An envelope for input 0 fed by output port 0 of NODE."""
    return pemu_data.PemuData(0, NODE, NODE, 0)


class Recorder:
    """Records calls made to the fakes it hands out, in order."""

    def __init__(self):
        self.calls = []

    def fake(self, name, returns=None, raises=None):
        def fake(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if raises is not None:
                raise raises
            return returns(*args, **kwargs) if callable(returns) else returns
        return fake


@pytest.fixture
def calls(monkeypatch):
    """Binds recording fakes in place of the module's codec functions.

    Each fake returns a marker naming itself and its input, so tests can see
    which value went where.
    """
    rec = Recorder()
    monkeypatch.setattr(pemu_data, "img_to_str", rec.fake(
        "img_to_str", lambda image, encoder, with_base64: "text(%s)" % (image,)))
    monkeypatch.setattr(pemu_data, "str_to_img", rec.fake(
        "str_to_img", lambda img_as_str, encoder, with_base64: "image(%s)" % (img_as_str,)))
    monkeypatch.setattr(pemu_data, "img_to_base64str", rec.fake(
        "img_to_base64str", lambda image: "b64(%s)" % (image,)))
    monkeypatch.setattr(pemu_data, "base64_to_img", rec.fake(
        "base64_to_img", lambda b64_bytes: "image(%s)" % (b64_bytes,)))
    return rec
