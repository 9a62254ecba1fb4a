#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""The fleet report of one discovery run, from the hosts' documents.

A run's report lives in a directory of its own below the report directory,
named after the UTC time the run started (YYYYmmddTHHMMSSZ, with -2, -3, ...
when two runs start in the same second); REPORT_DIR/latest points at the last
run whose report was written. Inside:

    hosts/HOST/DOCUMENT   each host's discovery document as fetched
    outcomes.json         what the play said about each host (input of rebuild)
    fleet.csv             host,device_id,product_id,active_version,version,action
    failed.csv            host,reason,detail
    hosts.csv             host,outcome,devices,reason
    models.csv            product_id,active_version,version,action,devices
    report.html           one self-contained page: counts, chart, downgrades,
                          failed hosts, every host

A CSV cell that a spreadsheet would take for a formula (beginning with =, +,
-, @, a tab or a carriage return) is written with a leading '.
"""

import argparse
import csv
import datetime
import errno
import html
import json
import os
import re
import stat
import sys
import xml.parsers.expat as expat

FLEET_HEADER = ["host", "device_id", "product_id", "active_version", "version", "action"]
FAILED_HEADER = ["host", "reason", "detail"]
HOSTS_HEADER = ["host", "outcome", "devices", "reason"]
MODELS_HEADER = ["product_id", "active_version", "version", "action", "devices"]
ACTIONS = ["upgrade", "downgrade", "rewrite"]
ACTION_COLOURS = {"upgrade": "#2b6cb0", "downgrade": "#c53030", "rewrite": "#718096"}
OTHER_COLOUR = "#d69e2e"
DEFAULT_MAX_DOCUMENT_BYTES = 1024 * 1024
OUTCOMES = "outcomes.json"
HOSTS_DIR = "hosts"
ROOT_ELEMENT = "tarn_rom_discovery"
DETAIL_CHARS = 2000
CHART_MODELS = 30
READ_CHUNK = 64 * 1024


class DocumentError(Exception):
    """A host's document that gives no rows; args: reason, detail."""


def safe_host_name(host):
    """True when host can stand as one path component of its own."""
    return (isinstance(host, str) and host not in ("", ".", "..") and "/" not in host
            and "\0" not in host and not host.startswith("-"))


def cell(text):
    """The text as a CSV cell no spreadsheet runs as a formula."""
    text = "" if text is None else str(text)
    return "'" + text if text[:1] in ("=", "+", "-", "@", "\t", "\r") else text


def one_line(text):
    """Whitespace runs made single blanks, cut to DETAIL_CHARS characters."""
    text = " ".join(str(text or "").split())
    return text if len(text) <= DETAIL_CHARS else text[:DETAIL_CHARS - 3] + "..."


def version_key(text):
    """Sorts 3.10.0.0 after 3.2.0.0: digit runs compare as numbers."""
    return [(0, int(part), "") if part.isdigit() else (1, 0, part)
            for part in re.split(r"(\d+)", text) if part]


def read_devices(path, limit):
    """The devices of the discovery document at path, each a dict of
    device_id, product_id, active_version, version, action; raises
    DocumentError. Reads at most limit bytes and keeps only the values, so
    memory stays bounded whatever the host sent; a document type or entity
    declaration is refused (the expansion of entities is what makes a small
    document take a lot of memory)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise DocumentError("no document", error.strerror) from error
    with os.fdopen(fd, "rb") as document:
        info = os.fstat(document.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise DocumentError("no document", "not a regular file")
        if info.st_size > limit:
            raise DocumentError("document too large",
                                "%d bytes, more than %d" % (info.st_size, limit))
        devices = []
        stack = []
        state = {"device": None, "item": 0}

        def refuse(what):
            def handler(*_args):
                raise DocumentError("not well-formed", "%s refused" % what)
            return handler

        def start(name, attributes):
            depth = len(stack)
            stack.append(name)
            if depth == 0 and name != ROOT_ELEMENT:
                raise DocumentError("not well-formed",
                                    "root element %s, not %s" % (name, ROOT_ELEMENT))
            if depth == 2 and name == "device" and stack[1] == "devices":
                state["device"] = dict.fromkeys(FLEET_HEADER[1:], "")
                state["item"] = 0
                devices.append(state["device"])
            elif state["device"] is None or depth < 3:
                return
            elif depth == 3 and name in ("device_id", "product_id"):
                state["device"][name] = attributes.get("value", "")
            elif depth == 3 and name == "fw_item":
                state["item"] += 1
            elif depth == 4 and state["item"] == 1 and name in FLEET_HEADER[3:]:
                state["device"][name] = attributes.get("value", "")

        def end(_name):
            stack.pop()
            if len(stack) == 2:
                state["device"] = None

        parser = expat.ParserCreate()
        parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
        parser.StartDoctypeDeclHandler = refuse("document type declaration")
        parser.EntityDeclHandler = refuse("entity declaration")
        parser.ExternalEntityRefHandler = refuse("external entity")
        parser.StartElementHandler = start
        parser.EndElementHandler = end
        total = 0
        try:
            while True:
                chunk = document.read(READ_CHUNK)
                total += len(chunk)
                if total > limit:
                    raise DocumentError("document too large", "more than %d bytes" % limit)
                parser.Parse(chunk, not chunk)
                if not chunk:
                    break
        except expat.ExpatError as error:
            raise DocumentError("not well-formed", str(error)) from error
        return devices


def read_outcomes(stream):
    """The run's outcomes: {"max_document_bytes": N, "hosts": [[HOST,
    OUTCOME], ...]}, or the bare list; an outcome is {"document": NAME,
    "max_document_bytes": N (optional)}, {"reason": REASON, "detail": TEXT}
    or null (the host left the play)."""
    data = json.load(stream)
    if isinstance(data, list):
        data = {"hosts": data}
    if not isinstance(data, dict) or not isinstance(data.get("hosts"), list):
        raise ValueError("outcomes: an object with a list \"hosts\" expected")
    for entry in data["hosts"]:
        if not (isinstance(entry, list) and len(entry) == 2):
            raise ValueError("outcomes: each host a pair [HOST, OUTCOME]")
        if entry[1] is None:
            # A host that dropped out of the play: it lost its connection.
            entry[1] = {"reason": "unreachable",
                        "detail": "the host left the play before its outcome was noted"}
        elif not isinstance(entry[1], dict):
            raise ValueError("outcomes: an outcome is an object or null")
    return data


class Report:
    """The report's content, gathered host by host."""

    def __init__(self):
        self.hosts = []        # [host, outcome, devices, reason, detail, counts]
        self.failed = []       # [host, reason, detail]
        self.downgrades = []   # fleet rows with action downgrade
        self.models = {}       # (product_id, active, version, action) -> devices
        self.counts = {action: 0 for action in ACTIONS}


def gather(run_dir, outcomes, default_limit, fleet_writer):
    """Reads every host's document, writes fleet.csv rows as it goes and
    returns the Report."""
    report = Report()
    for host, outcome in outcomes["hosts"]:
        host = str(host)
        reason, detail = outcome.get("reason"), outcome.get("detail", "")
        devices = []
        if reason is None and not safe_host_name(host):
            reason, detail = "unsafe host name", "not one plain path component"
        if reason is None:
            name = str(outcome.get("document", ""))
            limit = int(outcome.get("max_document_bytes") or default_limit)
            if not safe_host_name(name):
                reason, detail = "no document", "no plain document name given"
            else:
                try:
                    devices = read_devices(os.path.join(run_dir, HOSTS_DIR, host, name), limit)
                except DocumentError as error:
                    reason, detail = error.args
        if reason is not None:
            detail = one_line(detail)
            report.failed.append([host, reason, detail])
            report.hosts.append([host, "failed", "", reason, detail, {}])
            continue
        counts = {}
        for device in devices:
            row = [host] + [device[key] for key in FLEET_HEADER[1:]]
            fleet_writer.writerow([cell(value) for value in row])
            action = device["action"]
            counts[action] = counts.get(action, 0) + 1
            report.counts[action] = report.counts.get(action, 0) + 1
            key = (device["product_id"], device["active_version"], device["version"], action)
            report.models[key] = report.models.get(key, 0) + 1
            if action == "downgrade":
                report.downgrades.append(row)
        report.hosts.append([host, "ok", str(len(devices)), "", "", counts])
    return report


def model_rows(report):
    keys = sorted(report.models, key=lambda k: (k[0], version_key(k[1]), version_key(k[2]), k[3]))
    return [list(key) + [report.models[key]] for key in keys]


def svg_chart(report):
    """An inline SVG bar chart: devices per model, one stacked segment per
    action."""
    per_model = {}
    for (product, _active, _version, action), devices in report.models.items():
        per_model.setdefault(product, {})
        per_model[product][action] = per_model[product].get(action, 0) + devices
    models = sorted(per_model, key=lambda m: (-sum(per_model[m].values()), m))
    if len(models) > CHART_MODELS:
        rest = {}
        for model in models[CHART_MODELS - 1:]:
            for action, devices in per_model[model].items():
                rest[action] = rest.get(action, 0) + devices
        label = "(%d other models)" % (len(models) - CHART_MODELS + 1)
        models = models[:CHART_MODELS - 1] + [label]
        per_model[label] = rest
    if not models:
        return "<p>No devices.</p>"
    actions = ACTIONS + sorted({a for m in models for a in per_model[m]} - set(ACTIONS))
    top = max(sum(per_model[m].values()) for m in models)
    label_w, bar_w, row_h = 330, 380, 26
    height = 30 + row_h * len(models) + 10
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" role="img" '
           'aria-label="Devices per model and action">' % (label_w + bar_w + 60, height)]
    x = label_w
    for action in actions:
        colour = ACTION_COLOURS.get(action, OTHER_COLOUR)
        out.append('<rect x="%d" y="6" width="12" height="12" fill="%s"/>'
                   '<text x="%d" y="17">%s</text>' % (x, colour, x + 16, html.escape(action or "(none)")))
        x += 24 + 8 * len(action or "(none)")
    for row, model in enumerate(models):
        y = 30 + row * row_h
        name = model if len(model) <= 48 else model[:45] + "..."
        out.append('<text x="%d" y="%d" text-anchor="end">%s</text>'
                   % (label_w - 8, y + 16, html.escape(name or "(no model description)")))
        x = label_w
        for action in actions:
            devices = per_model[model].get(action, 0)
            if devices:
                width = max(1, round(bar_w * devices / top))
                out.append('<rect x="%d" y="%d" width="%d" height="20" fill="%s">'
                           '<title>%s</title></rect>'
                           % (x, y + 2, width, ACTION_COLOURS.get(action, OTHER_COLOUR),
                              html.escape("%s: %d %s" % (model, devices, action))))
                x += width
        out.append('<text x="%d" y="%d">%d</text>'
                   % (x + 6, y + 16, sum(per_model[model].values())))
    out.append("</svg>")
    return "".join(out)


def html_table(header, rows, css=""):
    out = ["<table%s><thead><tr>" % (' class="%s"' % css if css else "")]
    out += ["<th>%s</th>" % html.escape(h) for h in header]
    out.append("</tr></thead><tbody>")
    for row in rows:
        out.append("<tr>" + "".join("<td>%s</td>" % html.escape(str(v)) for v in row) + "</tr>")
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
.ok { color: #276749; } .failed { color: #c53030; font-weight: bold; }
svg text { font: 12px sans-serif; fill: #1a202c; }
"""


def html_page(run_name, report):
    ok = sum(1 for h in report.hosts if h[1] == "ok")
    counts = [[action, devices] for action, devices in report.counts.items()]
    counts += [["hosts", len(report.hosts)], ["hosts ok", ok], ["hosts failed", len(report.failed)]]
    actions = ACTIONS + sorted(set(report.counts) - set(ACTIONS))
    every = [[h[0], h[1], h[2]] + [h[5].get(a, "") if h[1] == "ok" else "" for a in actions]
             + [(h[3] + (": " + h[4] if h[4] else "")) if h[3] else ""] for h in report.hosts]
    title = "Discovery report %s" % run_name
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        # Nothing may come from elsewhere: no script, no image, no font.
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'\">",
        "<title>%s</title><style>%s</style></head><body>" % (html.escape(title), STYLE),
        "<h1>%s</h1>" % html.escape(title),
        "<h2>Devices per action</h2>",
        html_table(["action", "devices"], counts),
        "<h2>Devices per model and action</h2>",
        svg_chart(report),
        "<h2>Devices that would be downgraded (%d)</h2>" % len(report.downgrades),
        html_table(["host", "device_id", "product_id", "active_version", "version"],
                   [row[:5] for row in report.downgrades], "bad") if report.downgrades
        else "<p>None.</p>",
        "<h2>Failed hosts (%d)</h2>" % len(report.failed),
        html_table(FAILED_HEADER, report.failed, "bad") if report.failed else "<p>None.</p>",
        "<h2>Every host (%d)</h2>" % len(report.hosts),
        html_table(["host", "outcome", "devices"] + actions + ["reason"], every),
        "</body></html>",
    ]
    return "\n".join(parts) + "\n"


class AtomicFile:
    """A file written beside its final name and renamed onto it when whole."""

    def __init__(self, path, binary=False):
        self.path, self.temporary = path, path + ".tmp"
        self.file = open(self.temporary, "wb" if binary else "w",
                         **({} if binary else {"newline": "", "encoding": "utf-8"}))

    def __enter__(self):
        return self.file

    def __exit__(self, kind, _value, _trace):
        self.file.close()
        if kind is None:
            os.replace(self.temporary, self.path)
        else:
            os.unlink(self.temporary)


def csv_writer(out):
    return csv.writer(out, lineterminator="\n")


def write_report(run_dir, outcomes, default_limit):
    """Writes the report files of run_dir; returns the Report."""
    with AtomicFile(os.path.join(run_dir, "fleet.csv")) as out:
        fleet = csv_writer(out)
        fleet.writerow(FLEET_HEADER)
        report = gather(run_dir, outcomes, default_limit, fleet)
    tables = [("failed.csv", FAILED_HEADER, report.failed),
              ("hosts.csv", HOSTS_HEADER, [h[:4] for h in report.hosts]),
              ("models.csv", MODELS_HEADER, model_rows(report))]
    for name, header, rows in tables:
        with AtomicFile(os.path.join(run_dir, name)) as out:
            writer = csv_writer(out)
            writer.writerow(header)
            writer.writerows([cell(value) for value in row] for row in rows)
    with AtomicFile(os.path.join(run_dir, "report.html")) as out:
        out.write(html_page(os.path.basename(os.path.abspath(run_dir)), report))
    return report


def summary(run_dir, report):
    lines = ["%-10s %7s" % ("action", "devices")]
    lines += ["%-10s %7d" % (action, n) for action, n in report.counts.items()]
    lines.append("%-10s %7d" % ("hosts", len(report.hosts)))
    lines.append("%-10s %7d" % ("failed", len(report.failed)))
    lines += ["%s: %s%s" % (host, reason, " (%s)" % detail if detail else "")
              for host, reason, detail in report.failed]
    lines.append("report: %s" % os.path.join(os.path.abspath(run_dir), "report.html"))
    return "\n".join(lines)


def command_start(args):
    """Makes the directory of a new run and prints its path."""
    os.makedirs(args.report_dir, exist_ok=True)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    for attempt in range(1, 1000):
        run_dir = os.path.join(args.report_dir, stamp + ("" if attempt == 1 else "-%d" % attempt))
        try:
            os.mkdir(run_dir)
        except FileExistsError:
            continue
        os.mkdir(os.path.join(run_dir, HOSTS_DIR))
        print(os.path.abspath(run_dir))
        return 0
    raise OSError(errno.EEXIST, "no free run directory name", stamp)


def point_latest(run_dir):
    """Points the link latest beside run_dir at it, replacing it whole."""
    parent, name = os.path.split(os.path.abspath(run_dir))
    temporary = os.path.join(parent, ".latest.%d" % os.getpid())
    os.symlink(name, temporary)
    try:
        os.replace(temporary, os.path.join(parent, "latest"))
    except OSError:
        os.unlink(temporary)
        raise


def command_write(args):
    """Saves the outcomes given on standard input in the run's directory,
    writes its report and points latest at it."""
    outcomes = read_outcomes(sys.stdin)
    outcomes.setdefault("max_document_bytes", args.max_document_bytes)
    with AtomicFile(os.path.join(args.run_dir, OUTCOMES)) as out:
        json.dump(outcomes, out, indent=1)
        out.write("\n")
    report = write_report(args.run_dir, outcomes, int(outcomes["max_document_bytes"]))
    point_latest(args.run_dir)
    print(summary(args.run_dir, report))
    # Last line, for the play: the failed hosts and why.
    print(json.dumps({host: reason + (": " + detail if detail else "")
                      for host, reason, detail in report.failed}))
    return 0


def command_rebuild(args):
    """Writes a run's report again from its outcomes.json and documents."""
    with open(os.path.join(args.run_dir, OUTCOMES), encoding="utf-8") as stream:
        outcomes = read_outcomes(stream)
    limit = int(outcomes.get("max_document_bytes") or DEFAULT_MAX_DOCUMENT_BYTES)
    report = write_report(args.run_dir, outcomes, limit)
    print(summary(args.run_dir, report))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="fleet_report.py", description=__doc__.split("\n\n")[0],
        epilog=__doc__.split("\n", 2)[2], formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    start = commands.add_parser("start", help="make the directory of a new run, print its path")
    start.add_argument("report_dir", metavar="REPORT_DIR")
    start.set_defaults(run=command_start)
    write = commands.add_parser(
        "write", help="save the outcomes read from standard input (JSON), write the report; "
        "the last line printed is a JSON object of the failed hosts and why")
    write.add_argument("run_dir", metavar="RUN_DIR")
    write.add_argument("--max-document-bytes", type=int, default=DEFAULT_MAX_DOCUMENT_BYTES,
                       metavar="N", help="largest document read (default %(default)d); "
                       "a host's own limit in the outcomes comes first")
    write.set_defaults(run=command_write)
    rebuild = commands.add_parser(
        "rebuild", help="write a run's report again from its outcomes.json and documents")
    rebuild.add_argument("run_dir", metavar="RUN_DIR")
    rebuild.set_defaults(run=command_rebuild)
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (OSError, ValueError) as error:
        print("fleet_report.py: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
