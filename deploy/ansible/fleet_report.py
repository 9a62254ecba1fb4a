#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The fleet report from the hosts' discovery documents.

    fleet_report.py REPORT_DIR < OUTCOMES

OUTCOMES is JSON, one [host, outcome] pair a host in inventory order; an
outcome is {"document": PATH} or {"reason": REASON, "detail": TEXT}. Writes
REPORT_DIR/fleet.csv (one row per host and device element, in document
order) and REPORT_DIR/failed.csv (hosts without a usable document), then
prints the counts per action.
"""

import csv
import json
import os
import sys
import xml.etree.ElementTree as ET

FLEET_HEADER = ["host", "device_id", "product_id", "active_version", "version", "action"]
ACTIONS = ["upgrade", "downgrade", "rewrite"]


def value(element, path):
    """The value attribute of the element at path below element, or ''."""
    found = element.find(path) if element is not None else None
    return "" if found is None else found.get("value", "")


def device_rows(host, document):
    """One row a device element, or raises ET.ParseError / OSError."""
    root = ET.parse(document).getroot()
    rows = []
    for device in root.findall("./devices/device"):
        item = device.find("fw_item")
        rows.append([host, value(device, "device_id"), value(device, "product_id"),
                     value(item, "active_version"), value(item, "version"),
                     value(item, "action")])
    return rows


def write_csv(path, header, rows):
    """Writes the whole file beside its final name, then renames it."""
    with open(path + ".tmp", "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(header)
        writer.writerows(rows)
    os.replace(path + ".tmp", path)


def main():
    report_dir = sys.argv[1]
    outcomes = json.load(sys.stdin)
    fleet, failed = [], []
    for host, outcome in outcomes:
        reason, detail = outcome.get("reason"), outcome.get("detail", "")
        if reason is None:
            try:
                fleet.extend(device_rows(host, outcome["document"]))
            except ET.ParseError as error:
                reason, detail = "not well-formed", str(error)
            except OSError as error:
                reason, detail = "no document", str(error)
        if reason is not None:
            failed.append((host, reason, detail))

    os.makedirs(report_dir, exist_ok=True)
    write_csv(os.path.join(report_dir, "fleet.csv"), FLEET_HEADER, fleet)
    write_csv(os.path.join(report_dir, "failed.csv"), ["host", "reason"],
              [(host, reason) for host, reason, _ in failed])

    counts = {action: 0 for action in ACTIONS}
    for row in fleet:
        counts[row[5]] = counts.get(row[5], 0) + 1
    lines = ["%-10s %7s" % ("action", "devices")]
    lines += ["%-10s %7d" % (action, n) for action, n in counts.items()]
    lines.append("%-10s %7d" % ("hosts", len(outcomes)))
    lines.append("%-10s %7d" % ("failed", len(failed)))
    lines += ["%s: %s%s" % (host, reason, " (%s)" % " ".join(detail.split()) if detail else "")
              for host, reason, detail in failed]
    print("\n".join(lines))


if __name__ == "__main__":
    main()
