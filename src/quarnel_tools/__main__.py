"""``python -m quarnel_tools``: the ``quarnel`` command line."""

import sys

from quarnel_tools.cli import main

sys.exit(main())
