// SPDX-License-Identifier: Apache-2.0
// HBAInfoB: the Durozaz adapter record: boot BIOS versions, model and update action.
#ifndef HBAINFOB_H
#define HBAINFOB_H

#include "FwCompLibUtil.h"
#include "HBAInfo.h"
#include "VersionNumber.h"

// Everything is read while the record is constructed: the base record, then
// the boot BIOS item's installed and packaged versions, the model and the
// action, in that order.
class HBAInfoB : public HBAInfo {
public:
    HBAInfoB(const char* pci_address, int debug);
    // Probes and sets nothing beyond the empty base record. The tool never
    // uses it; the tests and the fuzz target build records with it, off any
    // machine.
    HBAInfoB();

    void SetBiosActiveVersion();
    void SetBiosVersion();
    void SetProductId();
    void SetActionValue();

    // VersionNumber::Compare with this record's debug value. The record
    // keeps the operation under its own name: the fuzz target and the tests
    // call it there, and its trace lines carry that name.
    int durozazVersionCompare(const char* version1, const char* version2);

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
