"""The example of docs/ports.md, a module on the pemu_ports package, run as
a user would run it against a redis-server."""
import os
import re
import subprocess
import sys

import redis

from test_pipeline import server  # noqa: F401  (the fixture)

DOC = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs",
                   "ports.md")


def test_the_documented_module_runs_and_leaves_nothing(server, tmp_path):  # noqa: F811
    with open(DOC, encoding="utf-8") as f:
        blocks = re.findall(r"^```python\n(.*?)^```", f.read(), re.M | re.S)
    assert len(blocks) == 1
    script = tmp_path / "shout.py"
    script.write_text(blocks[0])
    # run away from the sources: the package comes from the environment
    done = subprocess.run([sys.executable, str(script), server.url], cwd=str(tmp_path),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[b'ONE', b'TWO', b'THREE']\n"
    assert redis.Redis.from_url(server.url).keys("*ports-example*") == []
