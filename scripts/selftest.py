"""Run the installed norvix_datafeed module as the main program.

Executed as the main program, the module ends its body with a short self-test that
queries the data service for the contract multipliers. A native extension module
cannot be started with ``python -m``, so this script loads it through importlib
with ``__name__`` set to "__main__" before its body runs.
"""

import importlib.util
import sys


def main() -> int:
    spec = importlib.util.find_spec("norvix_datafeed")
    if spec is None:
        print("selftest: norvix_datafeed is not installed (run scripts/setup.sh)", file=sys.stderr)
        return 1
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
    return 0


if __name__ == "__main__":
    sys.exit(main())
