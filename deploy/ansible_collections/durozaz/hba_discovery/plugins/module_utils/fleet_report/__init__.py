# SPDX-License-Identifier: Apache-2.0
"""The fleet report tool: the report of a discovery run, from what the
hosts returned (run it as a command: python3 .../module_utils/fleet_report
--help). Nothing is imported here: the role's action imports names alone,
without the report's templates and readers."""
