# SPDX-License-Identifier: Apache-2.0
"""Writing a run's report files: the CSV files, failed.hosts, run.json and
report.html, the page made from templates/report.html.j2 with every value
escaped by Jinja2's autoescape."""

import csv
import json
import os
from collections import Counter, defaultdict

import jinja2

from .compare import add_changes
from .document import DocumentError, read_document
from .names import HOSTS_DIR, RUN
from .outcomes import gather
from .records import (ACTIONS, CHANGES_HEADER, DEFAULT_MAX_DOCUMENT_BYTES, FAILED_HEADER,
                      FLEET_HEADER, HOSTS_HEADER, MODELS_HEADER, cell, version_key)

ACTION_COLOURS = {"upgrade": "#2b6cb0", "downgrade": "#c53030", "rewrite": "#718096"}
OTHER_COLOUR = "#d69e2e"
CHART_MODELS = 30
HTML_CHANGES = 200
TEMPLATES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "templates")


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


def chart(report):
    """The bar chart of devices per model, one stacked segment per action,
    as the positions the page's SVG draws (None without devices)."""
    per_model = chart_models(report)
    if not per_model:
        return None
    actions = ACTIONS + sorted({a for counts in per_model.values() for a in counts} - set(ACTIONS))
    top = max(sum(counts.values()) for counts in per_model.values())
    label_w, bar_w, row_h = 330, 380, 26
    legend, rows, x = [], [], label_w
    for action in actions:
        label = action or "(none)"
        legend.append({"x": x, "colour": ACTION_COLOURS.get(action, OTHER_COLOUR), "label": label})
        x += 24 + 8 * len(label)
    for row, (model, counts) in enumerate(per_model.items()):
        y, x, bars = 30 + row * row_h, label_w, []
        for action in actions:
            devices = counts.get(action, 0)
            if devices:
                width = max(1, round(bar_w * devices / top))
                bars.append({"x": x, "width": width, "colour": ACTION_COLOURS.get(action, OTHER_COLOUR),
                             "title": f"{model}: {devices} {action}"})
                x += width
        rows.append({"y": y, "name": (model if len(model) <= 48 else model[:45] + "...")
                     or "(no model description)", "bars": bars, "end": x,
                     "total": sum(counts.values())})
    return {"width": label_w + bar_w + 60, "height": 30 + row_h * len(per_model) + 10,
            "label_x": label_w - 8, "legend": legend, "rows": rows}


def page_values(report):
    """What templates/report.html.j2 shows of the report."""
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
    facts = report.facts
    component = facts.get("component") or {}
    run = [["component", ", ".join(component.get("dirs") or [])],
           ["component version", component.get("version", "")],
           ["limit", facts.get("limit") or "(whole inventory)"],
           ["start", facts.get("start", "")], ["end", facts.get("end", "")],
           ["compared with", report.compared_with or "nothing"]]
    run += [["skipped", f"{skip['run']}: {skip['why']}"] for skip in report.skipped]
    changes = report.changes
    return {
        "title": f"Discovery report {report.run_name}",
        "run": run,
        "hosts": len(report.hosts),
        "failed": [[h.host, h.reason, h.detail] for h in failed],
        "reasons": [[reason, hosts] for reason, hosts in report.reason_counts().most_common()],
        "changes": None if changes is None else [change.row() for change in changes[:HTML_CHANGES]],
        "changes_total": len(changes or []),
        "compared_with": report.compared_with,
        "counts": counts,
        "chart": chart(report),
        "downgrades": [device.row(host)[:5] for host, device in report.devices()
                       if device.action == "downgrade"],
        "actions": actions,
        "every": every,
        "CHANGES_HEADER": CHANGES_HEADER,
        "FAILED_HEADER": FAILED_HEADER,
    }


def html_page(report):
    """report.html: one self-contained page."""
    environment = jinja2.Environment(
        loader=jinja2.FileSystemLoader(TEMPLATES), autoescape=True, trim_blocks=True,
        lstrip_blocks=True, keep_trailing_newline=True, undefined=jinja2.StrictUndefined)
    return environment.get_template("report.html.j2").render(page_values(report))


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
