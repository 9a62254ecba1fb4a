# SPDX-License-Identifier: Apache-2.0
"""hba_discover: runs the discovery bundle on the host in one remote command.

The bundle (files/hba-discover.sh with its payload, made on the controller
by fleet_report.py bundle) goes to the host on the connection's standard
input; a few lines of /bin/sh there keep it in a private temporary file, run
it with /bin/sh and remove the file. One SSH command per host, no module, no
file transfer of its own, nothing that needs Python on the host. The
script's output (rc, stdout, stderr) is the result; it changes nothing.

Options: bundle (path on the controller), argv (the script's arguments),
max_document_bytes (the host's own limit, noted in the result for the
report), refused (the controller's reason not to run the bundle on this
host, {"reason": ..., "detail": ...}: the host is not contacted and the
result says why as hba_refused), run_dir (the run's report directory on the
controller: what the host sent is written to RUN_DIR/incoming/HOST as soon
as it is done, and the result names that file as "sent" instead of holding
it, so that the controller does not keep every document in memory until
the report).
"""

import os
import shlex

from ansible.errors import AnsibleActionFail
from ansible.plugins.action import ActionBase

# $2 is the directory the script makes its own temporary directory in.
# The file goes however the shell ends (PIPE: the connection gone).
BOOTSTRAP = r"""umask 077
f=
trap '[ -z "$f" ] || rm -f "$f"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 141' PIPE
trap 'exit 143' TERM
t=${2:-${TMPDIR:-/tmp}}
if ! made=$(mktemp "$t/hba-discover.XXXXXXXXXX" 2>&1); then
    printf 'HBA1 outcome no-temporary-directory\nHBA1 detail %s\nHBA1 end\n' \
        "$(printf '%s: %s' "$t" "$made" | base64 | tr -d '\n')"
    exit 0
fi
f=$made
cat > "$f" || exit 1
/bin/sh "$f" "$@"
"""


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _supports_check_mode = True
    _VALID_ARGS = frozenset(("bundle", "argv", "max_document_bytes", "refused", "run_dir"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        result["changed"] = False
        if self._task.args.get("max_document_bytes") is not None:
            result["max_document_bytes"] = int(self._task.args["max_document_bytes"])
        refused = self._task.args.get("refused")
        if refused:
            result["hba_refused"] = dict(refused)
            return result
        argv = [str(word) for word in self._task.args.get("argv") or []]
        try:
            with open(self._task.args["bundle"], "rb") as stream:
                bundle = stream.read()
        except (KeyError, OSError) as error:
            raise AnsibleActionFail(f"hba_discover: no bundle: {error}") from error
        # The bundle's own path on the host is $0 for tail -c +OFFSET.
        command = " ".join(["/bin/sh", "-c", shlex.quote(BOOTSTRAP), "hba-discover"]
                           + [shlex.quote(word) for word in argv])
        result.update(self._low_level_execute_command(command, in_data=bundle, sudoable=True))
        # The same text again, split in lines: the report reads only the text.
        result.pop("stdout_lines", None)
        result.pop("stderr_lines", None)
        self._spool(result, (task_vars or {}).get("inventory_hostname", ""))
        return result

    def _spool(self, result, host):
        """Moves what the host sent from the result into the run's
        directory; it stays in the result where there is none or it cannot
        be written (the report reads it either way)."""
        run_dir = self._task.args.get("run_dir") or ""
        # The role contacts only hosts whose name is one plain file name.
        if not run_dir or not host or os.path.basename(host) != host or host in (".", ".."):
            return
        name = os.path.join("incoming", host)
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)
        try:
            os.makedirs(os.path.join(run_dir, "incoming"), exist_ok=True)
            with os.fdopen(os.open(os.path.join(run_dir, name), flags, 0o644), "w",
                           encoding="utf-8", errors="surrogateescape") as out:
                out.write(result.get("stdout") or "")
        except OSError:
            return
        result["stdout"] = ""
        result["sent"] = name
