"""``python -m vnpy_norvix``: see vnpy_norvix.cli."""

import sys

from loguru import logger

from .cli import main

# The datafeed logs every request; the command line reports progress and failures
# itself, and shows those lines only with --verbose.
logger.remove()
sys.exit(main())
