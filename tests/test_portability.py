"""The native sources build for Windows, the platform of most vn.py users: every source
under src/ passes a Windows cross compiler (the simdjson configuration of the Windows
wheel), and no header the Windows toolchain lacks is included outside a branch that
Windows never takes.

CPython's Windows headers are not at hand: the host's own <Python.h> is read with
tests/windows/pyconfig.h, which describes a 64-bit Windows build of CPython 3.13.
"""

import re
import shutil
import subprocess
import sysconfig
from collections.abc import Callable
from pathlib import Path

import pytest

from helpers import REPO

SRC = REPO / "src"
WINDOWS_PYCONFIG = Path(__file__).resolve().parent / "windows" / "pyconfig.h"
# The POSIX thread model's variant: its libstdc++ has std::mutex, as MSVC's has (simdjson
# uses it); the win32 variant of this GCC lacks it.
CROSS_COMPILERS = ("x86_64-w64-mingw32-g++-posix", "x86_64-w64-mingw32-g++")
SIMDJSON_HEADER = Path("/usr/include/simdjson.h")
# The options of the CMake build (CMakeLists.txt), warnings as errors.
BUILD_OPTIONS = ["-std=c++20", "-Wall", "-Wextra", "-Wpedantic", "-Werror", "-fno-exceptions", "-fno-rtti"]


def _sources() -> list[Path]:
    return sorted(path for pattern in ("*.cpp", "*.h") for path in SRC.rglob(pattern))


# --- headers the Windows toolchain lacks ---------------------------------------------

# mingw-w64 ships several of these, so compiling with it does not catch them; MSVC has none.
POSIX_HEADER = re.compile(
    r"(unistd|pthread|dlfcn|strings|dirent|poll|netdb|termios|sched|semaphore|syslog|pwd|grp|"
    r"libgen|spawn|glob|fnmatch|regex|langinfo|iconv|execinfo|ucontext|alloca|endian|byteswap|"
    r"features|sys/(?!(types|stat|timeb|utime|locking)\.h)[\w/]+|netinet/\w+|arpa/\w+|"
    r"linux/\w+|mach/\w+)\.h")
# Defined, or not, when MSVC compiles the 64-bit Windows wheel; any other macro may be either.
WINDOWS_DEFINED = {"_WIN32", "_WIN64", "_MSC_VER", "MS_WINDOWS"}
WINDOWS_UNDEFINED = {"__APPLE__", "__MACH__", "__linux__", "__unix__", "__unix", "__FreeBSD__",
                     "__OpenBSD__", "__NetBSD__", "__CYGWIN__"}
TOKEN = re.compile(r"\s*(defined\b|&&|\|\||!(?!=)|\(|\)|\w+|\S+)")


Truth = bool | None  # None: depends on more than the platform


def _not(value: Truth) -> Truth:
    return None if value is None else not value


def _all(values: list[Truth]) -> Truth:
    return False if False in values else None if None in values else True


def _any(values: list[Truth]) -> Truth:
    return True if True in values else None if None in values else False


def _macro(name: str) -> Truth:
    return True if name in WINDOWS_DEFINED else False if name in WINDOWS_UNDEFINED else None


def on_windows(condition: str) -> Truth:
    """Whether the #if condition holds when compiling for Windows; None when it depends on
    more than the platform or on anything this reading does not follow (comparisons,
    __has_include, ...)."""
    tokens = TOKEN.findall(condition)
    at = 0

    def peek() -> str | None:
        return tokens[at] if at < len(tokens) else None

    def take(expected: str | None = None) -> str:
        nonlocal at
        token = peek()
        if token is None or (expected is not None and token != expected):
            raise ValueError(condition)
        at += 1
        return token

    def primary() -> Truth:
        token = take()
        if token == "!":
            return _not(primary())
        if token == "(":
            value = disjunction()
            take(")")
            return value
        if token == "defined":
            if peek() == "(":
                take("(")
                name = take()
                take(")")
                return _macro(name)
            return _macro(take())
        if token.isdigit():
            return int(token) != 0
        if re.fullmatch(r"[A-Za-z_]\w*", token):
            return _macro(token)
        raise ValueError(condition)

    def chain(operator: str, operand: Callable[[], Truth], combine: Callable[[list[Truth]], Truth]) -> Truth:
        values = [operand()]
        while peek() == operator:
            take()
            values.append(operand())
        return combine(values)

    def conjunction() -> Truth:
        return chain("&&", primary, _all)

    def disjunction() -> Truth:
        return chain("||", conjunction, _any)

    try:
        value = disjunction()
    except ValueError:
        return None
    return value if peek() is None else None


DIRECTIVE = re.compile(r"\s*#\s*(\w+)\s*(.*)")
INCLUDE = re.compile(r"[<\"]([^>\"]+)[>\"]")


def unguarded_posix_includes(text: str) -> list[tuple[int, str]]:
    """(line, header) of every include of a POSIX-only header that a Windows build reads:
    accepted only inside a branch that cannot be taken on Windows (#ifndef _WIN32, the
    #else of #ifdef _WIN32, #if defined(__APPLE__), ...)."""
    found: list[tuple[int, str]] = []
    # One entry per open #if: [whether some branch so far holds, whether this one is taken].
    open_ifs: list[list[Truth]] = []
    lines = text.split("\n")
    number = 0
    while number < len(lines):
        first, line = number + 1, lines[number]
        number += 1
        while line.endswith("\\") and number < len(lines):
            line = line[:-1] + " " + lines[number]
            number += 1
        match = DIRECTIVE.match(re.sub(r"/\*.*?\*/|//.*", " ", line))
        if not match:
            continue
        name, rest = match.group(1), match.group(2).strip()
        if name in ("if", "ifdef", "ifndef"):
            held = on_windows(rest if name == "if" else f"{'!' * (name == 'ifndef')}defined({rest})")
            open_ifs.append([held, held])
        elif name == "elif" and open_ifs:
            held = on_windows(rest)
            some, _ = open_ifs[-1]
            open_ifs[-1] = [_any([some, held]), _all([_not(some), held])]
        elif name == "else" and open_ifs:
            open_ifs[-1][1] = _not(open_ifs[-1][0])
        elif name == "endif" and open_ifs:
            open_ifs.pop()
        elif name == "include" and (header := INCLUDE.search(rest)):
            if POSIX_HEADER.fullmatch(header.group(1)) and all(taken is not False for _, taken in open_ifs):
                found.append((first, header.group(1)))
    return found


def test_no_posix_only_header_outside_a_non_windows_branch():
    unguarded = [f"{path.relative_to(REPO)}:{line}: #include <{header}>"
                 for path in _sources() for line, header in unguarded_posix_includes(path.read_text())]
    assert not unguarded, "included where a Windows build reads it:\n" + "\n".join(unguarded)


@pytest.mark.parametrize("snippet, unguarded", [
    ("#include <unistd.h>\n#include <cstring>\n", [(1, "unistd.h")]),
    # Another condition is no guard; an #else of a POSIX-only branch is taken on Windows.
    ("#ifdef NORVIX_HAVE_SIMDJSON\n#include <sys/mman.h>\n#endif\n", [(2, "sys/mman.h")]),
    ("#if defined(__linux__)\n#include <sys/mman.h>\n#else\n#include <dlfcn.h>\n#endif\n",
     [(4, "dlfcn.h")]),
    # Guarded: #ifndef, the #else of #ifdef _WIN32 (nested in another condition), an #elif
    # after the Windows branch, a POSIX platform in a conjunction, a continued line.
    ("#ifndef _WIN32\n#include <unistd.h>\n#endif\n", []),
    ("#ifdef X\n#ifdef _WIN32 // Windows\n#include <windows.h>\n#else\n#include <unistd.h>\n"
     "#endif\n#include <strings.h>\n#endif\n", [(7, "strings.h")]),
    ("#if defined(_MSC_VER) || defined(__MINGW32__)\n#elif HAVE_MMAN\n#include <sys/mman.h>\n#endif\n", []),
    ("#if defined(X) && \\\n    (defined(__APPLE__) || defined(__linux__))\n#include <pthread.h>\n#endif\n", []),
    # The CRT's own <sys/...> headers are no POSIX headers.
    ("#include <sys/stat.h>\n", []),
])
def test_posix_include_scanner(snippet, unguarded):
    assert unguarded_posix_includes(snippet) == unguarded


# --- the Windows cross compile ---------------------------------------------------------


@pytest.fixture(scope="module")
def windows_includes(tmp_path_factory) -> list[str]:
    """Include options: the host's CPython headers with the Windows pyconfig.h in place of
    the host's (Python.h reads it from its own folder first), and simdjson's header alone,
    not /usr/include, whose C library headers are the host's."""
    root = tmp_path_factory.mktemp("windows-includes")
    python, simdjson = root / "python", root / "simdjson"
    python.mkdir()
    simdjson.mkdir()
    for entry in Path(sysconfig.get_paths()["include"]).iterdir():
        if entry.name != "pyconfig.h":
            (python / entry.name).symlink_to(entry)
    (python / "pyconfig.h").symlink_to(WINDOWS_PYCONFIG)
    (simdjson / SIMDJSON_HEADER.name).symlink_to(SIMDJSON_HEADER)
    return ["-isystem", str(python), "-isystem", str(simdjson)]


def test_sources_compile_for_windows(windows_includes):
    compiler = next(filter(None, map(shutil.which, CROSS_COMPILERS)), None)
    if compiler is None:
        pytest.skip("no Windows cross compiler (apt-get install g++-mingw-w64-x86-64; scripts/setup.sh does)")
    if not SIMDJSON_HEADER.is_file():
        pytest.skip(f"{SIMDJSON_HEADER} is missing (apt-get install libsimdjson-dev): the Windows wheel's "
                    "configuration needs it")
    sources = sorted(SRC.rglob("*.cpp"))
    result = subprocess.run([compiler, *BUILD_OPTIONS, "-fsyntax-only", "-DNORVIX_HAVE_SIMDJSON=1", f"-I{SRC}",
                             *windows_includes, *map(str, sources)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
