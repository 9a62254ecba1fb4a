// SPDX-License-Identifier: Apache-2.0
// HBAInfoB: the Durozaz adapter record and its version comparison.
#ifndef HBAINFOB_H
#define HBAINFOB_H

#include "FwCompLibUtil.h"
#include "HBAInfo.h"

// Result codes of durozazVersionCompare.
enum {
    VERSION_1_GREATER = 1,
    VERSION_2_GREATER = 2,
    VERSION_EQUAL = 3,
};

// The record of a Durozaz adapter: the base record, plus the boot BIOS item
// filled with the installed and the packaged versions, the update action and
// the duration, and the adapter's model description.
class HBAInfoB : public HBAInfo {
public:
    HBAInfoB(const char* pci_address, int debug);
    HBAInfoB();

    void SetBiosActiveVersion();
    void SetBiosVersion();
    void SetProductId();
    void SetActionValue();

    int durozazVersionCompare(const char* version1, const char* version2);

    // Whether text is a version number: one or more groups of decimal
    // digits joined by single dots ("3.2.1.0", "10"). Only such a version
    // may decide an action; "V3.2.1.0" or "3.0.2.0 " would compare by
    // whatever leading digits they happen to hold.
    static bool IsVersionNumber(const char* text);

private:
    // The vendor class keeps its own debug value and helper beside those of
    // its base (HBAScanB keeps none). Only the helper's debug value is set;
    // every use goes through the base's helper.
    // cppcheck-suppress duplInheritedMember
    int debug;
    // cppcheck-suppress duplInheritedMember
    FwCompLibUtil util;
};

#endif
