"""The shipped type stubs check the examples and a file using every entry point, strictly."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    stubs = ROOT / "stubs" / "velko-stubs"
    if not stubs.is_dir():
        pytest.skip("needs a source checkout")
    # The checkout's stubs, as checkers see them once installed as velko-stubs.
    (tmp_path / "velko").symlink_to(stubs, target_is_directory=True)
    # velko_tools is typed inline (py.typed), its native half by a stub beside it.
    (tmp_path / "velko_tools").symlink_to(ROOT / "python" / "velko_tools", target_is_directory=True)
    targets = [str(ROOT / "tests" / "typing_usage.py"), str(tmp_path / "velko_tools")]
    targets += sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    # Optional extras used by the examples may be absent: only velko's own types are checked.
    config = tmp_path / "mypy.ini"
    config.write_text(
        "[mypy]\n"
        "[mypy-dask.*]\nignore_missing_imports = True\nfollow_imports = skip\n"
        "[mypy-distributed.*]\nignore_missing_imports = True\nfollow_imports = skip\n"
        "[mypy-matplotlib.*]\nignore_missing_imports = True\nfollow_imports = skip\n"
        "[mypy-pandas.*]\nignore_missing_imports = True\nfollow_imports = skip\n"
        "[mypy-pyarrow.*]\nignore_missing_imports = True\nfollow_imports = skip\n"
        "[mypy-pyhmmer.*]\nignore_missing_imports = True\nfollow_imports = skip\n"
        "[mypy-pyrodigal.*]\nignore_missing_imports = True\nfollow_imports = skip\n"
        "[mypy-scipy.*]\nignore_missing_imports = True\nfollow_imports = skip\n"
        "[mypy-tqdm.*]\nignore_missing_imports = True\nfollow_imports = skip\n"
    )
    # The examples take their real data through tools/debian_examples.py, as the benchmarks do.
    env = dict(os.environ, MYPYPATH=os.pathsep.join([str(tmp_path), str(ROOT / "tools")]))
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--cache-dir",
            os.devnull,
            "--follow-imports=silent",
            "--config-file",
            str(config),
            *targets,
        ],
        capture_output=True,
        text=True,
        env=env,
        cwd=tmp_path,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
