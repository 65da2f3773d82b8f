"""Each test runs in a session directory of its own (MMFCAST_SESSION_DIR, which the processes
it starts inherit). The library is the one MMFCAST_LIBRARY names (the build's, under ctest),
and mmfcast-cli the one MMFCAST_CLI names; tests that need the CLI are skipped without it."""
import os
import sys
from pathlib import Path
from typing import Iterator

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import mmfcast  # noqa: E402  (the package of this tree)


@pytest.fixture(autouse=True)
def session(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Path]:
    directory = tmp_path / "session"
    monkeypatch.setenv("MMFCAST_SESSION_DIR", str(directory))
    # The processes a test starts import the same package.
    package_root = str(Path(mmfcast.__file__).resolve().parents[1])
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        [package_root] + [p for p in [os.environ.get("PYTHONPATH")] if p]))
    yield directory


@pytest.fixture
def cli() -> str:
    path = os.environ.get("MMFCAST_CLI")
    if not path:
        pytest.skip("MMFCAST_CLI does not name mmfcast-cli")
    return path
