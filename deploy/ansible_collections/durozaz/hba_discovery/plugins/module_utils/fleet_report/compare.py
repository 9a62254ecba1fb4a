# SPDX-License-Identifier: Apache-2.0
"""What changed since the last run: the earlier report to compare with
(the last complete one written before, damaged or --limit runs skipped),
read back from its CSV files, and the changes per host and device."""

import csv
import json
import os
import re
from collections import defaultdict

from .names import LATEST, OUTCOMES, RUN, safe_host_name
from .records import (FLEET_HEADER, HOSTS_HEADER, Change, Device, HostResult, one_line,
                      plain_number, quoted, uncell)

RUN_NAME = re.compile(r"^\d{8}T\d{6}Z(-\d+)?$")


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
