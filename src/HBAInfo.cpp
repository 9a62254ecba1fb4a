// SPDX-License-Identifier: Apache-2.0
#include "HBAInfo.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fnmatch.h>

#include "BoundedText.h"
#include "Command.h"
#include "ConfigFile.h"
#include "Diagnostics.h"

namespace {

// An address listed without a PCI domain is in domain 0000; one listed with
// its domain (as lspci does as soon as any function is outside 0000) is the
// device directory's name as it stands.
const char kDevicePrefix[] = "/sys/bus/pci/devices/0000:";
const char kDomainDevicePrefix[] = "/sys/bus/pci/devices/";
// bus:device.function (an fnmatch pattern); before it, lspci may list a
// domain of four to eight hexadecimal digits and ":" (domains past ffff
// sit behind volume-management bridges).
const char kAddressPattern[] = "[0-9a-fA-F][0-9a-fA-F]:[0-9a-fA-F][0-9a-fA-F].[0-7]";
const char kHexDigits[] = "0123456789abcdefABCDEF";
const std::size_t kShortestDomain = 4;
const std::size_t kLongestDomain = 8;

// Whether address is bus:device.function after a domain and ":".
bool HasDomain(const char* address)
{
    const std::size_t digits = std::strspn(address, kHexDigits);
    return digits >= kShortestDomain && digits <= kLongestDomain && address[digits] == ':' &&
           fnmatch(kAddressPattern, address + digits + 1, 0) == 0;
}

bool AllOf(const char* text, const char* allowed)
{
    return text[0] != '\0' && text[std::strspn(text, allowed)] == '\0';
}

} // namespace

HBAInfo::HBAInfo(const char* address, int debug_value) : HBAInfo()
{
    debug = debug_value;
    util.SetDebugValue(debug_value);
    // An address that does not fit is not stored: a cut address could name
    // another adapter.
    (void)BoundedText::CopyIfFits(pci_address, address);

    GetScsiHostNo();
    GetVendorId();
    GetDeviceId();
    GetSubvendorId();
    GetSubdeviceId();
    GetCompositePciId();
    // busnumber, devicenumber and funcnumber stay as the delegated
    // constructor left them: empty, and never written afterwards.
}

HBAInfo::HBAInfo()
    : pci_address(),
      host_no(),
      pci_vendor_id(),
      pci_device_id(),
      pci_subvendor_id(),
      pci_subdevice_id(),
      composite_pci_id(),
      product_id(),
      busnumber(),
      devicenumber(),
      funcnumber(),
      fi(),
      bi(),
      util(),
      debug(0)
{
}

bool HBAInfo::AddressUsable() const
{
    return fnmatch(kAddressPattern, pci_address, 0) == 0 || HasDomain(pci_address);
}

const char* HBAInfo::DevicePrefix() const
{
    return HasDomain(pci_address) ? kDomainDevicePrefix : kDevicePrefix;
}

bool HBAInfo::HostNumberUsable() const
{
    return AllOf(host_no, "0123456789");
}

// C variadic so that the compiler checks every probe's format and arguments.
// NOLINTNEXTLINE(cert-dcl50-cpp)
void HBAInfo::Probe(char* field, std::size_t width, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ProbeV(field, width, 0, format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): C variadic for the format check, as above.
void HBAInfo::ProbeAttribute(char* field, std::size_t width, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    ProbeV(field, width, 1, format, args);
    va_end(args);
}

void HBAInfo::ProbeV(char* field, std::size_t width, int accepted_status, const char* format,
                     va_list args)
{
    field[0] = '\0';
    char command_text[Command::kTextWidth];
    // NOLINTNEXTLINE(clang-analyzer-valist.*): args is started by the caller
    bool fits = BoundedText::FormatBoundedV(command_text, sizeof(command_text), format, args);
    if (!fits)
        return;
    std::unique_ptr<Command> command(new Command(command_text, debug));
    command->AcceptExitStatus(accepted_status);
    // A probe that could not run leaves its output empty; the field then says so.
    (void)command->Execute();
    BoundedText::CopyBounded(field, width, command->Output());
    util.chomp(field);
}

void HBAInfo::GetScsiHostNo()
{
    host_no[0] = '\0';
    if (!AddressUsable())
        return;
    // A device directory with several host entries lists one per line; the
    // first is taken, and only if it is a plain decimal number that fits.
    char hosts[Command::kTextWidth];
    Probe(hosts, sizeof(hosts), "ls %s%s | grep host |  sed 's/host//g'", DevicePrefix(),
          pci_address);
    hosts[std::strcspn(hosts, "\n")] = '\0';
    if (!BoundedText::CopyIfFits(host_no, hosts) || !HostNumberUsable())
        host_no[0] = '\0';
}

void HBAInfo::GetPciIdentifier(const char* attribute, char* field, std::size_t width)
{
    field[0] = '\0';
    if (!AddressUsable())
        return;
    Probe(field, width, "cat %s%s/%s | sed 's/0x//g' | tr '[a-f]' '[A-F]'", DevicePrefix(),
          pci_address, attribute);
}

void HBAInfo::GetVendorId()
{
    GetPciIdentifier("vendor", pci_vendor_id, sizeof(pci_vendor_id));
}

void HBAInfo::GetDeviceId()
{
    GetPciIdentifier("device", pci_device_id, sizeof(pci_device_id));
}

void HBAInfo::GetSubvendorId()
{
    GetPciIdentifier("subsystem_vendor", pci_subvendor_id, sizeof(pci_subvendor_id));
}

void HBAInfo::GetSubdeviceId()
{
    GetPciIdentifier("subsystem_device", pci_subdevice_id, sizeof(pci_subdevice_id));
}

void HBAInfo::GetCompositePciId()
{
    // Four identifiers of at most four characters and three dots always fit.
    (void)BoundedText::FormatBounded(composite_pci_id, sizeof(composite_pci_id), "%s.%s.%s.%s",
                                     pci_vendor_id, pci_device_id, pci_subvendor_id,
                                     pci_subdevice_id);
}

void HBAInfo::CreateBiosItem()
{
    bi.setValid(true, debug);
    bi.setFirmware_id("");
    bi.setShared("no");
    bi.setMessage("");
}

void HBAInfo::CreateFirmwareItem()
{
    fi.setValid(true, debug);
    fi.setFirmware_id("");
    fi.setShared("no");
    fi.setMessage("");
}

void HBAInfo::DestroyBiosItem()
{
    bi.setValid(false, debug);
}

void HBAInfo::DestroyFirmwareItem()
{
    fi.setValid(false, debug);
}

char* HBAInfo::GetBiosActiveVersion()
{
    return bi.getActive_version();
}

char* HBAInfo::GetBiosVersion()
{
    return bi.getVersion();
}

int HBAInfo::IsSupported(const char* config_file_name)
{
    ConfigFile config(config_file_name, debug);
    Diagnostics::Trace(debug,
                       "HBAInfo::IsSupported(): Current HBA...VID=%s,DID=%s,SSVID=%s,SSDID=%s\n",
                       pci_vendor_id, pci_device_id, pci_subvendor_id, pci_subdevice_id);
    // With tracing on the matcher is asked twice, and its trace shows twice:
    // once for this line, once for the answer returned.
    if (debug)
        Diagnostics::Trace(debug, "HBAInfo::IsSupported(): IsDeviceSupported returned %d\n",
                           config.IsDeviceSupported(pci_vendor_id, pci_device_id, pci_subvendor_id,
                                                    pci_subdevice_id));
    return config.IsDeviceSupported(pci_vendor_id, pci_device_id, pci_subvendor_id,
                                    pci_subdevice_id);
}

// The item's own result is not looked at: a failed item leaves the document
// unfinished, and the document's end says so.
void HBAInfo::WriteItem(OnboardSoftwareItem& item, const char* name, xmlTextWriterPtr writer)
{
    if (!item.isValid())
        return;
    // "HBAInfo()::", parentheses and all, as the line has always read.
    Diagnostics::Trace(debug, "HBAInfo()::WriteXml(): Printing out %s information to xml file\n",
                       name);
    (void)item.WriteXml(writer);
}

int HBAInfo::WriteXml(xmlTextWriterPtr writer)
{
    if (xmlTextWriterStartElement(writer, BAD_CAST "device") < 0) {
        Diagnostics::Trace(debug, "HBAInfo::WriteXml(): xmlTextWriterStartElement() failed\n");
        return 0;
    }
    const FwCompLibUtil::ValueElement children[] = {
        {"device_id", composite_pci_id}, {"product_id", product_id}, {"busnumber", busnumber},
        {"devicenumber", devicenumber},  {"funcnumber", funcnumber},
    };
    if (!util.WriteValueElements(writer, children))
        return 0;
    WriteItem(fi, "fi", writer);
    WriteItem(bi, "bi", writer);
    if (xmlTextWriterEndElement(writer) < 0) {
        Diagnostics::Trace(debug, "HBAInfo::WriteXml(): xmlTextWriterEndElement failed\n");
        return 0;
    }
    return 1;
}
