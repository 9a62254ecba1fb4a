#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The fleet report of one discovery run, from what the hosts returned.

A run's report lives in a directory of its own below the report directory,
named after the UTC time the run started (YYYYmmddTHHMMSSZ, with -2, -3, ...
when two runs start in the same second); REPORT_DIR/latest points at the last
run whose report was written. Inside:

    hosts/HOST/DOCUMENT   each host's discovery document as it returned it
    incoming/HOST         what each host's script sent, written by the role's
                          action as soon as the host was done (kept: a run
                          interrupted before its report still has it)
    results/HOST.json     the rest of each host's result, written with it
    outcomes.json         what each host came to (input of rebuild)
    run.json              the run: component, inventory, limit, start, end,
                          versions, the run written before it, the report it
                          was compared with and the earlier runs skipped
    fleet.csv             host,device_id,product_id,active_version,version,action
    failed.csv            host,reason,detail
    failed.hosts          the failed hosts, one a line (--limit @failed.hosts)
    hosts.csv             host,outcome,devices,reason
    models.csv            product_id,active_version,version,action,devices,device_id
    changes.csv           host,device_id,change,from,to: against the last
                          complete report written before it in the same
                          report directory (latest when it was written; a
                          --limit run or a damaged one is skipped, named in
                          run.json, report.html and the summary)
    report.html           one self-contained page: failures per reason,
                          changes, counts, chart, downgrades, failed hosts,
                          every host

One host's answer that the report cannot take (a value no tool writes, a
name too long to store) files that host as not well-formed; the others are
reported as they would be without it.

A CSV cell that a spreadsheet would take for a formula (beginning with =, +,
-, @, a tab or a carriage return) is written with a leading '.
"""

import argparse
import base64
import binascii
import contextlib
import csv
import datetime
import errno
import html
import io
import json
import os
import re
import shutil
import stat
import sys
import tarfile
import tempfile
import xml.parsers.expat as expat
from collections import Counter, defaultdict
from dataclasses import dataclass, field

FLEET_HEADER = ["host", "device_id", "product_id", "active_version", "version", "action"]
FAILED_HEADER = ["host", "reason", "detail"]
HOSTS_HEADER = ["host", "outcome", "devices", "reason"]
MODELS_HEADER = ["product_id", "active_version", "version", "action", "devices", "device_id"]
CHANGES_HEADER = ["host", "device_id", "change", "from", "to"]
ACTIONS = ["upgrade", "downgrade", "rewrite"]
ACTION_COLOURS = {"upgrade": "#2b6cb0", "downgrade": "#c53030", "rewrite": "#718096"}
OTHER_COLOUR = "#d69e2e"
DEFAULT_MAX_DOCUMENT_BYTES = 1024 * 1024
OUTCOMES = "outcomes.json"
RUN = "run.json"
HOSTS_DIR = "hosts"
INCOMING = "incoming"
RESULTS = "results"
ROOT_ELEMENT = "tarn_rom_discovery"
DETAIL_CHARS = 2000
CHART_MODELS = 30
HTML_CHANGES = 200
READ_CHUNK = 64 * 1024
# A host's result without what it sent: rc, stderr (the tool's few lines),
# the action's notes.
RESULT_CHARS = 1024 * 1024
RUN_NAME = re.compile(r"^\d{8}T\d{6}Z(-\d+)?$")
# A count or size the script says: ASCII digits only, few enough for int().
NUMBER = re.compile(r"[0-9]{1,18}")
# A version as the tool writes it: groups of decimal digits joined by dots.
VERSION = re.compile(r"[0-9]+(\.[0-9]+)*")
VALUE_CHARS = 80
FORMULA_START = ("=", "+", "-", "@", "\t", "\r")

# What the discovery script on the host says (its outcome word), as reasons.
SCRIPT_REASONS = {
    "no-temporary-directory": "no temporary directory",
    "noexec": "cannot execute in temporary directory",
    "tool-not-installed": "tool not installed",
    "tool-failed": "tool failed",
    "no-document": "no document",
    "too-large": "document too large",
}
# The tool's line when a command of its pipelines is not on PATH; the
# script says no-document, the report files it under a reason of its own.
COMMAND_NOT_FOUND = "command not found"
COMMAND_NOT_FOUND_LINE = re.compile(
    r"^hba-discovery: cannot run the discovery's commands: .+ is not on PATH \(.*\); "
    r"no discovery document written$", re.M)
# Reasons found on the controller, before the host is contacted: the host's
# variables refused by the role's argument check, the component or the tool
# to be copied along unusable. The role's action hands them on as
# {"hba_refused": {"reason": ..., "detail": ...}}.
INVALID_VARIABLES = "invalid variables"
BAD_COMPONENT = "bad component"
BAD_TOOL = "bad tool"
NOT_WELL_FORMED = "not well-formed"
UNSAFE_HOST_NAME = "unsafe host name"
CONTROLLER_REASONS = (INVALID_VARIABLES, BAD_COMPONENT, BAD_TOOL, UNSAFE_HOST_NAME,
                      NOT_WELL_FORMED)
# Why an ok host wrote no device.
NO_ADAPTER = "no adapter"
NONE_SUPPORTED = "none supported"
NO_INSTALLED_VERSION = "no installed version"
# Ansible's own messages when sudo (or another become method) refused.
BECOME_FAILED = re.compile(r"(sudo|su|doas) password|privilege escalation|become", re.I)
UNSAFE_NAME = "empty, . or .., holding / or NUL, or starting with -"


class DocumentError(Exception):
    """A host's document that gives no rows; args: reason, detail."""


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
    changes: "list | None" = None   # None: nothing to compare with
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


def safe_host_name(host):
    """True when host can stand as one path component of its own."""
    return (isinstance(host, str) and host not in ("", ".", "..") and "/" not in host
            and "\0" not in host and not host.startswith("-"))


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


# Reading a document ---------------------------------------------------------

class DeviceReader:
    """Expat handlers that keep only the device rows of a document."""

    def __init__(self):
        self.devices = []
        self.header = {}
        self.stack = []
        self.device = None
        self.item = 0

    def start(self, name, attributes):
        depth = len(self.stack)
        self.stack.append(name)
        if depth == 0 and name != ROOT_ELEMENT:
            raise DocumentError("not well-formed", f"root element {name}, not {ROOT_ELEMENT}")
        if depth == 1 and name == "version":
            self.header[name] = attributes.get("value", "")
        elif depth == 2 and name == "device" and self.stack[1] == "devices":
            self.device = Device()
            self.item = 0
            self.devices.append(self.device)
        elif self.device is None or depth < 3:
            return
        elif depth == 3 and name in ("device_id", "product_id"):
            setattr(self.device, name, attributes.get("value", ""))
        elif depth == 3 and name == "fw_item":
            self.item += 1
        elif depth == 4 and self.item == 1 and name in ("active_version", "version", "action"):
            value = attributes.get("value", "")
            # The values the report counts and compares come only from the
            # tool's small sets: a made-up action or version would make a
            # column, a bar or a change of its own.
            if name == "action" and value not in ACTIONS:
                raise DocumentError("not well-formed", f"device {len(self.devices)}: action "
                                    f"{quoted(value)} is not upgrade, downgrade or rewrite")
            if name != "action" and not VERSION.fullmatch(value):
                raise DocumentError("not well-formed", f"device {len(self.devices)}: {name} "
                                    f"{quoted(value)} is not a version number")
            setattr(self.device, name, value)

    def end(self, _name):
        self.stack.pop()
        if len(self.stack) == 2 and self.device is not None:
            # The tool writes each device with its item's versions and action.
            missing = [name for name in ("active_version", "version", "action")
                       if not getattr(self.device, name)]
            if missing:
                raise DocumentError("not well-formed",
                                    f"device {len(self.devices)}: no {', no '.join(missing)}")
            self.device = None


def refuse(what):
    def handler(*_args):
        raise DocumentError("not well-formed", f"{what} refused")
    return handler


def parse_document(stream, limit):
    """(devices, header) of the document read from the binary stream, at most
    limit bytes; raises DocumentError. Only the values are kept, so memory
    stays bounded whatever the host sent; a document type or entity
    declaration is refused (the expansion of entities is what makes a small
    document take a lot of memory)."""
    reader = DeviceReader()
    parser = expat.ParserCreate()
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    parser.StartDoctypeDeclHandler = refuse("document type declaration")
    parser.EntityDeclHandler = refuse("entity declaration")
    parser.ExternalEntityRefHandler = refuse("external entity")
    parser.StartElementHandler = reader.start
    parser.EndElementHandler = reader.end
    total = 0
    try:
        while True:
            chunk = stream.read(READ_CHUNK)
            total += len(chunk)
            if total > limit:
                raise DocumentError("document too large", f"more than {limit} bytes")
            parser.Parse(chunk, not chunk)
            if not chunk:
                break
    except expat.ExpatError as error:
        raise DocumentError("not well-formed", str(error)) from error
    return reader.devices, reader.header


def read_document(path, limit):
    """(devices, header) of the discovery document at path; raises
    DocumentError."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise DocumentError("no document", error.strerror) from error
    with os.fdopen(fd, "rb") as document:
        info = os.fstat(document.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise DocumentError("no document", "not a regular file")
        if info.st_size > limit:
            raise DocumentError("document too large", f"{info.st_size} bytes, more than {limit}")
        return parse_document(document, limit)


# What the hosts returned ----------------------------------------------------

def decode(text):
    try:
        return base64.b64decode(text, validate=True).decode("utf-8", "replace")
    except (binascii.Error, ValueError):
        return ""


def parse_script_output(stdout):
    """The discovery script's lines ("HBA1 KEY VALUE") as a dict; the
    document's base64 lines joined under "data"; None when it never said
    "HBA1 end" (it did not run, or did not finish)."""
    said = {"data": []}
    for line in stdout.splitlines():
        # A login banner or a terminal title may come before a line of the
        # script's without a line end of its own. No value of the script's
        # holds "HBA1 " (base64 holds no blank), so its line begins at the
        # last "HBA1 " of the line.
        start = line.rfind("HBA1 ")
        if start < 0:
            continue
        key, _, value = line[start + 5:].rstrip("\r").partition(" ")
        if key == "data":
            said["data"].append(value)
        elif key == "end":
            said["end"] = True
        else:
            said[key] = value
    return said if said.get("end") else None


def script_outcome(result, limit):
    """(outcome, document bytes or None) of one host from the registered
    result of the discovery script."""
    refused = result.get("hba_refused")
    if isinstance(refused, dict) and refused.get("reason") in CONTROLLER_REASONS:
        return {"reason": refused["reason"], "detail": str(refused.get("detail") or "")}, None
    if result.get("unreachable"):
        return {"reason": "unreachable", "detail": result.get("msg", "")}, None
    said = parse_script_output(str(result.get("stdout") or ""))
    if said is None:
        why = " ".join(str(result[key]).strip() for key in ("msg", "stdout", "stderr")
                       if str(result.get(key) or "").strip())
        if BECOME_FAILED.search(str(result.get("msg") or "")):
            return {"reason": "become failed", "detail": why}, None
        status = f"exit status {result['rc']}: " if isinstance(result.get("rc"), int) else ""
        return {"reason": "tool failed",
                "detail": f"the discovery did not finish: {status}{why}"}, None
    word, detail = said.get("outcome", ""), decode(said.get("detail", ""))
    counts = [plain_number(count) for count in said.get("counts", "0 0").split()] + [0, 0]
    facts = {"tool_version": decode(said.get("version", "")).strip(),
             "unsupported": counts[0] or 0, "no_version": counts[1] or 0}
    if word == "checked":
        return {"checked": detail, **facts}, None
    if word == "tool-failed" and "status" in said:
        detail = f"exit status {said['status']}" + (f": {detail}" if detail.strip() else "")
    if word == "no-document" and COMMAND_NOT_FOUND_LINE.search(detail):
        return {"reason": COMMAND_NOT_FOUND, "detail": detail}, None
    if word != "ok":
        reason = SCRIPT_REASONS.get(word, "tool failed")
        return {"reason": reason, "detail": detail}, None
    if None in counts:
        return {"reason": "not well-formed",
                "detail": f"counts {quoted(said['counts'])} are not numbers"}, None
    name_b64, _, size = said.get("document", "").partition(" ")
    name = decode(name_b64)
    try:
        document = base64.b64decode("".join(said["data"]), validate=True)
    except (binascii.Error, ValueError):
        return {"reason": "not well-formed", "detail": "the document arrived damaged"}, None
    if len(document) > limit:
        return {"reason": "document too large",
                "detail": f"{len(document)} bytes, more than {limit}"}, None
    if size and plain_number(size) is None:
        return {"reason": "not well-formed", "detail": f"size {quoted(size)} is not a number"}, None
    if size and plain_number(size) != len(document):
        return {"reason": "not well-formed",
                "detail": f"{len(document)} bytes arrived of {size}"}, None
    return {"document": name, "max_document_bytes": limit, **facts}, document


def store_document(run_dir, host, name, document):
    """Writes a host's document to hosts/HOST/NAME of the run, a new file."""
    directory = os.path.join(run_dir, HOSTS_DIR, host)
    os.makedirs(directory, exist_ok=True)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)
    path = os.path.join(directory, name)
    try:
        fd = os.open(path, flags, 0o644)
    except OSError:
        with contextlib.suppress(OSError):
            os.rmdir(directory)
        raise
    with os.fdopen(fd, "wb") as out:
        try:
            out.write(document)
        except BaseException:
            os.unlink(path)
            raise


def unusable(error):
    """The outcome of a host whose answer the report could not take (a
    name too long to store, a value no reader expected): the host is filed,
    the others are reported."""
    why = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    return {"reason": "not well-formed",
            "detail": f"the report could not take this host's answer: {why or type(error).__name__}"}


def with_sent(result, run_dir, host, limit):
    """The registered result with what the host sent read back from the
    run's directory, where the role's action wrote it as soon as the host
    was done (the result names it as "sent"); raises OSError or ValueError
    when it is not there, or more than a document of limit bytes takes."""
    if not isinstance(result, dict) or "sent" not in result:
        return result
    if run_dir is None or result["sent"] != f"{INCOMING}/{host}":
        raise ValueError(f"what the host sent is not in this run's {INCOMING}/")
    # base64 and the script's line heads make a document about 1.5 times
    # larger; the script's other lines are short.
    most = 2 * limit + READ_CHUNK
    fd = os.open(os.path.join(run_dir, INCOMING, host), os.O_RDONLY | os.O_NOFOLLOW)
    with os.fdopen(fd, encoding="utf-8", errors="surrogateescape") as stream:
        text = stream.read(most + 1)
    if len(text) > most:
        raise ValueError(f"the host sent more than {most} characters")
    return {**result, "stdout": text}


def host_limit(result, default):
    """The host's own hba_max_document_bytes, as the role's action noted it
    beside the result, else default."""
    own = result.get("max_document_bytes") if isinstance(result, dict) else None
    return own if isinstance(own, int) and not isinstance(own, bool) and own > 0 else default


def host_outcomes(data, run_dir=None):
    """[[HOST, OUTCOME]] from what the play handed over: each host either the
    registered result of the discovery script ({"result": {...}}), an outcome
    already ({"document": ...} or {"reason": ..., "detail": ...}), or null
    (the host left the play). With run_dir, the documents are stored there."""
    limit = int(data.get("max_document_bytes") or DEFAULT_MAX_DOCUMENT_BYTES)
    outcomes = []
    for host, given in data["hosts"]:
        host = str(host)
        if given is None:
            outcome = {"reason": "unreachable",
                       "detail": "the host left the play before its outcome was noted"}
        elif "result" in given and not safe_host_name(host):
            outcome = {"reason": UNSAFE_HOST_NAME, "detail": UNSAFE_NAME}
        elif "result" in given:
            try:
                result = given["result"] or {}
                own_limit = host_limit(result, limit)
                outcome, document = script_outcome(with_sent(result, run_dir, host, own_limit),
                                                   own_limit)
                if document is not None:
                    if not safe_host_name(outcome["document"]):
                        outcome = {"reason": "no document", "detail": "no plain document name given"}
                    elif run_dir is not None:
                        store_document(run_dir, host, outcome["document"], document)
            except Exception as error:  # pylint: disable=broad-exception-caught
                outcome = unusable(error)
        else:
            outcome = given
        outcomes.append([host, outcome])
    return outcomes


def results_in_run_dir(run_dir, hosts):
    """The play's hosts' results as the role's action wrote them into the
    run's directory (results/HOST.json), null for a host that has none (it
    left the play before its discovery). Without hosts: every host that has
    one (a report written later, from a run interrupted before its own)."""
    folder = os.path.join(run_dir, RESULTS)
    if hosts is None:
        try:
            names = os.listdir(folder)
        except FileNotFoundError:
            names = []
        hosts = sorted(name[:-len(".json")] for name in names if name.endswith(".json"))
    results = []
    for host in hosts:
        host = str(host)
        if not safe_host_name(host):
            # Not contacted: filed under its name's reason.
            results.append({})
            continue
        try:
            fd = os.open(os.path.join(folder, host + ".json"), os.O_RDONLY | os.O_NOFOLLOW)
        except FileNotFoundError:
            results.append(None)
            continue
        with os.fdopen(fd, encoding="utf-8", errors="surrogateescape") as stream:
            text = stream.read(RESULT_CHARS + 1)
        try:
            if len(text) > RESULT_CHARS:
                raise ValueError(f"results/{host}.json is larger than {RESULT_CHARS} characters")
            result = json.loads(text)
            if not isinstance(result, dict):
                raise ValueError(f"results/{host}.json is no object")
        except ValueError as error:
            result = {"hba_refused": unusable(error)}
        results.append(result)
    return hosts, results


def read_outcomes(stream, run_dir=None):
    """The run's outcomes: {"max_document_bytes": N, "hosts": [[HOST,
    OUTCOME], ...], "run": {...}}, or the bare list; an outcome is
    {"document": NAME, "max_document_bytes": N (optional), "unsupported": N,
    "no_version": N}, {"reason": REASON, "detail": TEXT}, {"result": the
    discovery script's registered result} or null (the host left the
    play)."""
    text = stream.read()
    data = json.loads(text) if text.strip() or run_dir is None else {}
    if isinstance(data, list):
        data = {"hosts": data}
    if run_dir is not None and isinstance(data, dict) and "results" not in data and (
            "hosts" not in data or all(isinstance(host, str) for host in data["hosts"])):
        # From the play, or nothing: the results are in the run's directory.
        data["hosts"], data["results"] = results_in_run_dir(run_dir, data.get("hosts"))
    if not isinstance(data, dict) or not isinstance(data.get("hosts"), list):
        raise ValueError("outcomes: an object with a list \"hosts\" expected")
    if "results" in data:
        # From the play: the hosts' names, and beside them what each returned.
        if not isinstance(data["results"], list) or len(data["results"]) != len(data["hosts"]):
            raise ValueError("outcomes: \"results\" must match \"hosts\"")
        data["hosts"] = [[host, None if result is None else {"result": result}]
                         for host, result in zip(data["hosts"], data.pop("results"))]
    for entry in data["hosts"]:
        if not (isinstance(entry, list) and len(entry) == 2):
            raise ValueError("outcomes: each host a pair [HOST, OUTCOME]")
        if entry[1] is not None and not isinstance(entry[1], dict):
            raise ValueError("outcomes: an outcome is an object or null")
    return data


# The report -----------------------------------------------------------------

def no_device_note(outcome):
    """Why a host wrote no device, from the tool's trace counts."""
    if outcome.get("no_version"):
        return NO_INSTALLED_VERSION
    if outcome.get("unsupported"):
        return NONE_SUPPORTED
    return NO_ADAPTER if "unsupported" in outcome else ""


def host_result(run_dir, host, outcome, default_limit):
    """The HostResult of one host's outcome, its document read."""
    if outcome.get("reason") is not None:
        return HostResult(host, outcome["reason"], one_line(outcome.get("detail", "")))
    if not safe_host_name(host):
        return HostResult(host, UNSAFE_HOST_NAME, UNSAFE_NAME)
    name = str(outcome.get("document", ""))
    if not safe_host_name(name):
        return HostResult(host, "no document", "no plain document name given")
    limit = int(outcome.get("max_document_bytes") or default_limit)
    try:
        devices, _header = read_document(os.path.join(run_dir, HOSTS_DIR, host, name), limit)
    except DocumentError as error:
        reason, detail = error.args
        return HostResult(host, reason, one_line(detail))
    return HostResult(host, devices=devices, note="" if devices else no_device_note(outcome))


def gather(run_dir, outcomes, default_limit):
    report = Report(os.path.basename(os.path.abspath(run_dir)))
    for host, outcome in outcomes["hosts"]:
        try:
            result = host_result(run_dir, str(host), outcome, default_limit)
        except Exception as error:  # pylint: disable=broad-exception-caught
            result = HostResult(str(host), "not well-formed", one_line(unusable(error)["detail"]))
        report.hosts.append(result)
    return report


# What changed since the last run -------------------------------------------

LATEST = "latest"


class EarlierRunError(Exception):
    """An earlier run that cannot be compared with; args: why."""


def read_csv(path, header):
    """The rows below the header of a CSV file the report wrote; raises
    EarlierRunError when it is not there, not its kind, or has a row of
    another length."""
    name = os.path.basename(path)
    try:
        with open(path, newline="", encoding="utf-8") as stream:
            reader = csv.reader(stream)
            if next(reader, None) != header:
                raise EarlierRunError(f"{name}: no header {','.join(header)}")
            rows = []
            for row in reader:
                if len(row) != len(header):
                    raise EarlierRunError(f"{name}, line {reader.line_num}: {len(row)} fields, "
                                          f"not {len(header)}")
                rows.append([uncell(value) for value in row])
            return rows
    except OSError as error:
        raise EarlierRunError(f"{name}: {error.strerror or error}") from error
    except (ValueError, csv.Error) as error:
        raise EarlierRunError(f"{name}: {one_line(error)[:200]}") from error


def load_json(path):
    try:
        with open(path, encoding="utf-8") as stream:
            return json.load(stream)
    except (OSError, ValueError):
        return None


def run_order(name):
    stamp, _, number = name.partition("-")
    return stamp, int(number or 1)


def latest_run(report_dir):
    """The name of the run REPORT_DIR/latest points at, or ''."""
    try:
        target = os.readlink(os.path.join(report_dir, LATEST))
    except OSError:
        return ""
    path = os.path.normpath(os.path.join(os.path.abspath(report_dir), target))
    return os.path.basename(path) if os.path.dirname(path) == os.path.abspath(report_dir) else ""


def written_after(facts):
    """The run a run's facts record as the last one written before it, or
    None (none recorded: a report of an earlier version of this tool, or a
    first run)."""
    name = facts.get("written_after") if isinstance(facts, dict) else None
    return name if isinstance(name, str) and safe_host_name(name) else None


def load_run(run_dir):
    """{host: HostResult} of a written report, from its hosts.csv and
    fleet.csv; raises EarlierRunError when they do not agree."""
    hosts, devices = {}, {}
    for host, outcome, count, reason in read_csv(os.path.join(run_dir, "hosts.csv"), HOSTS_HEADER):
        if outcome == "ok" and plain_number(count) is not None:
            hosts[host], devices[host] = HostResult(host), plain_number(count)
        elif outcome == "failed" and reason:
            hosts[host] = HostResult(host, reason)
        else:
            raise EarlierRunError(f"hosts.csv: host {quoted(host)} neither ok with a number of "
                                  "devices nor failed with a reason")
    for row in read_csv(os.path.join(run_dir, "fleet.csv"), FLEET_HEADER):
        if row[0] not in devices:
            raise EarlierRunError(f"fleet.csv: host {quoted(row[0])} is no ok host of hosts.csv")
        hosts[row[0]].devices.append(Device(*row[1:6]))
    for host, count in devices.items():
        if len(hosts[host].devices) != count:
            raise EarlierRunError(f"fleet.csv: {len(hosts[host].devices)} devices of host "
                                  f"{quoted(host)}, hosts.csv says {count}")
    return hosts


def examine_run(run_dir):
    """(facts, {host: HostResult}) of an earlier run to compare with; raises
    EarlierRunError, with its facts (or {}) as second argument, when it is
    none: not there, no whole report, a --limit run, or damaged."""
    if not os.path.isdir(run_dir):
        raise EarlierRunError("not there", {})
    facts = load_json(os.path.join(run_dir, RUN))
    if not isinstance(facts, dict):
        # Where it came from is in outcomes.json too.
        outcomes = load_json(os.path.join(run_dir, OUTCOMES))
        run = outcomes.get("run") if isinstance(outcomes, dict) else None
        raise EarlierRunError(f"{RUN} missing or unreadable", run if isinstance(run, dict) else {})
    if not os.path.isfile(os.path.join(run_dir, "report.html")):
        raise EarlierRunError("no report.html", facts)
    if facts.get("limit"):
        raise EarlierRunError(f"a --limit run ({one_line(facts['limit'])[:200]})", facts)
    try:
        return facts, load_run(run_dir)
    except EarlierRunError as error:
        raise EarlierRunError(error.args[0], facts) from error


def find_baseline(run_dir, first):
    """(name, {host: HostResult}) of the report to compare run_dir with, or
    ('', None), and the runs skipped on the way ([{"run": NAME, "why":
    TEXT}]). first is the run REPORT_DIR/latest pointed at when run_dir was
    written. Each run passed over leads to the one it records as written
    before it; where a run records none, the runs named before it are
    tried, newest first (runs without report.html, never written whole,
    passed over without a word)."""
    parent, name = os.path.split(os.path.abspath(run_dir))
    seen, skipped, named = {name}, [], None
    candidate, before = first, name
    while True:
        if not candidate or candidate in seen:
            if named is None:
                named = sorted((entry for entry in os.listdir(parent) if RUN_NAME.match(entry)
                                and os.path.isfile(os.path.join(parent, entry, "report.html"))),
                               key=run_order)
            earlier = [entry for entry in named if entry not in seen and RUN_NAME.match(before)
                       and run_order(entry) < run_order(before)]
            if not earlier:
                return "", None, skipped
            candidate = earlier[-1]
        seen.add(candidate)
        try:
            _facts, hosts = examine_run(os.path.join(parent, candidate))
            return candidate, hosts, skipped
        except EarlierRunError as error:
            skipped.append({"run": candidate, "why": error.args[0]})
            before, candidate = candidate, written_after(error.args[1])


def by_device_id(devices):
    grouped = defaultdict(list)
    for device in devices:
        grouped[device.device_id].append(device)
    return grouped


def pair_devices(before, after):
    """(pairs, gone, appeared) of two device lists of one identity: equal
    devices (installed version and action) are paired first, in document
    order; then the rest, in document order."""
    rest = list(after)
    pairs, unpaired = [], []
    for was in before:
        equal = next((i for i, now in enumerate(rest) if (now.active_version, now.action)
                      == (was.active_version, was.action)), None)
        if equal is None:
            unpaired.append(was)
        else:
            pairs.append((was, rest.pop(equal)))
    paired = min(len(unpaired), len(rest))
    return pairs + list(zip(unpaired, rest)), unpaired[paired:], rest[paired:]


def device_changes(host, before, after):
    """Changes between two device lists of one host; devices of one identity
    are paired by pair_devices."""
    changes = []
    old, new = by_device_id(before), by_device_id(after)
    for device_id in list(dict.fromkeys([*old, *new])):
        pairs, gone, appeared = pair_devices(old[device_id], new[device_id])
        for was, now in pairs:
            if was.active_version != now.active_version:
                changes.append(Change(host, device_id, "installed version",
                                      was.active_version, now.active_version))
            if was.action != now.action:
                changes.append(Change(host, device_id, "action", was.action, now.action))
        changes += [Change(host, device_id, "gone", d.active_version, "") for d in gone]
        changes += [Change(host, device_id, "appeared", "", d.active_version) for d in appeared]
    return changes


def compare(previous, report, whole_inventory):
    """Changes from previous ({host: HostResult}) to the report's hosts; a
    host missing from the run counts as gone only when the run covered the
    whole inventory."""
    changes = []
    for now in report.hosts:
        was = previous.get(now.host)
        if was is None:
            was = HostResult(now.host)
        if not now.ok:
            if was.ok and now.host in previous:
                changes.append(Change(now.host, "", "host now failing", "ok", now.reason))
        elif not was.ok:
            changes.append(Change(now.host, "", "host recovered", was.reason, "ok"))
            changes += device_changes(now.host, [], now.devices)
        else:
            changes += device_changes(now.host, was.devices, now.devices)
    if whole_inventory:
        present = {result.host for result in report.hosts}
        for host, was in previous.items():
            if host not in present and was.ok:
                changes += device_changes(host, was.devices, [])
    return changes


def add_changes(run_dir, report):
    """Compares the report with the last complete report written before it
    in its report directory (find_baseline), if any."""
    name, previous, report.skipped = find_baseline(run_dir, written_after(report.facts))
    if not name:
        return
    report.compared_with = name
    report.changes = compare(previous, report, not report.facts.get("limit"))


# Writing --------------------------------------------------------------------

def model_rows(report):
    models = report.models()
    keys = sorted(models, key=lambda k: (k[0], version_key(k[1]), version_key(k[2]), k[3], k[4]))
    return [[*key[:4], models[key], key[4]] for key in keys]


def chart_models(report):
    """{model: Counter(action: devices)}, the CHART_MODELS largest, the rest
    in one bar."""
    per_model = defaultdict(Counter)
    for _host, device in report.devices():
        per_model[device.product_id][device.action] += 1
    models = sorted(per_model, key=lambda m: (-sum(per_model[m].values()), m))
    if len(models) > CHART_MODELS:
        rest = Counter()
        for model in models[CHART_MODELS - 1:]:
            rest.update(per_model[model])
        label = f"({len(models) - CHART_MODELS + 1} other models)"
        per_model = {m: per_model[m] for m in models[:CHART_MODELS - 1]}
        per_model[label] = rest
    return dict(sorted(per_model.items(), key=lambda item: (-sum(item[1].values()), item[0])))


def svg_chart(report):
    """An inline SVG bar chart: devices per model, one stacked segment per
    action."""
    per_model = chart_models(report)
    if not per_model:
        return "<p>No devices.</p>"
    actions = ACTIONS + sorted({a for counts in per_model.values() for a in counts} - set(ACTIONS))
    top = max(sum(counts.values()) for counts in per_model.values())
    label_w, bar_w, row_h = 330, 380, 26
    height = 30 + row_h * len(per_model) + 10
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{label_w + bar_w + 60}" '
           f'height="{height}" role="img" aria-label="Devices per model and action">']
    x = label_w
    for action in actions:
        colour, label = ACTION_COLOURS.get(action, OTHER_COLOUR), action or "(none)"
        out.append(f'<rect x="{x}" y="6" width="12" height="12" fill="{colour}"/>'
                   f'<text x="{x + 16}" y="17">{html.escape(label)}</text>')
        x += 24 + 8 * len(label)
    for row, (model, counts) in enumerate(per_model.items()):
        y = 30 + row * row_h
        name = model if len(model) <= 48 else model[:45] + "..."
        out.append(f'<text x="{label_w - 8}" y="{y + 16}" text-anchor="end">'
                   f'{html.escape(name or "(no model description)")}</text>')
        x = label_w
        for action in actions:
            devices = counts.get(action, 0)
            if devices:
                width = max(1, round(bar_w * devices / top))
                title = html.escape(f"{model}: {devices} {action}")
                out.append(f'<rect x="{x}" y="{y + 2}" width="{width}" height="20" '
                           f'fill="{ACTION_COLOURS.get(action, OTHER_COLOUR)}">'
                           f'<title>{title}</title></rect>')
                x += width
        out.append(f'<text x="{x + 6}" y="{y + 16}">{sum(counts.values())}</text>')
    out.append("</svg>")
    return "".join(out)


def html_table(header, rows, css=""):
    out = [f'<table class="{css}">' if css else "<table>", "<thead><tr>"]
    out += [f"<th>{html.escape(h)}</th>" for h in header]
    out.append("</tr></thead><tbody>")
    for row in rows:
        out.append("<tr>" + "".join(f"<td>{html.escape(str(v))}</td>" for v in row) + "</tr>")
    out.append("</tbody></table>")
    return "".join(out)


STYLE = """
body { font: 14px/1.4 sans-serif; margin: 1.5em; color: #1a202c; background: #fff; }
h1 { font-size: 1.5em; } h2 { font-size: 1.2em; margin-top: 1.5em; }
table { border-collapse: collapse; margin: .5em 0; }
th, td { border: 1px solid #cbd5e0; padding: .2em .6em; text-align: left; vertical-align: top; }
th { background: #edf2f7; }
td.n { text-align: right; }
.bad td { background: #fff5f5; }
.changed td { background: #fffbea; }
.changed td:first-child { border-left: 4px solid #d69e2e; }
.ok { color: #276749; } .failed { color: #c53030; font-weight: bold; }
svg text { font: 12px sans-serif; fill: #1a202c; }
"""


def html_changes(report):
    if report.changes is None:
        return ["<h2>Changes since the last run</h2>",
                "<p>Nothing to compare with: no earlier complete report in this report "
                "directory.</p>"]
    title = f"Changes since {report.compared_with} ({len(report.changes)})"
    if not report.changes:
        return [f"<h2>{html.escape(title)}</h2>", "<p>None.</p>"]
    shown = [change.row() for change in report.changes[:HTML_CHANGES]]
    more = len(report.changes) - len(shown)
    return [f"<h2>{html.escape(title)}</h2>",
            html_table(CHANGES_HEADER, shown, "changed"),
            f"<p>{more} more in changes.csv.</p>" if more > 0 else ""]


def html_run_facts(report):
    facts = report.facts
    component = facts.get("component") or {}
    rows = [["component", ", ".join(component.get("dirs") or [])],
            ["component version", component.get("version", "")],
            ["limit", facts.get("limit") or "(whole inventory)"],
            ["start", facts.get("start", "")], ["end", facts.get("end", "")],
            ["compared with", report.compared_with or "nothing"]]
    rows += [["skipped", f"{skip['run']}: {skip['why']}"] for skip in report.skipped]
    return html_table(["run", ""], rows)


def html_page(report):
    failed = report.failed
    counts = [[action, devices] for action, devices in report.action_counts().items()]
    counts += [["hosts", len(report.hosts)], ["hosts ok", len(report.hosts) - len(failed)],
               ["hosts failed", len(failed)]]
    actions = ACTIONS + sorted(set(report.action_counts()) - set(ACTIONS))
    every = []
    for result in report.hosts:
        per_action = Counter(device.action for device in result.devices)
        why = f"{result.reason}: {result.detail}" if result.detail else result.reason
        every.append([result.host, "ok" if result.ok else "failed",
                      len(result.devices) if result.ok else ""]
                     + [per_action.get(a, "") if result.ok else "" for a in actions]
                     + [result.note if result.ok else why])
    downgrades = [device.row(host)[:5] for host, device in report.devices()
                  if device.action == "downgrade"]
    reasons = [[reason, hosts] for reason, hosts in report.reason_counts().most_common()]
    title = f"Discovery report {report.run_name}"
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        # Nothing may come from elsewhere: no script, no image, no font.
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'\">",
        f"<title>{html.escape(title)}</title><style>{STYLE}</style></head><body>",
        f"<h1>{html.escape(title)}</h1>",
        html_run_facts(report),
        f"<h2>Failed hosts per reason ({len(failed)})</h2>",
        html_table(["reason", "hosts"], reasons, "bad") if reasons else "<p>None.</p>",
        *html_changes(report),
        "<h2>Devices per action</h2>",
        html_table(["action", "devices"], counts),
        "<h2>Devices per model and action</h2>",
        svg_chart(report),
        f"<h2>Devices that would be downgraded ({len(downgrades)})</h2>",
        html_table(["host", "device_id", "product_id", "active_version", "version"],
                   downgrades, "bad") if downgrades else "<p>None.</p>",
        f"<h2>Failed hosts ({len(failed)})</h2>",
        html_table(FAILED_HEADER, [[h.host, h.reason, h.detail] for h in failed], "bad")
        if failed else "<p>None.</p>",
        f"<h2>Every host ({len(report.hosts)})</h2>",
        html_table(["host", "outcome", "devices"] + actions + ["reason"], every),
        "</body></html>",
    ]
    return "\n".join(part for part in parts if part) + "\n"


class AtomicFile:
    """A file written beside its final name and renamed onto it when whole."""

    def __init__(self, path):
        self.path, self.temporary = path, path + ".tmp"
        self.file = open(self.temporary, "w", newline="", encoding="utf-8")

    def __enter__(self):
        return self.file

    def __exit__(self, kind, _value, _trace):
        self.file.close()
        if kind is None:
            os.replace(self.temporary, self.path)
        else:
            os.unlink(self.temporary)


def write_csv(path, header, rows):
    with AtomicFile(path) as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(header)
        writer.writerows([cell(value) for value in row] for row in rows)


def run_facts(run_dir, report, outcomes):
    """run.json: the run as the play described it, with the component's
    version and the tools' versions as the hosts reported them."""
    facts = dict(outcomes.get("run") or {})
    versions = Counter(o.get("tool_version") for _h, o in outcomes["hosts"] if o.get("tool_version"))
    component = dict(facts.get("component") or {})
    component.setdefault("version", component_version(run_dir, report, outcomes))
    facts.update(component=component, tool_versions=dict(versions.most_common()),
                 compared_with=report.compared_with or None, skipped=report.skipped)
    return facts


def component_version(run_dir, report, outcomes):
    """The component's version as the first document gives it."""
    for result, (_host, outcome) in zip(report.hosts, outcomes["hosts"]):
        if result.ok and outcome.get("document"):
            path = os.path.join(run_dir, HOSTS_DIR, result.host, outcome["document"])
            try:
                return read_document(path, int(outcome.get("max_document_bytes")
                                               or DEFAULT_MAX_DOCUMENT_BYTES))[1].get("version", "")
            except DocumentError:
                continue
    return ""


def write_report(run_dir, outcomes, default_limit):
    """Writes the report files of run_dir; returns the Report."""
    report = gather(run_dir, outcomes, default_limit)
    report.facts = dict(outcomes.get("run") or {})
    add_changes(run_dir, report)
    report.facts = run_facts(run_dir, report, outcomes)
    write_csv(os.path.join(run_dir, "fleet.csv"), FLEET_HEADER,
              [device.row(host) for host, device in report.devices()])
    write_csv(os.path.join(run_dir, "failed.csv"), FAILED_HEADER,
              [[h.host, h.reason, h.detail] for h in report.failed])
    write_csv(os.path.join(run_dir, "hosts.csv"), HOSTS_HEADER,
              [h.csv_row() for h in report.hosts])
    write_csv(os.path.join(run_dir, "models.csv"), MODELS_HEADER, model_rows(report))
    write_csv(os.path.join(run_dir, "changes.csv"), CHANGES_HEADER,
              [change.row() for change in report.changes or []])
    with AtomicFile(os.path.join(run_dir, "failed.hosts")) as out:
        out.writelines(f"{h.host}\n" for h in report.failed)
    with AtomicFile(os.path.join(run_dir, RUN)) as out:
        json.dump(report.facts, out, indent=1, sort_keys=True)
        out.write("\n")
    with AtomicFile(os.path.join(run_dir, "report.html")) as out:
        out.write(html_page(report))
    return report


def summary(report, run_dir=None):
    counts = report.action_counts()
    lines = [f"{'action':<10} {'devices':>7}"]
    lines += [f"{action:<10} {n:>7}" for action, n in counts.items()]
    lines.append(f"{'hosts':<10} {len(report.hosts):>7}")
    lines.append(f"{'failed':<10} {len(report.failed):>7}")
    lines += [f"  {reason}: {n}" for reason, n in report.reason_counts().most_common()]
    lines += [f"{h.host}: {h.reason}" + (f" ({h.detail})" if h.detail else "")
              for h in report.failed]
    if report.changes is not None:
        lines.append(f"changes since {report.compared_with}: {len(report.changes)}")
    elif report.skipped:
        lines.append("changes: nothing to compare with")
    lines += [f"  skipped {skip['run']}: {skip['why']}" for skip in report.skipped]
    if run_dir:
        lines.append(f"report: {os.path.join(os.path.abspath(run_dir), 'report.html')}")
    return "\n".join(lines)


def failed_line(report):
    """The last line printed, for the play: the failed hosts and why."""
    return json.dumps({h.host: h.reason + (f": {h.detail}" if h.detail else "")
                       for h in report.failed})


# Commands -------------------------------------------------------------------

def command_start(args):
    """Makes the directory of a new run and prints its path."""
    os.makedirs(args.report_dir, exist_ok=True)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    for attempt in range(1, 1000):
        run_dir = os.path.join(args.report_dir, stamp + ("" if attempt == 1 else f"-{attempt}"))
        try:
            os.mkdir(run_dir)
        except FileExistsError:
            continue
        os.mkdir(os.path.join(run_dir, HOSTS_DIR))
        print(os.path.abspath(run_dir))
        return 0
    raise OSError(errno.EEXIST, "no free run directory name", stamp)


class BundleError(ValueError):
    """A component or tool that cannot go to the hosts; args: reason, detail."""


CONFIGURATION = "KT582304.xml"
BOOT_IMAGE = "bfa_boot_fw"
VERSION_MARK = b"RUDUV"
# What strings(1) prints: runs of at least 4 printable ASCII characters or tabs.
PRINTABLE_RUN = re.compile(rb"[\t\x20-\x7e]{4,}")
VERSION_NUMBER = re.compile(r"^\d+(\.\d+)*$")
# The tool keeps 49 characters of the version it reads.
VERSION_WIDTH = 49


def open_regular(path, what):
    """A binary stream of the regular file at path, links followed; raises
    BundleError naming what when it is something else or cannot be read."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise BundleError(BAD_COMPONENT, f"{what}: a link in a loop") from error
        if error.errno == errno.ENOENT and os.path.islink(path):
            raise BundleError(BAD_COMPONENT, f"{what}: a link to nowhere "
                              f"({os.readlink(path)})") from error
        raise BundleError(BAD_COMPONENT, f"{what} cannot be read: {error.strerror}") from error
    stream = os.fdopen(fd, "rb")
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        stream.close()
        raise BundleError(BAD_COMPONENT, f"{what}: not a regular file")
    return stream


def component_entries(top):
    """(name below top, path) of each directory and file of the component
    directory top, sorted, links followed (the hosts get the bytes this
    controller reads), old *_disc.xml documents left out; raises BundleError
    for a link to nowhere, a loop, or anything but files and directories."""
    entries = []

    def walk(directory, name, ancestors):
        try:
            names = sorted(os.listdir(directory))
        except OSError as error:
            raise BundleError(BAD_COMPONENT, f"{directory}: {error.strerror}") from error
        for child in names:
            # The tool replaces its own document; one left in the component
            # directory would pass for a document of this host when it writes none.
            if child.endswith("_disc.xml"):
                continue
            path, child_name = os.path.join(directory, child), f"{name}/{child}"
            try:
                info = os.stat(path)
            except OSError as error:
                if error.errno == errno.ELOOP:
                    raise BundleError(BAD_COMPONENT, f"{path}: a link in a loop") from error
                if os.path.islink(path):
                    raise BundleError(BAD_COMPONENT, f"{path}: a link to nowhere "
                                      f"({os.readlink(path)})") from error
                raise BundleError(BAD_COMPONENT, f"{path}: {error.strerror}") from error
            if stat.S_ISDIR(info.st_mode):
                if (info.st_dev, info.st_ino) in ancestors:
                    raise BundleError(BAD_COMPONENT, f"{path}: a link in a loop")
                entries.append((child_name, path))
                walk(path, child_name, ancestors | {(info.st_dev, info.st_ino)})
            elif stat.S_ISREG(info.st_mode):
                entries.append((child_name, path))
            else:
                raise BundleError(BAD_COMPONENT, f"{path}: not a regular file or directory")

    try:
        info = os.stat(top)
    except OSError as error:
        raise BundleError(BAD_COMPONENT, f"hba_component_dir {top}: {error.strerror}") from error
    if not stat.S_ISDIR(info.st_mode):
        raise BundleError(BAD_COMPONENT, f"hba_component_dir {top}: not a directory")
    walk(top, "component", {(info.st_dev, info.st_ino)})
    return [("component", top)] + entries


def tar_entry(tar, name, path, what):
    """Adds the directory or regular file at path (links followed) as name."""
    if os.path.isdir(path):
        info = tarfile.TarInfo(name)
        info.type, info.mode = tarfile.DIRTYPE, 0o755
        info.mtime = int(os.stat(path).st_mtime)
        tar.addfile(info)
        return
    with open_regular(path, what) as stream:
        status = os.fstat(stream.fileno())
        info = tarfile.TarInfo(name)
        info.size, info.mtime = status.st_size, int(status.st_mtime)
        info.mode = 0o755 if status.st_mode & stat.S_IXUSR else 0o644
        try:
            tar.addfile(info, stream)
        except OSError as error:
            raise BundleError(BAD_COMPONENT, f"{what}: {error}") from error


def bundle_payload(component_dir, tool):
    """The tar of component/ and the tool, if any: the bytes this controller
    reads, whatever links lead there; raises BundleError."""
    if not component_dir:
        raise BundleError(BAD_COMPONENT, "hba_component_dir is empty")
    if tool and not (os.path.isfile(tool) and os.access(tool, os.X_OK)):
        raise BundleError(BAD_TOOL, f"hba_discovery_binary {tool}: not an executable file")
    payload = io.BytesIO()
    with tarfile.open(fileobj=payload, mode="w", format=tarfile.GNU_FORMAT) as tar:
        for name, path in component_entries(component_dir):
            tar_entry(tar, name, path, path)
        if tool:
            try:
                tar_entry(tar, "hba-discovery", tool, f"hba_discovery_binary {tool}")
            except BundleError as error:
                raise BundleError(BAD_TOOL, error.args[1]) from error
    return payload.getvalue()


def image_version(stream):
    """The boot BIOS version of a boot image as the tool reads it: the first
    printable run holding RUDUV, from its sixth character, blanks removed."""
    for run in PRINTABLE_RUN.findall(stream.read()):
        if VERSION_MARK in run:
            return run[5:].replace(b" ", b"").decode("ascii")[:VERSION_WIDTH]
    return ""


def check_component(component_dir):
    """Raises BundleError unless the component's configuration and boot
    image can be read and the image holds a boot BIOS version number."""
    with open_regular(os.path.join(component_dir, CONFIGURATION),
                      os.path.join(component_dir, CONFIGURATION)):
        pass
    path = os.path.join(component_dir, BOOT_IMAGE)
    with open_regular(path, path) as image:
        version = image_version(image)
    if not version:
        raise BundleError(BAD_COMPONENT, f"{path} holds no boot BIOS version")
    if not VERSION_NUMBER.match(version):
        raise BundleError(BAD_COMPONENT, f"{path} holds boot BIOS version {version!r}, "
                          "which is not a version number")


def command_bundle(args):
    """Makes the self-extracting scripts the hosts run, one per component and
    tool, in a fresh private directory (below BUNDLE_PARENT when given);
    prints {"dir": DIR, "bundles": {'["COMPONENT_DIR", "TOOL"]': {"path":
    PATH, "offset": N, "tool": bundled|installed}}}. A component or tool
    that cannot go to the hosts gets {"refused": {"reason": ..., "detail":
    ...}} instead, for the hosts that use it alone. With --check the scripts
    carry no payload; the component and tool are checked all the same, and
    the component must hold a readable configuration and a boot image with a
    version number."""
    pairs = json.load(sys.stdin)
    with open(args.script, "rb") as stream:
        header = stream.read()
    directory = tempfile.mkdtemp(prefix="hba-bundles.", dir=args.parent or None)
    bundles = {}
    try:
        for component_dir, tool in sorted({(str(c), str(t or "")) for c, t in pairs}):
            key = json.dumps([component_dir, tool])
            try:
                payload = bundle_payload(component_dir and os.path.realpath(component_dir),
                                         tool and os.path.realpath(tool))
                if args.check:
                    check_component(os.path.realpath(component_dir))
            except BundleError as error:
                reason, detail = error.args
                bundles[key] = {"refused": {"reason": reason, "detail": detail}}
                continue
            path = os.path.join(directory, f"hba-discover-{len(bundles)}.sh")
            with open(path, "wb") as out:
                out.write(header)
                out.write(b"" if args.check else payload)
            bundles[key] = {"path": path, "offset": len(header) + 1,
                            "tool": "bundled" if tool else "installed"}
    except BaseException:
        shutil.rmtree(directory, ignore_errors=True)
        raise
    print(json.dumps({"dir": directory, "bundles": bundles}))
    return 0


def point_latest(run_dir):
    """Points the link latest beside run_dir at it, replacing it whole."""
    parent, name = os.path.split(os.path.abspath(run_dir))
    temporary = os.path.join(parent, f".latest.{os.getpid()}")
    os.symlink(name, temporary)
    try:
        os.replace(temporary, os.path.join(parent, LATEST))
    except OSError:
        os.unlink(temporary)
        raise


def remove_bundles(args):
    if args.remove and os.path.basename(args.remove).startswith("hba-bundles."):
        shutil.rmtree(args.remove, ignore_errors=True)


def now_utc():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def start_time(run_name):
    try:
        stamp = datetime.datetime.strptime(run_name[:16], "%Y%m%dT%H%M%SZ")
    except ValueError:
        return ""
    return stamp.strftime("%Y-%m-%dT%H:%M:%SZ")


def command_write(args):
    """Stores the documents the hosts returned, saves the outcomes in the
    run's directory, writes its report and points latest at it."""
    try:
        data = read_outcomes(sys.stdin, args.run_dir)
        data.setdefault("max_document_bytes", args.max_document_bytes)
        run = dict(data.get("run") or {})
        run.setdefault("start", start_time(os.path.basename(os.path.abspath(args.run_dir))))
        # The run to compare with is the last one written, whatever the
        # names say (the controller's clock may have gone back); recorded,
        # so that a rebuild compares with the same one.
        run["written_after"] = latest_run(os.path.dirname(os.path.abspath(args.run_dir)))
        run["end"] = now_utc()
        outcomes = {"max_document_bytes": data["max_document_bytes"], "run": run,
                    "hosts": host_outcomes(data, args.run_dir)}
    finally:
        remove_bundles(args)
    with AtomicFile(os.path.join(args.run_dir, OUTCOMES)) as out:
        json.dump(outcomes, out, indent=1)
        out.write("\n")
    report = write_report(args.run_dir, outcomes, int(outcomes["max_document_bytes"]))
    point_latest(args.run_dir)
    print(summary(report, args.run_dir))
    print(failed_line(report))
    return 0


def command_check(args):
    """What --check found on each host; writes nothing."""
    try:
        data = read_outcomes(sys.stdin)
        outcomes = host_outcomes(data)
    finally:
        remove_bundles(args)
    report = Report("check")
    for host, outcome in outcomes:
        if outcome.get("reason") is not None:
            report.hosts.append(HostResult(host, outcome["reason"], one_line(outcome.get("detail"))))
        elif not safe_host_name(host):
            report.hosts.append(HostResult(host, UNSAFE_HOST_NAME, UNSAFE_NAME))
        else:
            report.hosts.append(HostResult(host, note=outcome.get("checked", "")))
    for result in report.hosts:
        print(f"{result.host}: " + (f"{result.reason} ({result.detail})" if result.reason
                                    else f"ready ({result.note})"))
    print(failed_line(report))
    return 0


def command_rebuild(args):
    """Writes a run's report again from its outcomes.json and documents."""
    with open(os.path.join(args.run_dir, OUTCOMES), encoding="utf-8") as stream:
        outcomes = read_outcomes(stream)
    outcomes["hosts"] = host_outcomes(outcomes)
    limit = int(outcomes.get("max_document_bytes") or DEFAULT_MAX_DOCUMENT_BYTES)
    report = write_report(args.run_dir, outcomes, limit)
    print(summary(report, args.run_dir))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="fleet_report.py", description=__doc__.split("\n\n", maxsplit=1)[0],
        epilog=__doc__.split("\n", 2)[2], formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    start = commands.add_parser("start", help="make the directory of a new run, print its path")
    start.add_argument("report_dir", metavar="REPORT_DIR")
    start.set_defaults(run=command_start)
    bundle = commands.add_parser(
        "bundle", help="make the hosts' discovery scripts from the [COMPONENT_DIR, TOOL] pairs "
        "read from standard input (JSON); print where they are")
    bundle.add_argument("script", metavar="SCRIPT", help="the role's files/hba-discover.sh")
    bundle.add_argument("--check", action="store_true",
                        help="without payload, for --check; the component checked too")
    bundle.add_argument("--parent", metavar="DIR",
                        help="where the bundles' private directory is made (default: TMPDIR)")
    bundle.set_defaults(run=command_bundle)
    write = commands.add_parser(
        "write", help="store what the hosts returned (JSON on standard input), write the report; "
        "the last line printed is a JSON object of the failed hosts and why")
    write.add_argument("run_dir", metavar="RUN_DIR")
    write.add_argument("--max-document-bytes", type=int, default=DEFAULT_MAX_DOCUMENT_BYTES,
                       metavar="N", help="largest document read (default %(default)d); "
                       "a host's own limit in the outcomes comes first")
    write.add_argument("--remove", metavar="BUNDLE_DIR", help="remove the bundles' directory")
    write.set_defaults(run=command_write)
    check = commands.add_parser(
        "check", help="say what --check found on each host (JSON on standard input); "
        "writes nothing; the last line printed is a JSON object of the failed hosts and why")
    check.add_argument("--remove", metavar="BUNDLE_DIR", help="remove the bundles' directory")
    check.set_defaults(run=command_check)
    rebuild = commands.add_parser(
        "rebuild", help="write a run's report again from its outcomes.json and documents")
    rebuild.add_argument("run_dir", metavar="RUN_DIR")
    rebuild.set_defaults(run=command_rebuild)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (OSError, ValueError) as error:
        print(f"fleet_report.py: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
