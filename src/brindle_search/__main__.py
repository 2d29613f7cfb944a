"""``python -m brindle_search``: the ``brindle-search`` command line."""

import sys

from .cli import main

sys.exit(main())
