"""``python -m vnpy_norvix``: see vnpy_norvix.cli."""

import os
import sys

from . import exits
from .cli import main
from .console import CONSOLE

# The datafeed logs every request; the command line reports progress and failures
# itself, shows those lines only with --verbose, and sets every sink of the log.
CONSOLE.owner = True
status = main()
if status == exits.INTERRUPTED:
    # Requests still in flight on worker threads are abandoned, not waited for: nothing
    # is being written any more (the download holds its save lock).
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)
sys.exit(status)
