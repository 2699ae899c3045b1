"""The module leaves the C API to the interpreter that loads it.

It names no libpython and carries no run path, so it loads wherever its ABI
tag fits: under an interpreter that runs from a shared libpython and under one
that carries the runtime in its executable, without mapping a second copy.
These run against whichever build is imported: the development build, or an
installed wheel.
"""
import json
import os
import shutil
import subprocess
import sys

import pytest

from pemu_sdk.redis import pemu_data

# Imports the module from the folder given, sends a payload from one envelope
# to another, and prints the libpython files the process had mapped before
# (none: the interpreter carries the runtime in its executable) and after.
ROUND_TRIP = r"""
import json, sys
def libpython():
    with open("/proc/self/maps") as maps:
        return sorted({line.split()[-1] for line in maps if "/libpython" in line})
before = libpython()
sys.path.insert(0, sys.argv[1])
from pemu_sdk.redis.pemu_data import PemuData
node = {"id": "n", "type": "t", "name": "N"}
sent = PemuData(0, node).create_pemu_data(result=[{"label": "car"}])
received = PemuData(0, node, node, 0).parse_pemu_data(json.dumps(sent).encode())
assert received["result"] == [{"label": "car"}], received
print(json.dumps({"before": before, "after": libpython()}))
"""

SITE = os.path.dirname(os.path.dirname(os.path.dirname(pemu_data.__file__)))


def dynamic_section():
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("needs readelf (binutils)")
    return subprocess.run([readelf, "-d", pemu_data.__file__], check=True,
                          capture_output=True, universal_newlines=True).stdout


def test_no_libpython_and_no_run_path():
    section = dynamic_section()
    needed = [line for line in section.splitlines() if "(NEEDED)" in line]
    assert needed, section
    assert not [line for line in needed if "libpython" in line]
    assert "(RUNPATH)" not in section and "(RPATH)" not in section


def test_c_api_left_undefined_for_the_interpreter():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm (binutils)")
    symbols = subprocess.run([nm, "-D", pemu_data.__file__], check=True,
                             capture_output=True, universal_newlines=True).stdout.split("\n")
    undefined = {line.split()[-1] for line in symbols if line.strip().startswith("U ")}
    defined = {line.split()[-1] for line in symbols if line[:1].isalnum()}
    assert {"PyDict_GetItemWithError", "PyBool_Type"} <= undefined
    assert "PyInit_pemu_data" in defined
    assert not [name for name in defined if name.startswith(("Py", "_Py"))
                and name != "PyInit_pemu_data"]


def interpreters():
    """This interpreter, and any other of its version at the system's usual
    places (Debian's /usr/bin/python3.X carries the runtime in its
    executable; pyenv's here run from a shared libpython).  sysconfig cannot
    tell the two apart: Debian's says Py_ENABLE_SHARED as it also builds the
    library."""
    version = "python%d.%d" % sys.version_info[:2]
    found = [sys.executable]
    for folder in ("/usr/bin", "/usr/local/bin"):
        path = os.path.join(folder, version)
        if os.path.exists(path) and os.path.realpath(path) != os.path.realpath(sys.executable):
            found.append(path)
    return found


def round_trip(python):
    out = subprocess.run([python, "-c", ROUND_TRIP, SITE], check=True, capture_output=True,
                         universal_newlines=True, timeout=120).stdout
    return json.loads(out.splitlines()[-1])


@pytest.mark.parametrize("python", interpreters())
def test_loads_without_a_second_runtime(python):
    seen = round_trip(python)
    assert seen["after"] == seen["before"], seen
