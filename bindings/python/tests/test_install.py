"""`pip install bindings/python` in a fresh virtual environment, offline,
then the example of docs/python.md with the installed package."""
import shutil
import subprocess
import sys

import rig


def test_pip_install_then_the_docs_example(tmp_path):
    # A copy: pip builds in the source folder and would leave build/ there.
    source = shutil.copytree(rig.REPO / "bindings/python", tmp_path / "src",
                             ignore=shutil.ignore_patterns("tests", "__pycache__"))
    venv = tmp_path / "venv"
    # System site packages for Debian's setuptools and wheel: no network needed.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin/python")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-build-isolation", str(source)],
                   check=True, capture_output=True)
    where = subprocess.run([python, "-c", "import kestrane; print(kestrane.__file__)"], check=True,
                           capture_output=True, text=True, cwd=tmp_path).stdout
    assert where.startswith(str(venv))
    example = tmp_path / "example.py"
    example.write_text(rig.doc_example("python.md", "python"))
    rig.run_example([python, str(example)], tmp_path / "bench")
