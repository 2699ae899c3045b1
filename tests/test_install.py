"""Installing the module's distribution into an environment that holds the
SDK: it adds its own files and changes none of the SDK's, the extension is
what the import gives, it encodes through the SDK's codec, and uninstalling
takes away exactly what was added.

Cost: about 5 s on 3.7 (2.7 s of it building the wheel, which reuses the
build directory tools/env.sh keeps, so CMake only re-checks it; the rest is
pip installing and uninstalling).  A first run on a fresh clone compiles the
module, as tools/env.sh would.  Marked `install`: `-m "not install"` leaves
it out of a quick run; CI runs it.
"""
import hashlib
import json
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytestmark = [
    pytest.mark.install,
    # Under the sanitizers the build tools would run with ASan preloaded;
    # what is installed does not depend on how the module was compiled.
    pytest.mark.skipif(bool(os.environ.get("PEMU_SANITIZED")),
                       reason="packaging is checked in the plain run"),
]

# A stand-in for the SDK, every file with content of its own: a typed
# package, a client beside the module, its own codec (which marks what it
# makes) and a plain-Python pemu_data.py.
SDK = {
    "pemu_sdk/__init__.py": '"""The SDK."""\nfrom .client import Client\n__version__ = "9.9"\n',
    "pemu_sdk/client.py": "class Client:\n    pass\n",
    "pemu_sdk/py.typed": "",
    "pemu_sdk/redis/__init__.py": '"""The SDK\'s Redis side."""\nCHANNEL = "frames"\n',
    "pemu_sdk/redis/pemu_data.py": 'IMPLEMENTATION = "python"\n',
    "pemu_sdk/redis/utils.py": textwrap.dedent('''\
        class Encoder:
            JPG = "sdk-jpg"
            PNG = "sdk-png"

        def img_to_str(image, encoder=Encoder.JPG, with_base64=False):
            return "sdk-text:%s:%s:%s" % (image, encoder, with_base64)

        def str_to_img(img_as_str, encoder=None, with_base64=False):
            return "sdk-image:%s:%s:%s" % (img_as_str, encoder, with_base64)

        def img_to_base64str(image):
            return "sdk-b64:%s" % (image,)

        def base64_to_img(b64_bytes):
            return "sdk-image-b64:%s" % (b64_bytes,)
        '''),
    # The SDK's own distribution record, under the name this repository's
    # distribution once had: a clash of names would make pip remove the SDK.
    "pemu_sdk-9.9.dist-info/METADATA": "Metadata-Version: 2.1\nName: pemu-sdk\nVersion: 9.9\n",
    "pemu_sdk-9.9.dist-info/INSTALLER": "test\n",
}
SDK["pemu_sdk-9.9.dist-info/RECORD"] = "".join("%s,,\n" % path for path in SDK) + (
    "pemu_sdk-9.9.dist-info/RECORD,,\n")

USE = """
import json
import pemu_sdk, pemu_sdk.redis.pemu_data as module
if hasattr(module, "IMPLEMENTATION"):
    print(json.dumps([module.__file__]))
else:
    envelope = module.PemuData(0, {"id": "node-1"})
    payload = envelope.create_pemu_data(frame="F")
    print(json.dumps([module.__file__, pemu_sdk.__version__, payload["frame"],
                      payload["meta"]["frame_format"], envelope.create_pemu_data(0, frame="F"),
                      envelope.parse_pemu_data(b'{"frame": "T"}')["frame"],
                      envelope.parse_pemu_data("B", 0)]))
"""


def snapshot(site):
    """{path: sha256} of every file, and every folder as {path/: None}."""
    found = {}
    for folder, dirs, files in os.walk(site):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in dirs:
            found[os.path.relpath(os.path.join(folder, name), site) + "/"] = None
        for name in files:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, site)] = hashlib.sha256(f.read()).hexdigest()
    return found


def pip(python, *args, cwd=REPO):
    # The test environment's pip acting on the other interpreter (--python),
    # so the fresh environment needs none of its own.
    subprocess.run([sys.executable, "-m", "pip", "--python", python, "-q",
                    "--disable-pip-version-check"] + list(args),
                   cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def use(python, cwd):
    out = subprocess.run([python, "-c", USE], cwd=cwd, check=True, capture_output=True,
                         text=True, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1")).stdout
    return json.loads(out)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The module's wheel, built with the options of tools/env.sh so that
    its build directory (build/<wheel tag>) is reused."""
    out = tmp_path_factory.mktemp("wheel")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-build-isolation",
                    "--no-deps", "--disable-pip-version-check",
                    "-C", "cmake.define.PEMU_WERROR=ON", "-w", str(out), REPO],
                   check=True, stdout=subprocess.DEVNULL)
    (built,) = out.iterdir()
    return str(built)


def test_installs_beside_the_sdk_and_leaves_it_alone(tmp_path, wheel):
    base = getattr(sys, "_base_executable", None) or sys.executable
    subprocess.run([base, "-m", "venv", "--without-pip", str(tmp_path / "venv")], check=True)
    python = str(tmp_path / "venv" / "bin" / "python")
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          check=True, capture_output=True, text=True).stdout.strip()
    for path, text in SDK.items():
        os.makedirs(os.path.dirname(os.path.join(site, path)), exist_ok=True)
        with open(os.path.join(site, path), "w") as f:
            f.write(text)
    before = snapshot(site)
    assert use(python, str(tmp_path)) == [os.path.join(site, "pemu_sdk/redis/pemu_data.py")]

    pip(python, "install", "--no-deps", "--no-index", wheel)
    after = snapshot(site)
    assert {path: after.get(path) for path in before} == before  # byte for byte
    added = sorted(path for path in set(after) - set(before)
                   if not path.startswith("pemu_data-0.1.0.dist-info/"))
    extension = "pemu_sdk/redis/pemu_data" + sysconfig.get_config_var("EXT_SUFFIX")
    assert added == sorted([extension, "pemu_sdk-stubs/", "pemu_sdk-stubs/py.typed",
                            "pemu_sdk-stubs/redis/", "pemu_sdk-stubs/redis/pemu_data.pyi"])
    # The extension comes before the pemu_data.py beside it, and codes
    # frames through the SDK's codec, its Encoder.JPG the default.
    assert use(python, str(tmp_path)) == [
        os.path.join(site, extension), "9.9", "sdk-text:F:sdk-jpg:False",
        {"encoder": "sdk-jpg", "with_base64": False}, "sdk-b64:F",
        "sdk-image:T:None:False", "sdk-image-b64:B"]

    pip(python, "uninstall", "-y", "pemu-data")
    assert snapshot(site) == before
    assert use(python, str(tmp_path)) == [os.path.join(site, "pemu_sdk/redis/pemu_data.py")]
