// SPDX-License-Identifier: Apache-2.0
// HBAInfoB: the Durozaz adapter record: boot BIOS versions, model and update action.
#include "HBAInfoB.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A version component counts by its leading decimal digits, as atoi reads
// them, but a number too large for an int saturates instead of wrapping, so
// that a long component compares the same on every platform.
int ComponentValue(const char* token)
{
    long value = std::strtol(token, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

} // namespace

HBAInfoB::HBAInfoB(const char* pci_address, int debug_value)
    : HBAInfo(pci_address, debug_value),
      debug(debug_value),
      util()
{
    util.SetDebugValue(debug_value);
    CreateBiosItem();

    SetBiosActiveVersion();
    FwCompLibUtil::Trace(debug, "HBAInfoB::HBAInfoB(): bi.active_version=%s\n",
                         bi.getActive_version());
    SetBiosVersion();
    FwCompLibUtil::Trace(debug, "HBAInfoB::HBAInfoB(): bi.version=%s\n", bi.getVersion());
    SetProductId();
    FwCompLibUtil::Trace(debug, "HBAInfoB::HBAInfoB(): product_id=%s\n", product_id);
    SetActionValue();
    FwCompLibUtil::Trace(debug, "HBAInfoB::HBAInfoB(): bi.action=%s\n", bi.getAction());
    bi.setDuration("60");
    FwCompLibUtil::Trace(debug, "HBAInfoB::HBAInfoB(): bi.duration=%s\n", bi.getDuration());
}

HBAInfoB::HBAInfoB() : HBAInfo(), debug(0), util()
{
}

void HBAInfoB::SetBiosActiveVersion()
{
    char tmpstr[50];
    Probe(tmpstr, sizeof(tmpstr), "cat /sys/class/scsi_host/host%s/option_rom_version | cut -c 6-",
          host_no);
    FwCompLibUtil::Trace(debug, "HBAInfoB::SetBiosActiveVersion(): tmpstr=%s\n", tmpstr);
    bi.setActive_version(tmpstr);
}

void HBAInfoB::SetBiosVersion()
{
    char tmpstr[50];
    Probe(tmpstr, sizeof(tmpstr),
          "strings bfa_boot_fw | grep \"RUDUV\" | head -n 1 | cut -c 6- | sed 's/ //g'");
    FwCompLibUtil::Trace(debug, "HBAInfoB::SetBiosVersion(): tmpstr=%s\n", tmpstr);
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
    FwCompLibUtil::Trace(debug, "HBAInfoB::SetActionValue(): comparison=%d\n", comparison);
    if (comparison == VERSION_1_GREATER)
        bi.setAction("downgrade");
    else if (comparison == VERSION_2_GREATER)
        bi.setAction("upgrade");
    else
        bi.setAction("rewrite");
    FwCompLibUtil::Trace(debug, "HBAInfoB::SetActionValue(): bi.action=%s\n", bi.getAction());
}

bool HBAInfoB::IsVersionNumber(const char* text)
{
    return FwCompLibUtil::DigitGroups(text) > 0;
}

int HBAInfoB::durozazVersionCompare(const char* version1, const char* version2)
{
    char tmp1[100];
    char tmp2[100];
    FwCompLibUtil::CopyBounded(tmp1, version1);
    FwCompLibUtil::CopyBounded(tmp2, version2);
    FwCompLibUtil::Trace(debug, "HBAInfoB::durozazVersionCompare(): tmp1=%s,tmp2=%s\n", tmp1, tmp2);

    char* save1 = nullptr;
    char* save2 = nullptr;
    char* token1 = strtok_r(tmp1, ".", &save1);
    char* token2 = strtok_r(tmp2, ".", &save2);
    while (token1 != nullptr && token2 != nullptr) {
        FwCompLibUtil::Trace(debug, "HBAInfoB::durozazVersionCompare(): token1 = %s, token2=%s\n",
                             token1, token2);
        int ver1 = ComponentValue(token1);
        int ver2 = ComponentValue(token2);
        FwCompLibUtil::Trace(debug, "HBAInfoB::durozazVersionCompare(): ver1=%d,ver2=%d\n", ver1,
                             ver2);
        if (ver1 > ver2) {
            FwCompLibUtil::Trace(
                debug, "HBAInfoB::durozazVersionCompare(): Returning VERSION_1_GREATER\n");
            return VERSION_1_GREATER;
        }
        if (ver1 < ver2) {
            FwCompLibUtil::Trace(
                debug, "HBAInfoB::durozazVersionCompare(): Returning VERSION_2_GREATER\n");
            return VERSION_2_GREATER;
        }
        token1 = strtok_r(nullptr, ".", &save1);
        token2 = strtok_r(nullptr, ".", &save2);
    }
    FwCompLibUtil::Trace(debug, "HBAInfoB::durozazVersionCompare(): Returning VERSION_EQUAL\n");
    return VERSION_EQUAL;
}
