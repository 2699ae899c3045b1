"""The README's example runs as it stands and prints what its comments say."""
import contextlib
import io
import os
import re

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")


def test_the_readme_example_runs_and_prints_what_it_says():
    with open(README, encoding="utf-8") as f:
        text = f.read()
    blocks = re.findall(r"^```python\n(.*?)^```", text, re.M | re.S)
    assert blocks
    for block in blocks:
        promised = [line.split("# -> ")[1].strip()
                    for line in block.splitlines() if line.startswith("print(")]
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(block, README, "exec"), {"__name__": "readme"})
        assert out.getvalue().splitlines() == promised
