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

Exit status: 0 done (failed hosts are part of a report, not a failure of the
tool); 1 a file that could not be read or written, or input that is not what
the command reads (the reason on standard error); 2 a wrong command line.
"""

import argparse
import datetime
import errno
import inspect
import json
import os
import shutil
import sys

from .bundle import make_bundles
from .compare import latest_run
from .names import HOSTS_DIR, LATEST, OUTCOMES, UNSAFE_HOST_NAME, UNSAFE_NAME, safe_host_name
from .outcomes import host_outcomes, read_outcomes
from .records import DEFAULT_MAX_DOCUMENT_BYTES, HostResult, Report, one_line

PROG = "fleet_report"


def render():
    """The module that writes the report's files, imported by the commands
    that write them alone: the page needs Jinja2, which the Python that
    runs Ansible has, and another Python may not."""
    try:
        from . import render as module  # pylint: disable=import-outside-toplevel
    except ImportError as error:
        raise OSError(f"{error}: the report's page needs Jinja2 (Debian: python3-jinja2); "
                      "run the tool with the Python that runs Ansible") from error
    return module


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


def command_start(args, _stdin, stdout):
    """Makes REPORT_DIR if need be and, in it, the directory of a new run, named
    after the UTC time now (YYYYmmddTHHMMSSZ; -2, -3, ... when the name is
    taken), with its hosts/ folder; prints the run directory's absolute path.
    Reads nothing."""
    os.makedirs(args.report_dir, exist_ok=True)
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%dT%H%M%SZ")
    for attempt in range(1, 1000):
        run_dir = os.path.join(args.report_dir, stamp + ("" if attempt == 1 else f"-{attempt}"))
        try:
            os.mkdir(run_dir)
        except FileExistsError:
            continue
        os.mkdir(os.path.join(run_dir, HOSTS_DIR))
        print(os.path.abspath(run_dir), file=stdout)
        return 0
    raise OSError(errno.EEXIST, "no free run directory name", stamp)


def command_bundle(args, stdin, stdout):
    """Reads a JSON list of [COMPONENT_DIR, TOOL] pairs on standard input (TOOL
    empty: the hosts' installed hba-discovery) and SCRIPT. Writes, in a fresh
    private directory (hba-bundles.*, below --parent), one script per pair:
    SCRIPT followed by a tar of the component directory and the tool. Prints
    {"dir": DIR, "bundles": {'["COMPONENT_DIR", "TOOL"]': {"path": PATH,
    "offset": N, "tool": "bundled" or "installed"}}}; a pair that cannot go
    to the hosts gets {"refused": {"reason": ..., "detail": ...}} instead."""
    bundles = make_bundles(json.load(stdin), args.script, args.parent, args.check)
    print(json.dumps(bundles), file=stdout)
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


def command_write(args, stdin, stdout):
    """Reads the play's JSON on standard input: {"run": {...}, "hosts": [HOST,
    ...]}, each host's result then read from RUN_DIR/results/HOST.json and
    RUN_DIR/incoming/HOST, where the role's action wrote it (or, as a rebuild
    stores them, the hosts' outcomes). Nothing on standard input (< /dev/null)
    writes the report of every host with a result in RUN_DIR/results, as
    for a run interrupted before its report. Writes into RUN_DIR each host's
    document (hosts/HOST/), outcomes.json, run.json, the CSV files,
    failed.hosts and report.html, then points REPORT_DIR/latest at RUN_DIR.
    Prints a summary; its last line is a JSON object of the failed hosts and
    why."""
    try:
        # Before anything is stored: without the page's Jinja2, the run's
        # directory is left as the play wrote it, to be written again.
        writer = render()
        data = read_outcomes(stdin, args.run_dir)
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
    with writer.AtomicFile(os.path.join(args.run_dir, OUTCOMES)) as out:
        json.dump(outcomes, out, indent=1)
        out.write("\n")
    report = writer.write_report(args.run_dir, outcomes, int(outcomes["max_document_bytes"]))
    point_latest(args.run_dir)
    print(summary(report, args.run_dir), file=stdout)
    print(failed_line(report), file=stdout)
    return 0


def command_check(args, stdin, stdout):
    """Reads the play's JSON of a --check run on standard input, each host's
    result beside its name. Prints a line a host, "HOST: ready (WHAT)" or
    "HOST: REASON (DETAIL)"; the last line is a JSON object of the failed
    hosts and why. Writes nothing (but removes --remove's directory)."""
    try:
        data = read_outcomes(stdin)
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
                                    else f"ready ({result.note})"), file=stdout)
    print(failed_line(report), file=stdout)
    return 0


def command_rebuild(args, _stdin, stdout):
    """Reads RUN_DIR/outcomes.json and the documents below RUN_DIR/hosts/. Writes
    the report files again (run.json, the CSV files, failed.hosts,
    report.html), compared with the same earlier run as when it was first
    written; leaves REPORT_DIR/latest as it is. Prints the summary."""
    with open(os.path.join(args.run_dir, OUTCOMES), encoding="utf-8") as stream:
        outcomes = read_outcomes(stream)
    outcomes["hosts"] = host_outcomes(outcomes)
    limit = int(outcomes.get("max_document_bytes") or DEFAULT_MAX_DOCUMENT_BYTES)
    report = render().write_report(args.run_dir, outcomes, limit)
    print(summary(report, args.run_dir), file=stdout)
    return 0


def parser():
    """The command line: a command each, its help saying what it reads and
    what it writes."""
    top = argparse.ArgumentParser(
        prog=PROG, description=__doc__.split("\n\n", maxsplit=1)[0],
        epilog=__doc__.split("\n", 2)[2], formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                  title="commands (COMMAND --help for what each reads and writes)")

    def command(name, run, summary_line):
        # The command's --help: what it reads and writes, its docstring.
        sub = commands.add_parser(name, help=summary_line,
                                  description=inspect.cleandoc(run.__doc__),
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        return sub

    start = command("start", command_start, "make the directory of a new run, print its path")
    start.add_argument("report_dir", metavar="REPORT_DIR")
    bundle = command("bundle", command_bundle,
                     "make the scripts the hosts run, one per component and tool")
    bundle.add_argument("script", metavar="SCRIPT", help="the role's files/hba-discover.sh")
    bundle.add_argument("--check", action="store_true",
                        help="without payload, for --check; the component checked too")
    bundle.add_argument("--parent", metavar="DIR",
                        help="where the bundles' private directory is made (default: TMPDIR)")
    write = command("write", command_write, "store what the hosts returned, write the run's report")
    write.add_argument("run_dir", metavar="RUN_DIR")
    write.add_argument("--max-document-bytes", type=int, default=DEFAULT_MAX_DOCUMENT_BYTES,
                       metavar="N", help="largest document read (default %(default)d); "
                       "a host's own limit in the outcomes comes first")
    write.add_argument("--remove", metavar="BUNDLE_DIR", help="remove the bundles' directory")
    check = command("check", command_check, "say what a --check run found on each host; writes nothing")
    check.add_argument("--remove", metavar="BUNDLE_DIR", help="remove the bundles' directory")
    rebuild = command("rebuild", command_rebuild,
                      "write a run's report again from its outcomes.json and documents")
    rebuild.add_argument("run_dir", metavar="RUN_DIR")
    return top


def main(argv=None, stdin=None, stdout=None, stderr=None):
    """Runs the command of argv (default: the command line) with its input
    from stdin and its output to stdout (default: the process's streams);
    returns the exit status."""
    args = parser().parse_args(argv)
    stdin, stdout = stdin or sys.stdin, stdout or sys.stdout
    try:
        return args.run(args, stdin, stdout)
    except (OSError, ValueError) as error:
        print(f"{PROG}: {error}", file=stderr or sys.stderr)
        return 1
