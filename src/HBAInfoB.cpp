// SPDX-License-Identifier: Apache-2.0
#include "HBAInfoB.h"

#include "Diagnostics.h"

HBAInfoB::HBAInfoB(const char* pci_address, int debug_value)
    : HBAInfo(pci_address, debug_value),
      debug(debug_value),
      util()
{
    util.SetDebugValue(debug_value);
    CreateBiosItem();

    SetBiosActiveVersion();
    Diagnostics::Trace(debug, "HBAInfoB::HBAInfoB(): bi.active_version=%s\n",
                       bi.getActive_version());
    SetBiosVersion();
    Diagnostics::Trace(debug, "HBAInfoB::HBAInfoB(): bi.version=%s\n", bi.getVersion());
    SetProductId();
    Diagnostics::Trace(debug, "HBAInfoB::HBAInfoB(): product_id=%s\n", product_id);
    SetActionValue();
    Diagnostics::Trace(debug, "HBAInfoB::HBAInfoB(): bi.action=%s\n", bi.getAction());
    bi.setDuration("60");
    Diagnostics::Trace(debug, "HBAInfoB::HBAInfoB(): bi.duration=%s\n", bi.getDuration());
}

HBAInfoB::HBAInfoB() : HBAInfo(), debug(0), util()
{
}

void HBAInfoB::SetBiosActiveVersion()
{
    char tmpstr[50];
    Probe(tmpstr, sizeof(tmpstr), "cat /sys/class/scsi_host/host%s/option_rom_version | cut -c 6-",
          host_no);
    Diagnostics::Trace(debug, "HBAInfoB::SetBiosActiveVersion(): tmpstr=%s\n", tmpstr);
    bi.setActive_version(tmpstr);
}

void HBAInfoB::SetBiosVersion()
{
    char tmpstr[50];
    Probe(tmpstr, sizeof(tmpstr),
          "strings bfa_boot_fw | grep \"RUDUV\" | head -n 1 | cut -c 6- | sed 's/ //g'");
    Diagnostics::Trace(debug, "HBAInfoB::SetBiosVersion(): tmpstr=%s\n", tmpstr);
    bi.setVersion(tmpstr);
}

void HBAInfoB::SetProductId()
{
    ProbeAttribute(product_id, sizeof(product_id),
                   "cat /sys/class/scsi_host/host%s/model_description", host_no);
}

void HBAInfoB::SetActionValue()
{
    int comparison = durozazVersionCompare(bi.getActive_version(), bi.getVersion());
    Diagnostics::Trace(debug, "HBAInfoB::SetActionValue(): comparison=%d\n", comparison);
    if (comparison == VERSION_1_GREATER)
        bi.setAction("downgrade");
    else if (comparison == VERSION_2_GREATER)
        bi.setAction("upgrade");
    else
        bi.setAction("rewrite");
    Diagnostics::Trace(debug, "HBAInfoB::SetActionValue(): bi.action=%s\n", bi.getAction());
}

int HBAInfoB::durozazVersionCompare(const char* version1, const char* version2)
{
    return VersionNumber::Compare(version1, version2, debug);
}
