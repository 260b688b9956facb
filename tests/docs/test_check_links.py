"""The link check on a small tree of its own: a broken link or path is reported with its
document and line and fails the run; what is no repository path is left alone."""
# SPDX-License-Identifier: BSD-2-Clause-Patent
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

CHECK = Path(__file__).resolve().parent / "check_links.py"

# (document, its text, the findings expected)
ROWS = [
    ("README.md", "[ok](src/run.py#usage) ![i](docs/a.png) `src/run.py:12` `./run.sh`.", []),
    ("docs/guide.md", "x\n[up](../src/run.py) [mail](mailto:a@b) [web](https://x.org/none)", []),
    ("README.md", "one\n[gone](src/gone.py)", ["README.md:2: broken link (src/gone.py)"]),
    ("docs/guide.md", "![gone](docs/a.png)", ["docs/guide.md:1: broken link (docs/a.png)"]),
    ("README.md", "`src/gone.py --check` then", ["README.md:1: no such path `src/gone.py`"]),
    ("README.md", "`build/images/x.efi` `src/<driver>.py` `/usr/bin/x` `Pkg/Tools/x`", []),
    ("README.md", "```\n`src/gone.py`\n```", []),
]


class CheckLinksTest(unittest.TestCase):
    def test_rows(self):
        for document, text, expected in ROWS:
            with self.subTest(document=document, text=text), tempfile.TemporaryDirectory() as tmp:
                root = Path(tmp)
                for name in ("src/run.py", "docs/a.png", "run.sh", "build/images/y.efi"):
                    (root / name).parent.mkdir(parents=True, exist_ok=True)
                    (root / name).write_text("x")
                (root / document).write_text(text)
                result = subprocess.run([sys.executable, CHECK, root], capture_output=True,
                                        text=True, check=False)
                self.assertEqual(result.stdout.splitlines()[:-1], expected)
                self.assertEqual(result.returncode, 1 if expected else 0)


if __name__ == "__main__":
    unittest.main()
