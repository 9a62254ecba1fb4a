#!/usr/bin/python
# SPDX-License-Identifier: Apache-2.0
# The action durozaz.hba_discovery.hba_discover (plugins/action/) does the
# work on the controller; this file holds its documentation for ansible-doc
# and ansible-lint. Nothing here is ever sent to a host.

DOCUMENTATION = r"""
module: hba_discover
short_description: Runs hba-discovery on a host in one remote command, without Python there
version_added: 1.0.0
description:
  - Sends the discovery bundle (a shell script made on the controller, with the component and,
    if asked, the tool) to the host on the connection's standard input and runs it with /bin/sh
    in a private temporary directory that is removed whatever happens. The host needs no Python
    and is left as it was, so the result is never changed.
  - Builds the script's command line, and follows check mode itself, in which the script only
    looks (the tool, the temporary directory, become).
  - Called from the role, checks the host's variables against the role's argument_specs
    (entry point main, the same check and messages as Ansible's own) and files a host whose
    variables do not keep to it as C(invalid variables) without contacting it, so that the
    playbook, which enters the role at C(discover), runs one task per host.
  - A host whose inventory name cannot stand as one file name on the controller (empty, C(.) or
    C(..), holding C(/) or NUL, or starting with C(-)) is not contacted; the result says
    C(unsafe host name).
  - With I(run_dir), what the host sent is written to C(RUN_DIR/incoming/HOST) and the rest of
    the result to C(RUN_DIR/results/HOST.json) as soon as the host is done, so that the controller
    holds no document; the fleet report reads them there. Check mode writes nothing.
  - The role durozaz.hba_discovery.hba_discovery and the playbook durozaz.hba_discovery.discover
    call it; few will call it directly.
options:
  bundle:
    description:
      - The bundle to run, as the report tool's bundle command describes it
        (C(path) on the controller, C(offset) of its payload, C(tool) bundled or empty for the
        installed one, or C(refused) with C(reason) and C(detail) when the controller refused
        the component or the tool).
    type: dict
  max_document_bytes:
    description: A document larger than this is neither sent back nor read.
    type: int
    default: 1048576
  remote_tmp:
    description: Where the temporary directory is made on the host; empty is TMPDIR or /tmp.
    type: str
    default: ""
  wrapper:
    description: Words put before the tool, for example C([nice, -n, "19"]); a string is split at blanks.
    type: list
    elements: str
    default: []
  run_dir:
    description: The run's report directory on the controller; empty keeps the host's answer in the result.
    type: path
    default: ""
  refused:
    description:
      - Files the host under this C(reason) and C(detail) without contacting it
        (the playbook's rescue uses it for variables the role's argument check refused).
    type: dict
attributes:
  check_mode:
    support: full
    description: The script only looks; nothing is written on the controller either.
  diff_mode:
    support: none
notes:
  - Runs become when the play asks for it; the host's sudo must not require a tty.
author:
  - hba-discovery developers
"""

EXAMPLES = r"""
- name: Run the discovery on the host
  durozaz.hba_discovery.hba_discover:
    bundle: "{{ hba_bundle }}"
    run_dir: "{{ hba_run_dir }}"
  register: hba_run
  ignore_unreachable: true
  failed_when: false
"""

RETURN = r"""
sent:
  description: Where what the host sent was written, relative to I(run_dir).
  returned: when run_dir is set and the host was contacted
  type: str
  sample: incoming/host01
stdout:
  description: What the host's script printed; empty once written to I(run_dir).
  returned: when the host was contacted
  type: str
rc:
  description: The exit status of the host's shell.
  returned: when the host was contacted
  type: int
max_document_bytes:
  description: The host's own document limit, for the report.
  returned: always
  type: int
hba_refused:
  description: Why the host was not contacted (C(reason), C(detail)).
  returned: when the host was not contacted
  type: dict
"""
