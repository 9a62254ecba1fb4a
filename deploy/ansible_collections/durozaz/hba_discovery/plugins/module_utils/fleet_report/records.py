# SPDX-License-Identifier: Apache-2.0
"""What the report is made of: its devices, hosts, changes and the report
itself; the reasons it files hosts under; the CSV files' headers and the
small text rules (formula cells, one-line details, version order)."""

import json
import re
from collections import Counter
from dataclasses import dataclass, field
from typing import Optional

from .names import UNSAFE_HOST_NAME

FLEET_HEADER = ["host", "device_id", "product_id", "active_version", "version", "action"]
FAILED_HEADER = ["host", "reason", "detail"]
HOSTS_HEADER = ["host", "outcome", "devices", "reason"]
MODELS_HEADER = ["product_id", "active_version", "version", "action", "devices", "device_id"]
CHANGES_HEADER = ["host", "device_id", "change", "from", "to"]
ACTIONS = ["upgrade", "downgrade", "rewrite"]
DEFAULT_MAX_DOCUMENT_BYTES = 1024 * 1024
DETAIL_CHARS = 2000
READ_CHUNK = 64 * 1024
# A count or size the script says: ASCII digits only, few enough for int().
NUMBER = re.compile(r"[0-9]{1,18}")
VALUE_CHARS = 80
FORMULA_START = ("=", "+", "-", "@", "\t", "\r")

# Reasons found on the controller, before the host is contacted: the host's
# variables refused by the role's argument check, the component or the tool
# to be copied along unusable. The role's action hands them on as
# {"hba_refused": {"reason": ..., "detail": ...}}.
INVALID_VARIABLES = "invalid variables"
BAD_COMPONENT = "bad component"
BAD_TOOL = "bad tool"
NOT_WELL_FORMED = "not well-formed"
CONTROLLER_REASONS = (INVALID_VARIABLES, BAD_COMPONENT, BAD_TOOL, UNSAFE_HOST_NAME,
                      NOT_WELL_FORMED)
# Why an ok host wrote no device.
NO_ADAPTER = "no adapter"
NONE_SUPPORTED = "none supported"
NO_INSTALLED_VERSION = "no installed version"


@dataclass
class Device:
    device_id: str = ""
    product_id: str = ""
    active_version: str = ""
    version: str = ""
    action: str = ""

    def row(self, host):
        return [host, self.device_id, self.product_id, self.active_version, self.version,
                self.action]


@dataclass
class HostResult:
    """One host of the report: failed with a reason, or ok with its devices
    (and, with none, why)."""
    host: str
    reason: str = ""
    detail: str = ""
    devices: list = field(default_factory=list)
    note: str = ""

    @property
    def ok(self):
        return not self.reason

    def csv_row(self):
        if self.ok:
            return [self.host, "ok", str(len(self.devices)), self.note]
        return [self.host, "failed", "", self.reason]


@dataclass
class Change:
    host: str
    device_id: str
    change: str
    before: str = ""
    after: str = ""

    def row(self):
        return [self.host, self.device_id, self.change, self.before, self.after]


@dataclass
class Report:
    """What the report files are written from."""
    run_name: str
    hosts: list = field(default_factory=list)
    changes: Optional[list] = None   # None: nothing to compare with
    compared_with: str = ""
    skipped: list = field(default_factory=list)     # [{"run": NAME, "why": TEXT}]
    facts: dict = field(default_factory=dict)

    @property
    def failed(self):
        return [h for h in self.hosts if not h.ok]

    def devices(self):
        for result in self.hosts:
            for device in result.devices:
                yield result.host, device

    def action_counts(self):
        counts = Counter({action: 0 for action in ACTIONS})
        counts.update(device.action for _host, device in self.devices())
        return counts

    def reason_counts(self):
        return Counter(result.reason for result in self.failed)

    def models(self):
        return Counter((d.product_id, d.active_version, d.version, d.action, d.device_id)
                       for _host, d in self.devices())


def cell(text):
    """The text as a CSV cell no spreadsheet runs as a formula."""
    text = "" if text is None else str(text)
    return f"'{text}" if text.startswith(FORMULA_START) else text


def uncell(text):
    """The text of a cell that cell() wrote."""
    return text[1:] if text.startswith("'") and text[1:].startswith(FORMULA_START) else text


def one_line(text):
    """Whitespace runs made single blanks, cut to DETAIL_CHARS characters;
    what UTF-8 cannot hold (a lone surrogate) becomes ?."""
    text = " ".join(str(text or "").encode("utf-8", "replace").decode("utf-8").split())
    return text if len(text) <= DETAIL_CHARS else text[:DETAIL_CHARS - 3] + "..."


def version_key(text):
    """Sorts 3.10.0.0 after 3.2.0.0: runs of ASCII digits compare as numbers
    (other digits, such as ², as text)."""
    return [(0, int(part), "") if part[0] in "0123456789" else (1, 0, part)
            for part in re.split(r"([0-9]+)", text) if part]


def plain_number(text):
    """The number text is (ASCII digits only), or None."""
    return int(text) if NUMBER.fullmatch(text) else None


def quoted(value):
    """A value of a host's for a detail: quoted, cut to VALUE_CHARS."""
    value = value if len(value) <= VALUE_CHARS else value[:VALUE_CHARS - 3] + "..."
    return json.dumps(value, ensure_ascii=False)
