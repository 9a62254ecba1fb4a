#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# floor.sh without popen's shell: the same pipelines in the same order, but
# each run by this one shell instead of by a shell of its own. The tool runs
# every command line through the system shell (popen), so this is below what
# it can reach; it shows what that shell costs.
addresses=$(lspci | grep Durozaz | awk '{print $1}')
for a in $addresses; do
    host=$(ls /sys/bus/pci/devices/0000:$a | grep host |  sed 's/host//g')
    for attribute in vendor device subsystem_vendor subsystem_device; do
        id=$(cat /sys/bus/pci/devices/0000:$a/$attribute | sed 's/0x//g' | tr '[a-f]' '[A-F]')
    done
    active=$(cat /sys/class/scsi_host/host$host/option_rom_version | cut -c 6-)
    packaged=$(strings bfa_boot_fw | grep "RUDUV" | head -n 1 | cut -c 6- | sed 's/ //g')
    model=$(cat /sys/class/scsi_host/host$host/model_description)
done
