# SPDX-License-Identifier: Apache-2.0
"""The names a run's directory gives to what it holds, and the rule a host's
name must keep to stand as a file name there: shared by the report tool and
the role's action, which writes what each host sent as the host is done."""

HOSTS_DIR = "hosts"
INCOMING = "incoming"
RESULTS = "results"
OUTCOMES = "outcomes.json"
RUN = "run.json"
LATEST = "latest"

UNSAFE_HOST_NAME = "unsafe host name"
UNSAFE_NAME = "empty, . or .., holding / or NUL, or starting with -"


def safe_host_name(host):
    """True when host can stand as one path component of its own."""
    return (isinstance(host, str) and host not in ("", ".", "..") and "/" not in host
            and "\0" not in host and not host.startswith("-"))
