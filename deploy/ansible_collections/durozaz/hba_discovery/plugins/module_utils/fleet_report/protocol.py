# SPDX-License-Identifier: Apache-2.0
"""What the role's discovery script (files/hba-discover.sh) prints on the
host: its "HBA1 KEY VALUE" lines, read into the host's outcome and document."""

import base64
import binascii
import re

from .records import CONTROLLER_REASONS, plain_number, quoted

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
# Ansible's own messages when sudo (or another become method) refused.
BECOME_FAILED = re.compile(r"(sudo|su|doas) password|privilege escalation|become", re.I)


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
