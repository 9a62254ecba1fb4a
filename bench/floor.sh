#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The floor of one discovery run: the tool's pipelines, word for word and in
# the tool's order, each run by a shell of its own as popen runs it
# (sh -c TEXT), and nothing else: no configuration reading, no document.
# Run in the component directory, like the tool.
addresses=$(sh -c "lspci | grep Durozaz | awk '{print \$1}'")
for a in $addresses; do
    host=$(sh -c "ls /sys/bus/pci/devices/0000:$a | grep host |  sed 's/host//g'")
    for attribute in vendor device subsystem_vendor subsystem_device; do
        id=$(sh -c "cat /sys/bus/pci/devices/0000:$a/$attribute | sed 's/0x//g' | tr '[a-f]' '[A-F]'")
    done
    active=$(sh -c "cat /sys/class/scsi_host/host$host/option_rom_version | cut -c 6-")
    packaged=$(sh -c "strings bfa_boot_fw | grep \"RUDUV\" | head -n 1 | cut -c 6- | sed 's/ //g'")
    model=$(sh -c "cat /sys/class/scsi_host/host$host/model_description")
done
