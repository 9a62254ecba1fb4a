// SPDX-License-Identifier: Apache-2.0
// HBAInfo: the generic adapter record: PCI identity, SCSI host, items, device element.
#ifndef HBAINFO_H
#define HBAINFO_H

#include <cstdarg>
#include <cstddef>

#include <libxml/xmlwriter.h>

#include "BiosItem.h"
#include "Diagnostics.h"
#include "FirmwareItem.h"
#include "FwCompLibUtil.h"

// The record of one host bus adapter: its PCI address, SCSI host number and
// PCI identity read from sysfs, its firmware and boot BIOS items, and its
// device element in the discovery document.
class HBAInfo {
public:
    HBAInfo(const char* pci_address, int debug);
    // Every field empty, nothing probed: the start of the probing
    // constructor, and the tests' records off any machine.
    HBAInfo();

    void GetScsiHostNo();
    void GetVendorId();
    void GetDeviceId();
    void GetSubvendorId();
    void GetSubdeviceId();
    void GetCompositePciId();

    void CreateBiosItem();
    // The Durozaz record fills only the boot BIOS item; the firmware item
    // stays invalid and is never written. These three are kept so that a
    // record of another vendor can fill or drop either item; no caller of
    // the tool uses them.
    void CreateFirmwareItem();
    void DestroyBiosItem();
    void DestroyFirmwareItem();

    char* GetBiosActiveVersion();
    // The packaged version of bi, empty when the boot image gives none.
    char* GetBiosVersion();
    int IsSupported(const char* config_file_name);
    int WriteXml(xmlTextWriterPtr writer);

protected:
    // Formats one probe pipeline from format and its arguments, runs it and
    // stores its output in the field, cut to the field's width and without
    // its trailing line feed. A command line that does not fit the runner's
    // text is not run and leaves the field empty, as the runner would refuse
    // it. The probe takes its arguments as given: the callers check what came
    // from the machine (AddressUsable, HostNumberUsable) where they need to.
    void Probe(char* field, std::size_t width, const char* format, ...) HBA_PRINTF_LIKE(4, 5);
    // The same for a lone "cat" of an attribute: its exit status 1 (the
    // attribute is missing) is an empty field, not a failed run.
    void ProbeAttribute(char* field, std::size_t width, const char* format, ...)
        HBA_PRINTF_LIKE(4, 5);
    void ProbeV(char* field, std::size_t width, int accepted_status, const char* format,
                va_list args) HBA_PRINTF_LIKE(5, 0);
    // A PCI address as lspci lists it: bus:device.function, optionally
    // preceded by a domain of four to eight hexadecimal digits and ":".
    bool AddressUsable() const;
    // The sysfs directory that the address is appended to.
    const char* DevicePrefix() const;
    bool HostNumberUsable() const;

    // The longest: an eight-digit domain, ":" and bus:device.function.
    char pci_address[17];
    // Any host number the kernel gives: up to 10 decimal digits.
    char host_no[11];
    char pci_vendor_id[5];
    char pci_device_id[5];
    char pci_subvendor_id[5];
    char pci_subdevice_id[5];
    char composite_pci_id[20];
    char product_id[256];
    char busnumber[2];
    char devicenumber[2];
    char funcnumber[2];
    FirmwareItem fi;
    BiosItem bi;
    FwCompLibUtil util;
    int debug;

private:
    void GetPciIdentifier(const char* attribute, char* field, std::size_t width);
    void WriteItem(OnboardSoftwareItem& item, const char* name, xmlTextWriterPtr writer);
};

#endif
