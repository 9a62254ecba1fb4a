# SPDX-License-Identifier: Apache-2.0
"""hba_discover: runs the discovery bundle on the host in one remote command.

The bundle (files/hba-discover.sh with its payload, made on the controller
by the report tool's bundle command) goes to the host on the connection's
standard input; a few lines of /bin/sh there keep it in a private temporary
file, run it with /bin/sh and remove the file. One SSH command per host, no
module, no file transfer of its own, nothing that needs Python on the host.

The action owns the host's side of the run: it builds the script's command
line, follows check mode, refuses a host whose name cannot stand as a file
name on the controller, and writes what the host sent (RUN_DIR/incoming/HOST)
and its result without it (RUN_DIR/results/HOST.json) as soon as the host is
done, so that the controller holds no document and a run interrupted
halfway keeps what the finished hosts sent. The options are documented in
plugins/modules/hba_discover.py (ansible-doc durozaz.hba_discovery.hba_discover).
"""

import json
import os
import shlex

from ansible.errors import AnsibleActionFail, AnsibleConnectionFailure, AnsibleError
from ansible.module_utils.common.arg_spec import ArgumentSpecValidator
from ansible.plugins.action import ActionBase
from ansible_collections.durozaz.hba_discovery.plugins.module_utils.fleet_report.records import (
    INVALID_VARIABLES)
from ansible_collections.durozaz.hba_discovery.plugins.module_utils.fleet_report.names import (
    INCOMING, RESULTS, UNSAFE_NAME, UNSAFE_HOST_NAME, safe_host_name)

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

_NO_FOLLOW = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0)


def wrapper_words(wrapper):
    """The words put before the tool: a list as given, a string split at blanks."""
    if isinstance(wrapper, str):
        return wrapper.split()
    return [str(word) for word in wrapper or []]


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _supports_check_mode = True
    _VALID_ARGS = frozenset(("bundle", "max_document_bytes", "remote_tmp", "wrapper",
                             "run_dir", "refused"))

    def run(self, tmp=None, task_vars=None):
        result = super().run(tmp, task_vars)
        result["changed"] = False
        args = self._task.args
        host = (task_vars or {}).get("inventory_hostname", "")
        limit = int(args.get("max_document_bytes") or 0)
        if limit > 0:
            result["max_document_bytes"] = limit
        bundle = args.get("bundle") or {}
        if not safe_host_name(host):
            result["hba_refused"] = {"reason": UNSAFE_HOST_NAME, "detail": UNSAFE_NAME}
            return result
        # The host's variables first, as when Ansible checks them on entering
        # the role, then the controller's verdict on its component and tool.
        refused = (args.get("refused") or self._refused_variables(task_vars or {})
                   or (bundle.get("refused") if isinstance(bundle, dict) else None))
        if refused:
            result["hba_refused"] = dict(refused)
            return self._keep(result, host)
        if not isinstance(bundle, dict) or not bundle.get("path"):
            raise AnsibleActionFail("hba_discover: no bundle")
        # In check mode the script only looks: the tool, the temporary
        # directory, become.
        argv = (["check" if self._play_context.check_mode else "run",
                 str(args.get("remote_tmp") or ""), str(limit),
                 str(bundle.get("tool") or ""), str(bundle.get("offset") or 0)]
                + wrapper_words(args.get("wrapper")))
        try:
            with open(bundle["path"], "rb") as stream:
                payload = stream.read()
        except OSError as error:
            raise AnsibleActionFail(f"hba_discover: no bundle: {error}") from error
        # The bundle's own path on the host is $0 for tail -c +OFFSET.
        command = " ".join(["/bin/sh", "-c", shlex.quote(BOOTSTRAP), "hba-discover"]
                           + [shlex.quote(word) for word in argv])
        try:
            result.update(self._low_level_execute_command(command, in_data=payload, sudoable=True))
        except AnsibleConnectionFailure as error:
            # Noted in the run's directory too; Ansible files the host as
            # unreachable.
            self._keep({**result, "unreachable": True, "msg": str(error)}, host)
            raise
        except AnsibleError as error:
            # Become refused, for one: the task fails with Ansible's message.
            self._keep({**result, "failed": True, "msg": str(error)}, host)
            raise
        # The same text again, split in lines: the report reads only the text.
        result.pop("stdout_lines", None)
        result.pop("stderr_lines", None)
        return self._keep(result, host)

    def _refused_variables(self, task_vars):
        """{"reason": "invalid variables", "detail": ...} when the host's
        variables do not keep to the role's argument_specs (its
        meta/main.yml, entry point main), else None: the same check,
        and the same messages, as Ansible's when the role is entered at
        main, without a task of its own per host."""
        role = getattr(self._task, "_role", None)
        path = os.path.join(getattr(role, "_role_path", "") or "", "meta", "main.yml")
        if role is None or not os.path.isfile(path):
            return None
        options = (((self._loader.load_from_file(path) or {}).get("argument_specs") or {})
                   .get("main") or {}).get("options") or {}
        given = self._templar.template({name: task_vars[name] for name in options if name in task_vars})
        errors = ArgumentSpecValidator(options).validate(given).error_messages
        if not errors:
            return None
        return {"reason": INVALID_VARIABLES, "detail": "; ".join(str(error) for error in errors)}

    def _keep(self, result, host):
        """Writes what the host sent to RUN_DIR/incoming/HOST and the result
        without it to RUN_DIR/results/HOST.json; the result handed back
        names the first as "sent". Without a run directory (check mode), or
        where it cannot be written, the result keeps the text (the report
        reads it either way)."""
        run_dir = self._task.args.get("run_dir") or ""
        if not run_dir or self._play_context.check_mode:
            return result
        text = result.get("stdout")
        try:
            for name in (INCOMING, RESULTS):
                os.makedirs(os.path.join(run_dir, name), exist_ok=True)
            if "stdout" in result:
                with os.fdopen(os.open(os.path.join(run_dir, INCOMING, host), _NO_FOLLOW, 0o644),
                               "w", encoding="utf-8", errors="surrogateescape") as out:
                    out.write(result.get("stdout") or "")
                result["stdout"] = ""
                result["sent"] = f"{INCOMING}/{host}"
            with os.fdopen(os.open(os.path.join(run_dir, RESULTS, host + ".json"), _NO_FOLLOW,
                                   0o644), "w", encoding="utf-8") as out:
                json.dump(result, out, ensure_ascii=True, default=str)
        except (OSError, ValueError, TypeError):
            if result.pop("sent", None) is not None:
                result["stdout"] = text
        return result
