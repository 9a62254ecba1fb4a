# SPDX-License-Identifier: Apache-2.0
"""hba_local_tmp: the private temporary directory of this ansible-playbook
run on the controller (Ansible's local_tmp, ansible-local-PID...), which
Ansible removes however the run ends, Ctrl-C and failed plays included.
discover.yml makes the hosts' bundles there, so that none is left behind.

    lookup('hba_local_tmp')
"""

from ansible import constants as C
from ansible.plugins.lookup import LookupBase

DOCUMENTATION = """
name: hba_local_tmp
short_description: the run's private temporary directory on the controller
description:
  - Ansible's local_tmp of this run, removed when ansible-playbook ends.
"""


class LookupModule(LookupBase):
    def run(self, terms, variables=None, **kwargs):
        return [C.DEFAULT_LOCAL_TMP]
