# SPDX-License-Identifier: Apache-2.0
"""Runs the report tool: python3 .../plugins/module_utils/fleet_report COMMAND
(or python3 -m fleet_report with module_utils on the path)."""

import os
import sys

if not __package__:
    # Run as a directory: Python put the package's own folder first on the
    # path, where its modules would pass for top-level ones. The folder
    # above it takes its place, so that the package is imported as one.
    HERE = os.path.dirname(os.path.abspath(__file__))
    if sys.path and os.path.abspath(sys.path[0] or os.curdir) == HERE:
        del sys.path[0]
    sys.path.insert(0, os.path.dirname(HERE))
    from fleet_report.cli import main  # pylint: disable=import-self
else:
    from .cli import main

sys.exit(main())
