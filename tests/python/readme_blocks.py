"""The README's code blocks, as the README test runs them.

`python` blocks are Python and `sh` blocks shell commands; a block right after the line
`<!-- readme-test: skip ... -->` is not run (it sets up a machine). Blocks run in order, in
one namespace, in a scratch folder holding the sample at examples/data/survey.sav.
"""

import json
import re
import shutil
import sys

from conftest import ROOT
from pkg_helpers import SAMPLE, run

FENCE = re.compile(r"(?P<marker><!-- readme-test: skip[^>]*-->\n)?```(?P<lang>\w+)\n(?P<code>.*?)```", re.S)
SPSS_NAME = re.compile(r"[\w./-]+\.z?sav\b")

DRIVER = """
import json, subprocess, sys
for index, (lang, code) in enumerate(json.load(open(sys.argv[1]))):
    print(f"--- README block {index} ({lang})", flush=True)
    if lang == "python":
        exec(compile(code, f"README block {index}", "exec"), globals())
    else:
        subprocess.run(["bash", "-euo", "pipefail", "-c", code], check=True)
    sys.stdout.flush()
"""


def _writes_spss(code):
    return "write_sav(" in code or re.search(r"korvel convert \S+ \S+\.z?sav\b", code) is not None


def blocks():
    """[(lang, code, needs_writer)] of the README's runnable blocks, in order. A block needs
    the native writer when it writes an SPSS file or uses one that an earlier block wrote."""
    text = (ROOT / "README.md").read_text()
    written = set()
    found = []
    for match in FENCE.finditer(text):
        lang, code = match["lang"], match["code"]
        assert lang in ("python", "sh"), f"README block of unknown kind {lang!r}: say python or sh"
        if match["marker"]:
            continue
        names = set(SPSS_NAME.findall(code)) - {"examples/data/survey.sav"}
        writes = _writes_spss(code)
        found.append((lang, code, writes or bool(names & written)))
        if writes:
            written |= names
    return found


def run_blocks(selected, tmp_path):
    (tmp_path / "examples" / "data").mkdir(parents=True)
    shutil.copy(SAMPLE, tmp_path / "examples" / "data" / "survey.sav")
    (tmp_path / "blocks.json").write_text(json.dumps([[lang, code] for lang, code, _ in selected]))
    (tmp_path / "driver.py").write_text(DRIVER)
    return run([sys.executable, "driver.py", "blocks.json"], cwd=tmp_path, timeout=600)
