"""``python -m orvi_tools`` runs the ``orvi`` command."""

import sys

from .cli import main

sys.exit(main())
