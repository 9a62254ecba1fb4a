# SPDX-License-Identifier: Apache-2.0
"""What each host came to: its outcome from the result the play handed
over (or the role's action wrote into the run's directory), its document
stored, and the report's host rows gathered from the outcomes."""

import contextlib
import json
import os

from .document import DocumentError, read_document
from .names import HOSTS_DIR, INCOMING, RESULTS, UNSAFE_HOST_NAME, UNSAFE_NAME, safe_host_name
from .protocol import script_outcome
from .records import (DEFAULT_MAX_DOCUMENT_BYTES, NO_ADAPTER, NO_INSTALLED_VERSION,
                      NONE_SUPPORTED, READ_CHUNK, HostResult, Report, one_line)

# A host's result without what it sent: rc, stderr (the tool's few lines),
# the action's notes.
RESULT_CHARS = 1024 * 1024


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
