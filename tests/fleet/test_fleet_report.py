#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Unit tests of the report tool, the package
deploy/ansible_collections/durozaz/hba_discovery/plugins/module_utils/fleet_report,
without Ansible: reading a document, each reason from what a host returned,
formula cells, the comparison with the previous run, the rebuild, the page's
escaping, the command line; and the property that one
host's damaged answer spoils no other host's report (with Debian's
python3-hypothesis: without it the other tests run and the script exits 77,
skipped)."""

import base64
import csv
import filecmp
import html.parser
import io
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

try:
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st
except ImportError:
    st = None

HERE = os.path.dirname(os.path.abspath(__file__))
MODULE_UTILS = os.path.join(HERE, "..", "..", "deploy", "ansible_collections", "durozaz", "hba_discovery",
                            "plugins", "module_utils")
sys.path.insert(0, MODULE_UTILS)
# pylint: disable=wrong-import-position
from fleet_report import cli as fr_cli  # noqa: E402
from fleet_report import compare as fr_compare  # noqa: E402
from fleet_report import document as fr_document  # noqa: E402
from fleet_report import names as fr_names  # noqa: E402
from fleet_report import outcomes as fr_outcomes  # noqa: E402
from fleet_report import protocol as fr_protocol  # noqa: E402
from fleet_report import records as fr_records  # noqa: E402

EXPECTED = os.path.join(HERE, "..", "e2e", "cases", "actions", "expected.xml")
with open(EXPECTED, "rb") as stream:
    DOCUMENT = stream.read()


def b64(data):
    return base64.b64encode(data if isinstance(data, bytes) else data.encode()).decode()


def said(outcome, detail="", status=None, document=None, counts="0 0", end=True):
    """The stdout of the discovery script, as ssh -tt would bring it."""
    lines = [f"HBA1 version {b64('hba-discovery 1.0.0')}", f"HBA1 counts {counts}"]
    if status is not None:
        lines.append(f"HBA1 status {status}")
    if document is not None:
        lines.append(f"HBA1 document {b64('FCBOOT32_disc.xml')} {len(document)}")
        data = b64(document)
        lines += [f"HBA1 data {data[i:i + 76]}" for i in range(0, len(data), 76)]
    lines += [f"HBA1 outcome {outcome}", f"HBA1 detail {b64(detail)}"]
    if end:
        lines.append("HBA1 end")
    return "\r\n".join(["login banner"] + lines) + "\r\n"


class ReadDocument(unittest.TestCase):
    def parse(self, text, limit=1 << 20):
        return fr_document.parse_document(io.BytesIO(text.encode() if isinstance(text, str) else text), limit)

    def test_devices_and_version(self):
        devices, header = self.parse(DOCUMENT)
        self.assertEqual(header, {"version": "3.2.1.0"})
        self.assertEqual(devices[0], fr_records.Device("1A2B.0013.1A2B.0014", "Durozaz FC-8200 (older BIOS)",
                                               "3.0.2.0", "3.2.1.0", "upgrade"))
        self.assertEqual([d.action for d in devices], ["upgrade", "downgrade", "rewrite"])

    def test_refused(self):
        cases = [
            ('<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "aaaa">]><tarn_rom_discovery/>',
             ("not well-formed", "document type declaration refused")),
            ("<other/>", ("not well-formed", "root element other, not tarn_rom_discovery")),
            (DOCUMENT[:100], ("not well-formed", None)),
            (DOCUMENT, ("document too large", f"more than {len(DOCUMENT) - 1} bytes")),
            (DOCUMENT.replace(b'"upgrade"', b'"reflash"'),
             ("not well-formed", 'device 1: action "reflash" is not upgrade, downgrade or rewrite')),
            (DOCUMENT.replace(b'"rewrite"', b'"' + b"x" * 100000 + b'"'),
             ("not well-formed", f'device 3: action "{"x" * 77}..." is not upgrade, downgrade or rewrite')),
            (DOCUMENT.replace(b'<action value="rewrite"/>', b""), ("not well-formed", "device 3: no action")),
            (DOCUMENT.replace(b'active_version value="3.0.2.0"', 'active_version value="3²"'.encode()),
             ("not well-formed", 'device 1: active_version "3²" is not a version number')),
        ]
        for text, (reason, detail) in cases:
            with self.subTest(reason=reason, detail=detail):
                with self.assertRaises(fr_document.DocumentError) as caught:
                    self.parse(text, len(DOCUMENT) - 1 if reason == "document too large" else 1 << 20)
                self.assertEqual(caught.exception.args[0], reason)
                if detail:
                    self.assertEqual(caught.exception.args[1], detail)


class Reasons(unittest.TestCase):
    """What a host returned, to its outcome."""

    def test_each_reason(self):
        cases = [
            ({"unreachable": True, "msg": "ssh: connect to host 127.0.0.1 port 9: Connection refused"},
             "unreachable", "port 9"),
            ({"failed": True, "msg": "Missing sudo password"}, "become failed", "Missing sudo password"),
            ({"rc": 127, "stdout": "/bin/sh: 0: cannot open x"}, "tool failed",
             "the discovery did not finish: exit status 127: /bin/sh: 0: cannot open x"),
            ({"rc": 0, "stdout": said("ok", document=DOCUMENT, end=False)}, "tool failed",
             "did not finish"),
            ({"rc": 0, "stdout": said("tool-failed", "boom", status=3)}, "tool failed",
             "exit status 3: boom"),
            ({"rc": 0, "stdout": said("tool-failed", "", status=1)}, "tool failed", "exit status 1"),
            ({"rc": 0, "stdout": said("no-document", "hba-discovery: KT582304.xml cannot be read")},
             "no document", "KT582304.xml cannot be read"),
            ({"rc": 0, "stdout": said("too-large", "2000000 bytes, more than 1048576")},
             "document too large", "2000000 bytes"),
            ({"rc": 0, "stdout": said("noexec", "/tmp/x: a program there cannot run")},
             "cannot execute in temporary directory", "/tmp/x"),
            ({"rc": 0, "stdout": said("tool-not-installed", "hba-discovery is not on PATH (/bin)")},
             "tool not installed", "not on PATH"),
            ({"rc": 0, "stdout": said("no-temporary-directory", "/nope: No such file")},
             "no temporary directory", "/nope"),
            ({"rc": 0, "stdout": said("ok", document=DOCUMENT).replace("HBA1 data ", "HBA1 data !", 1)},
             "not well-formed", "damaged"),
            ({"rc": 0, "stdout": said("ok", document=DOCUMENT)}, "document too large", "bytes, more than 100"),
            ({"rc": 0, "stdout": said("ok", document=DOCUMENT, counts="² 0")}, "not well-formed",
             'counts "² 0" are not numbers'),
            ({"rc": 0, "stdout": said("ok", document=DOCUMENT, counts="0 " + "9" * 5000)},
             "not well-formed", "are not numbers"),
            ({"rc": 0, "stdout": said("ok", document=DOCUMENT).replace(f" {len(DOCUMENT)}\r\n", " ²\r\n")},
             "not well-formed", 'size "²" is not a number'),
            # A terminal title and a banner without a line end before the first line.
            ({"rc": 0, "stdout": "\x1b]0;root@host28: ~\x07Welcome to host28HBA1 outcome tool-not-installed\r\n"
                                 f"HBA1 detail {b64('hba-discovery is not on PATH (/bin)')}\r\nHBA1 end\r\n"},
             "tool not installed", "not on PATH"),
            ({"rc": 0, "stdout": said("no-document", "hba-discovery: cannot run the discovery's commands: "
                                      "lspci is not on PATH (/usr/bin:/bin); no discovery document written")},
             "command not found", "lspci is not on PATH (/usr/bin:/bin)"),
            ({"changed": False, "hba_refused": {"reason": "invalid variables",
                                                "detail": "hba_max_document_bytes: not an int"}},
             "invalid variables", "not an int"),
            ({"hba_refused": {"reason": "bad component", "detail": "/c/bfa_boot_fw: a link to nowhere"}},
             "bad component", "a link to nowhere"),
        ]
        for result, reason, detail in cases:
            with self.subTest(reason=reason, detail=detail):
                outcome, document = fr_protocol.script_outcome(result, 100 if "more than 100" in detail else 1 << 20)
                self.assertIsNone(document)
                self.assertEqual(outcome["reason"], reason)
                self.assertIn(detail, outcome["detail"])

    def test_document_and_why_no_device(self):
        outcome, document = fr_protocol.script_outcome({"rc": 0, "stdout": said("ok", document=DOCUMENT)}, 1 << 20)
        self.assertEqual(document, DOCUMENT)
        self.assertEqual(outcome["document"], "FCBOOT32_disc.xml")
        self.assertEqual(outcome["tool_version"], "hba-discovery 1.0.0")
        for counts, note in [("0 0", fr_records.NO_ADAPTER), ("2 0", fr_records.NONE_SUPPORTED),
                             ("1 1", fr_records.NO_INSTALLED_VERSION)]:
            with self.subTest(counts=counts):
                outcome, _ = fr_protocol.script_outcome({"stdout": said("ok", document=b"x", counts=counts)}, 100)
                self.assertEqual(fr_outcomes.no_device_note(outcome), note)

    def test_each_host_its_own_limit(self):
        big = DOCUMENT.replace(b"</tarn_rom_discovery>", b"<!-- " + b"0" * 1500000 + b" -->\n</tarn_rom_discovery>")
        data = {"hosts": ["own", "default", "smaller"],
                "results": [{"stdout": said("ok", document=big), "max_document_bytes": 2097152},
                            {"stdout": said("ok", document=big)},
                            {"stdout": said("ok", document=DOCUMENT), "max_document_bytes": 100}]}
        with tempfile.TemporaryDirectory() as run_dir:
            outcomes = fr_outcomes.host_outcomes(fr_outcomes.read_outcomes(io.StringIO(json.dumps(data))), run_dir)
            report = fr_outcomes.gather(run_dir, {"hosts": outcomes}, fr_records.DEFAULT_MAX_DOCUMENT_BYTES)
        self.assertEqual([(h.reason, len(h.devices)) for h in report.hosts],
                         [("", 3), ("document too large", 0), ("document too large", 0)])

    def test_what_the_host_sent_read_from_the_run(self):
        """The role's action writes each host's answer to incoming/HOST and
        names it in the result; the report reads it there, and nowhere else."""
        data = {"hosts": ["sent", "elsewhere", "gone", "huge", "inline"],
                "results": [{"rc": 0, "stdout": "", "sent": "incoming/sent"},
                            {"rc": 0, "stdout": "", "sent": "incoming/sent/../../x"},
                            {"rc": 0, "stdout": "", "sent": "incoming/gone"},
                            {"rc": 0, "stdout": "", "sent": "incoming/huge", "max_document_bytes": 100},
                            {"rc": 0, "stdout": said("ok", document=DOCUMENT)}]}
        with tempfile.TemporaryDirectory() as run_dir:
            os.mkdir(os.path.join(run_dir, "incoming"))
            for host in ("sent", "huge"):
                with open(os.path.join(run_dir, "incoming", host), "w", encoding="utf-8") as out:
                    out.write(said("ok", document=DOCUMENT) + "x" * 70000)
            outcomes = fr_outcomes.host_outcomes(fr_outcomes.read_outcomes(io.StringIO(json.dumps(data))), run_dir)
            report = fr_outcomes.gather(run_dir, {"hosts": outcomes}, fr_records.DEFAULT_MAX_DOCUMENT_BYTES)
        self.assertEqual([(h.reason, len(h.devices)) for h in report.hosts],
                         [("", 3), ("not well-formed", 0), ("not well-formed", 0),
                          ("not well-formed", 0), ("", 3)])
        self.assertIn("more than 65736 characters", report.hosts[3].detail)

    def test_names_never_become_paths(self):
        data = {"hosts": ["..", "a"],
                "results": [{"stdout": said("ok", document=DOCUMENT)},
                            {"stdout": said("ok", document=DOCUMENT).replace(
                                b64("FCBOOT32_disc.xml"), b64("../x_disc.xml"))}]}
        with tempfile.TemporaryDirectory() as run_dir:
            outcomes = fr_outcomes.host_outcomes(fr_outcomes.read_outcomes(io.StringIO(json.dumps(data))), run_dir)
            self.assertEqual(os.listdir(run_dir), [])
        self.assertEqual([o["reason"] for _h, o in outcomes], ["unsafe host name", "no document"])


class Cells(unittest.TestCase):
    def test_formula_cells(self):
        for text, written in [("=SUM(1+1)", "'=SUM(1+1)"), ("+1", "'+1"), ("-1", "'-1"), ("@A", "'@A"),
                              ("\tx", "'\tx"), ("\rx", "'\rx"), ("plain", "plain"), ("'=x", "'=x"),
                              ("", ""), (None, "")]:
            with self.subTest(text=text):
                self.assertEqual(fr_records.cell(text), written)
                if text and not text.startswith("'"):
                    self.assertEqual(fr_records.uncell(written), text)


def host(name, *devices, reason=""):
    return fr_records.HostResult(name, reason, devices=[fr_records.Device(*d) for d in devices])


FC8 = ("1A2B.0013.1A2B.0014", "FC-8200")
OLD, NEWER = FC8 + ("3.0.2.0", "3.2.1.0", "upgrade"), FC8 + ("3.3.0.0", "3.2.1.0", "downgrade")


class Comparison(unittest.TestCase):
    def test_changes(self):
        previous = {"a": host("a", FC8 + ("3.2.1.0", "3.2.1.0", "rewrite")),
                    "b": host("b", FC8 + ("3.0.2.0", "3.2.1.0", "upgrade")),
                    "c": host("c", reason="unreachable"),
                    "d": host("d", FC8 + ("3.0.2.0", "3.2.1.0", "upgrade"),
                              FC8 + ("3.0.2.0", "3.2.1.0", "upgrade")),
                    "e": host("e", OLD, NEWER), "f": host("f", OLD, NEWER),
                    "gone": host("gone", FC8 + ("3.1.0.0", "3.2.1.0", "upgrade"))}
        report = fr_records.Report("now", hosts=[
            host("a", FC8 + ("3.3.0.0", "3.2.1.0", "downgrade")),
            host("b", reason="unreachable"),
            host("c", FC8 + ("3.0.2.0", "3.2.1.0", "upgrade")),
            host("d", FC8 + ("3.0.2.0", "3.2.1.0", "upgrade")),
            host("e", NEWER),           # the first of two like adapters removed
            host("f", NEWER, OLD),      # the same two, listed the other way round
            host("new", FC8 + ("3.0.2.0", "3.2.1.0", "upgrade"))])
        expected = [
            ["a", FC8[0], "installed version", "3.2.1.0", "3.3.0.0"],
            ["a", FC8[0], "action", "rewrite", "downgrade"],
            ["b", "", "host now failing", "ok", "unreachable"],
            ["c", "", "host recovered", "unreachable", "ok"],
            ["c", FC8[0], "appeared", "", "3.0.2.0"],
            ["d", FC8[0], "gone", "3.0.2.0", ""],
            ["e", FC8[0], "gone", "3.0.2.0", ""],
            ["new", FC8[0], "appeared", "", "3.0.2.0"],
        ]
        self.assertEqual([c.row() for c in fr_compare.compare(previous, report, False)], expected)
        self.assertEqual([c.row() for c in fr_compare.compare(previous, report, True)],
                         expected + [["gone", FC8[0], "gone", "3.1.0.0", ""]])


OK = {"rc": 0, "stdout": said("ok", document=DOCUMENT)}
NEWER_BIOS = {"rc": 0, "stdout": said("ok", document=DOCUMENT.replace(b"3.0.2.0", b"3.1.0.0"))}


class Page(html.parser.HTMLParser):
    """The elements of report.html and the text a browser shows of it."""

    def __init__(self, page):
        super().__init__()
        self.tags, self.parts = set(), []
        self.feed(page)
        self.close()
        self.text = "".join(self.parts)

    def handle_starttag(self, tag, attrs):
        self.tags.add(tag)

    def handle_data(self, data):
        self.parts.append(data)


def read(run_dir, name):
    with open(os.path.join(run_dir, name), encoding="utf-8") as stream:
        return json.load(stream) if name.endswith(".json") else stream.read()


class WriteAndRebuild(unittest.TestCase):
    def write(self, report_dir, name, results, limit=""):
        run_dir = os.path.join(report_dir, name)
        os.makedirs(os.path.join(run_dir, "hosts"))
        data = {"hosts": [h for h, _ in results], "results": [r for _, r in results],
                "run": {"limit": limit, "inventory": ["inv"]}}
        out = io.StringIO()
        self.assertEqual(fr_cli.main(["write", run_dir], stdin=io.StringIO(json.dumps(data)), stdout=out), 0)
        return run_dir, out.getvalue()

    def test_one_host_spoils_nothing(self):
        name = b64("FCBOOT32_disc.xml")
        hostile = [
            ("counts", said("ok", document=DOCUMENT, counts="² 0"), 'counts "² 0" are not numbers'),
            ("size", said("ok", document=DOCUMENT).replace(f" {len(DOCUMENT)}\r", " ²\r"),
             'size "²" is not a number'),
            ("long-name", said("ok", document=DOCUMENT).replace(name, b64("x" * 291 + "_disc.xml")),
             "the report could not take this host's answer: File name too long"),
            ("version", said("ok", document=DOCUMENT.replace(b'"3.0.2.0"', '"3²"'.encode())),
             'device 1: active_version "3²" is not a version number'),
            ("action", said("ok", document=DOCUMENT.replace(b'"downgrade"', b'"made-up"')),
             'device 2: action "made-up" is not upgrade, downgrade or rewrite'),
        ]
        with tempfile.TemporaryDirectory() as report_dir:
            run_dir, printed = self.write(report_dir, "20260101T000000Z",
                                          [("a", OK)] + [(h, {"rc": 0, "stdout": out}) for h, out, _ in hostile])
            self.assertEqual(read(run_dir, "hosts.csv").splitlines(),
                             ["host,outcome,devices,reason", "a,ok,3,"]
                             + [f"{h},failed,,not well-formed" for h, _, _ in hostile])
            self.assertEqual(json.loads(printed.splitlines()[-1]),
                             {h: f"not well-formed: {why}" for h, _, why in hostile})
            self.assertEqual(sorted(os.listdir(os.path.join(run_dir, "hosts"))), ["a", "action", "version"])

    def test_compared_with_the_last_report_written(self):
        # The clock went ahead two hours for the second run, then back.
        with tempfile.TemporaryDirectory() as report_dir:
            self.write(report_dir, "20260101T100000Z", [("a", OK)])
            self.write(report_dir, "20260101T120000Z", [("a", NEWER_BIOS)])
            now, printed = self.write(report_dir, "20260101T103000Z", [("a", OK)])
            self.assertEqual(read(now, "run.json")["compared_with"], "20260101T120000Z")
            change = "a,1A2B.0013.1A2B.0014,installed version,3.1.0.0,3.0.2.0"
            self.assertEqual(read(now, "changes.csv").splitlines()[1:], [change])
            self.assertIn("changes since 20260101T120000Z: 1", printed)
            # Rebuilt once more runs are written, it compares with the same one.
            self.write(report_dir, "20260101T110000Z", [("a", NEWER_BIOS)])
            self.assertEqual(fr_cli.main(["rebuild", now], stdout=io.StringIO()), 0)
            self.assertEqual(read(now, "changes.csv").splitlines()[1:], [change])

    def test_damaged_earlier_run_skipped(self):
        def append(name, text, mode="a"):
            def damage(run):
                with open(os.path.join(run, name), mode) as stream:
                    stream.write(text)
            return damage

        def cut(name):
            def damage(run):
                with open(os.path.join(run, name), "r+", encoding="utf-8") as stream:
                    stream.truncate(len(stream.read().rsplit("\n", 2)[0]) + 1)
            return damage
        cases = [
            (lambda run: os.unlink(os.path.join(run, "fleet.csv")), "fleet.csv: No such file or directory"),
            (append("hosts.csv", "b,ok\n"), "hosts.csv, line 3: 2 fields, not 4"),
            (append("hosts.csv", "b,ok,many,\n"), 'hosts.csv: host "b" neither ok with a number of '
             "devices nor failed with a reason"),
            (cut("fleet.csv"), 'fleet.csv: 2 devices of host "a", hosts.csv says 3'),
            (append("hosts.csv", b"\xff", "wb"),
             "hosts.csv: 'utf-8' codec can't decode byte 0xff in position 0: invalid start byte"),
            (append("run.json", "}"), "run.json missing or unreadable"),
            (lambda run: os.unlink(os.path.join(run, "report.html")), "no report.html"),
            (lambda run: shutil.rmtree(run), "not there"),
        ]
        for damage, why in cases:
            with self.subTest(why=why), tempfile.TemporaryDirectory() as report_dir:
                self.write(report_dir, "20260101T000000Z", [("a", OK)])
                damaged, _ = self.write(report_dir, "20260101T000001Z", [("a", OK)])
                damage(damaged)
                now, printed = self.write(report_dir, "20260101T000002Z", [("a", NEWER_BIOS)])
                facts = read(now, "run.json")
                self.assertEqual((facts["compared_with"], facts["skipped"]),
                                 ("20260101T000000Z", [{"run": "20260101T000001Z", "why": why}]))
                self.assertEqual(read(now, "changes.csv").splitlines()[1:],
                                 ["a,1A2B.0013.1A2B.0014,installed version,3.0.2.0,3.1.0.0"])
                self.assertIn(f"  skipped 20260101T000001Z: {why}\n", printed)
                self.assertIn(f"20260101T000001Z: {why}", Page(read(now, "report.html")).text)

    def test_page_shows_markup_as_text(self):
        """Host names, details and model names are shown as written, never
        taken for elements, in the tables and in the chart alike."""
        hostile = '<img src=x onerror="alert(1)">&amp;\'q\''
        model = DOCUMENT.replace(b"Durozaz FC-8200 (older BIOS)", b"&lt;script&gt;x()&lt;/script&gt;")
        with tempfile.TemporaryDirectory() as report_dir:
            run_dir, _ = self.write(report_dir, "20260101T000000Z", [
                (hostile, {"rc": 0, "stdout": said("ok", document=model)}),
                ("b", {"unreachable": True, "msg": hostile})])
            page = Page(read(run_dir, "report.html"))
        self.assertEqual(page.tags, {"html", "head", "meta", "title", "style", "body", "h1", "h2", "p", "table",
                                     "thead", "tbody", "tr", "th", "td", "svg", "rect", "text"})
        for shown in (hostile, f"unreachable: {hostile}", "<script>x()</script>", "<script>x()</script>: 1 upgrade"):
            with self.subTest(shown=shown):
                self.assertIn(shown, page.text)

    def test_runs_compared_and_rebuilt(self):
        ok = {"rc": 0, "stdout": said("ok", document=DOCUMENT)}
        newer = {"rc": 0, "stdout": said("ok", document=DOCUMENT.replace(b"3.0.2.0", b"3.1.0.0"))}
        down = {"unreachable": True, "msg": "refused"}
        with tempfile.TemporaryDirectory() as report_dir:
            first, printed = self.write(report_dir, "20260101T000000Z", [("a", ok), ("=b", ok)])
            self.assertEqual(json.loads(printed.splitlines()[-1]), {})
            with open(os.path.join(first, "report.html"), encoding="utf-8") as page:
                self.assertIn("Nothing to compare with", page.read())
            self.write(report_dir, "20260101T000001Z", [("a", down)], limit="a")
            second, printed = self.write(report_dir, "20260101T000002Z", [("a", newer), ("=b", down)])
            self.assertEqual(json.loads(printed.splitlines()[-1]), {"=b": "unreachable: refused"})
            with open(os.path.join(second, "changes.csv"), encoding="utf-8") as changes:
                self.assertEqual(changes.read().splitlines(), [
                    "host,device_id,change,from,to",
                    "a,1A2B.0013.1A2B.0014,installed version,3.0.2.0,3.1.0.0",
                    "'=b,,host now failing,ok,unreachable"])
            with open(os.path.join(second, "failed.hosts"), encoding="utf-8") as failed:
                self.assertEqual(failed.read(), "=b\n")
            with open(os.path.join(second, "run.json"), encoding="utf-8") as run:
                facts = json.load(run)
            self.assertEqual((facts["compared_with"], facts["component"]["version"], facts["limit"]),
                             ("20260101T000000Z", "3.2.1.0", ""))
            self.assertEqual(facts["tool_versions"], {"hba-discovery 1.0.0": 1})
            with open(os.path.join(second, "report.html"), encoding="utf-8") as page:
                html = page.read()
            self.assertLess(html.index("Failed hosts per reason (1)"), html.index("Changes since"))
            self.assertLess(html.index("Changes since 20260101T000000Z (2)"), html.index("Devices per action"))
            snapshot = tempfile.mkdtemp(dir=report_dir, prefix="copy.")
            os.rmdir(snapshot)
            os.rename(second, snapshot)
            os.makedirs(second)
            for name in ("outcomes.json", "hosts"):
                os.rename(os.path.join(snapshot, name), os.path.join(second, name))
            self.assertEqual(fr_cli.main(["rebuild", second], stdout=io.StringIO()), 0)
            names = sorted(os.listdir(second))
            self.assertEqual(names, sorted(os.listdir(snapshot) + ["outcomes.json", "hosts"]))
            match, mismatch, errors = filecmp.cmpfiles(snapshot, second, os.listdir(snapshot), shallow=False)
            self.assertEqual((mismatch, errors), ([], []), match)


def write_run(report_dir, name, hosts):
    """Writes a run of [(HOST, RESULT)] with the command write; returns
    its directory, what it printed and its exit status."""
    run_dir = os.path.join(report_dir, name)
    os.makedirs(os.path.join(run_dir, "hosts"))
    data = {"hosts": [h for h, _ in hosts], "results": [r for _, r in hosts], "run": {"limit": ""}}
    out = io.StringIO()
    status = fr_cli.main(["write", run_dir], stdin=io.StringIO(json.dumps(data)), stdout=out, stderr=out)
    return run_dir, out.getvalue(), status


def csv_rows(run_dir, name):
    with open(os.path.join(run_dir, name), newline="", encoding="utf-8") as stream:
        return list(csv.reader(stream))[1:]


if st is not None:
    LINES = said("ok", document=DOCUMENT).split("\r\n")
    VALUES = [b"1A2B.0013.1A2B.0014", b"Durozaz FC-8200 (older BIOS)", b"3.0.2.0", b"3.2.1.0",
              b"upgrade", b"downgrade", b"tarn_rom_discovery", b"fw_item", b"device"]
    ANY_JSON = st.recursive(st.none() | st.booleans() | st.integers() | st.floats() | st.text(),
                            lambda inner: st.lists(inner, max_size=3)
                            | st.dictionaries(st.text(max_size=8), inner, max_size=3), max_leaves=8)

    @st.composite
    def damaged_document(draw):
        """The document with a value, a piece of its bytes or its length changed."""
        document = DOCUMENT
        for _ in range(draw(st.integers(1, 3))):
            how = draw(st.sampled_from(["value", "bytes", "cut"]))
            if how == "value":
                old = draw(st.sampled_from(VALUES))
                new = draw(st.text(max_size=20).map(str.encode) | st.binary(max_size=20))
                document = document.replace(old, new, draw(st.integers(1, 3)))
            elif how == "bytes":
                at = draw(st.integers(0, len(document)))
                document = document[:at] + draw(st.binary(max_size=8)) + document[at + 1:]
            else:
                document = document[:draw(st.integers(0, len(document)))]
        return document

    @st.composite
    def damaged_stdout(draw):
        """The script's lines, some dropped, repeated, prefixed, replaced or
        given other values (a count, a size, a document name, the data)."""
        lines = list(LINES)
        if draw(st.booleans()):
            lines = said("ok", document=draw(damaged_document()),
                         counts=draw(st.sampled_from(["0 0", "1 0", "0 1"]))).split("\r\n")
        for _ in range(draw(st.integers(0, 4))):
            at = draw(st.integers(0, len(lines) - 1))
            how = draw(st.sampled_from(["drop", "repeat", "prefix", "replace", "value"]))
            text = draw(st.text(max_size=300))
            if how == "drop":
                del lines[at]
            elif how == "repeat":
                lines.insert(at, lines[at])
            elif how == "prefix":
                lines[at] = text + lines[at]
            elif how == "replace":
                lines[at] = text
            else:
                key = lines[at].split(" ")[:2]
                lines[at] = " ".join(key + [draw(st.sampled_from(
                    [text, b64(text), f"{b64(text)} {len(DOCUMENT)}", f"{b64('x' * 300)} 1"]))])
            if not lines:
                lines = [""]
        return "\r\n".join(lines)

    @st.composite
    def damaged_result(draw):
        """One host's registered result, damaged somewhere."""
        if draw(st.integers(0, 9)) == 0:
            return draw(ANY_JSON)
        result = {"rc": 0, "stdout": draw(damaged_stdout())}
        for key in draw(st.sets(st.sampled_from(["rc", "msg", "stderr", "unreachable", "failed"]))):
            result[key] = draw(ANY_JSON)
        return result

    REASONS = set(fr_protocol.SCRIPT_REASONS.values()) | {
        "unreachable", "become failed", "not well-formed", "no document", "document too large"}
    GOOD = [("g1", OK), ("g2", NEWER_BIOS), ("g3", {"rc": 0, "stdout": said("ok", document=b"x")}),
            ("g4", {"unreachable": True, "msg": "refused"}),
            ("g5", {"rc": 0, "stdout": said("tool-failed", "boom", status=3)})]

    class OneHostSpoilsNothing(unittest.TestCase):
        """Whatever one host returned, every other host is reported as it
        would be without it, and that host is reported, ok or failed with a
        reason of the report's."""

        @classmethod
        def setUpClass(cls):
            # Each run is compared with the same earlier one, which x was in.
            cls.scratch = tempfile.mkdtemp(prefix="fleet-property.")
            cls.baseline, _, _ = write_run(cls.scratch, "20260101T000000Z",
                                           [("g2", OK), ("x", OK)] + GOOD[2:])
            reference, _, status = write_run(cls.scratch, "20260101T000001Z", GOOD)
            assert status == 0 and csv_rows(reference, "changes.csv")
            cls.expected = {name: [row for row in csv_rows(reference, name) if row[0] != "x"]
                            for name in ("hosts.csv", "fleet.csv", "failed.csv", "changes.csv")}
            shutil.rmtree(reference)

        @classmethod
        def tearDownClass(cls):
            shutil.rmtree(cls.scratch)

        @settings(max_examples=100, derandomize=True, database=None, deadline=None,
                  suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
        @given(result=damaged_result(), at=st.integers(0, len(GOOD)))
        def test_one_host_spoils_nothing(self, result, at):
            fr_cli.point_latest(self.baseline)
            shutil.rmtree(os.path.join(self.scratch, "20260101T000001Z"), ignore_errors=True)
            run_dir, printed, status = write_run(self.scratch, "20260101T000001Z",
                                                 GOOD[:at] + [("x", result)] + GOOD[at:])
            self.assertEqual(status, 0, printed)
            rows = {name: csv_rows(run_dir, name) for name in self.expected}
            for name, expected in self.expected.items():
                self.assertEqual([row for row in rows[name] if row[0] != "x"], expected, name)
            mine = [row for row in rows["hosts.csv"] if row[0] == "x"]
            self.assertEqual(len(mine), 1, rows["hosts.csv"])
            if mine[0][1] == "failed":
                self.assertIn(mine[0][3], REASONS)
                self.assertEqual(json.loads(printed.splitlines()[-1])["x"].split(":")[0], mine[0][3])
            self.assertTrue(all(row[5] in fr_records.ACTIONS for row in rows["fleet.csv"]))
            shutil.rmtree(run_dir)


class Command(unittest.TestCase):
    """The package run as a command, as the playbook runs it."""

    def test_run_as_a_command(self):
        tool = [sys.executable, os.path.join(MODULE_UTILS, "fleet_report")]
        with tempfile.TemporaryDirectory() as report_dir:
            made = [subprocess.run(tool + ["start", report_dir], capture_output=True, text=True, check=True)
                    .stdout.strip() for _ in range(2)]
            self.assertEqual(sorted(os.listdir(report_dir)), sorted(os.path.basename(run) for run in made))
            self.assertEqual(len(set(made)), 2)
            rebuild = subprocess.run(tool + ["rebuild", made[0]], capture_output=True, text=True, check=False)
        self.assertEqual((rebuild.returncode, rebuild.stdout), (1, ""))
        self.assertIn("outcomes.json", rebuild.stderr)
        for argv, status in [(["--help"], 0), (["write", "--help"], 0), ([], 2), (["nonesuch"], 2)]:
            with self.subTest(argv=argv):
                self.assertEqual(subprocess.run(tool + argv, capture_output=True, check=False).returncode, status)


    def test_check(self):
        data = {"hosts": ["ready", "down", "-x"],
                "results": [{"rc": 0, "stdout": said("checked", "FCBOOT32 3.2.1.0")},
                            {"unreachable": True, "msg": "refused"}, {"rc": 0, "stdout": said("checked")}]}
        out = io.StringIO()
        self.assertEqual(fr_cli.main(["check"], stdin=io.StringIO(json.dumps(data)), stdout=out), 0)
        self.assertEqual(out.getvalue().splitlines(), [
            "ready: ready (FCBOOT32 3.2.1.0)", "down: unreachable (refused)",
            f"-x: unsafe host name ({fr_names.UNSAFE_NAME})",
            json.dumps({"down": "unreachable: refused", "-x": f"unsafe host name: {fr_names.UNSAFE_NAME}"})])


class Bundle(unittest.TestCase):
    """The component as the hosts get it: links followed, faults refused."""

    COMPONENT = os.path.join(HERE, "..", "..", "examples", "component")

    def bundle(self, component, tool="", check=False):
        """The bundles' entry of one component and tool, and the payload's files."""
        out = io.StringIO()
        self.assertEqual(fr_cli.main(["bundle", os.devnull, "--parent", self.dir] + (["--check"] if check else []),
                                     stdin=io.StringIO(json.dumps([[component, tool]])), stdout=out), 0)
        entry = json.loads(out.getvalue())["bundles"][json.dumps([component, tool])]
        if "path" not in entry or not os.path.getsize(entry["path"]):
            return entry, {}
        with tarfile.open(entry["path"]) as tar:
            return entry, {m.name: tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}

    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        self.store = os.path.join(self.dir, "store")
        shutil.copytree(self.COMPONENT, self.store)
        with open(os.path.join(self.store, "bfa_boot_fw"), "rb") as image:
            self.image = image.read()

    def component(self, image=None, **links):
        """A component directory: the store's configuration, bfa_boot_fw
        holding image (or a link to the store's), and the links given."""
        path = tempfile.mkdtemp(dir=self.dir)
        shutil.copy(os.path.join(self.store, "KT582304.xml"), path)
        if image is None:
            os.symlink(os.path.join(self.store, "bfa_boot_fw"), os.path.join(path, "bfa_boot_fw"))
        else:
            with open(os.path.join(path, "bfa_boot_fw"), "wb") as out:
                out.write(image)
        for name, target in links.items():
            os.symlink(target.replace("@", path), os.path.join(path, name))
        return path

    def test_links_followed(self):
        component = self.component(extra="@/KT582304.xml", sub=self.store)
        _entry, files = self.bundle(component)
        self.assertEqual(files["component/bfa_boot_fw"], self.image)
        self.assertEqual(files["component/sub/bfa_boot_fw"], self.image)
        self.assertIn("component/extra", files)

    def test_refused(self):
        fifo = self.component()
        os.mkfifo(os.path.join(fifo, "pipe"))
        no_config = self.component()
        os.unlink(os.path.join(no_config, "KT582304.xml"))
        cases = [
            (self.component(dangling="/nowhere/fw"), "", False, "bad component", "a link to nowhere (/nowhere/fw)"),
            (self.component(loop="@/loop"), "", False, "bad component", "a link in a loop"),
            (self.component(up="@"), "", False, "bad component", "up: a link in a loop"),
            (fifo, "", False, "bad component", "pipe: not a regular file or directory"),
            ("", "", False, "bad component", "hba_component_dir is empty"),
            (os.path.join(self.dir, "none"), "", True, "bad component", "No such file or directory"),
            (self.COMPONENT, os.path.join(self.dir, "none"), True, "bad tool", "not an executable file"),
            (no_config, "", True, "bad component", "KT582304.xml cannot be read"),
            (self.component(b"\0\0no mark here\0"), "", True, "bad component", "holds no boot BIOS version"),
            (self.component(b"\0RUDUV 3.2.x\0"), "", True, "bad component", "'3.2.x', which is not a version"),
        ]
        for component, tool, check, reason, detail in cases:
            with self.subTest(detail=detail):
                entry, _files = self.bundle(component, tool, check)
                self.assertEqual(entry["refused"]["reason"], reason)
                self.assertIn(detail, entry["refused"]["detail"])
        # Checked, a sound component passes; the bundle then has no payload.
        entry, files = self.bundle(self.component(b"x\0RUDUV 3. 2.1.0\0"), check=True)
        self.assertEqual((entry["tool"], files), ("installed", {}))


if __name__ == "__main__":
    outcome = unittest.main(exit=False).result
    if not outcome.wasSuccessful():
        sys.exit(1)
    if st is None:
        print("SKIP: python3-hypothesis is not installed (run with /usr/bin/python3): "
              "the property that one host spoils no other host's report was not tested", file=sys.stderr)
        sys.exit(77)
