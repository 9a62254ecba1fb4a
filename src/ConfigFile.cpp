// SPDX-License-Identifier: Apache-2.0
#include "ConfigFile.h"

#include <cstring>

#include "BoundedText.h"
#include "Diagnostics.h"

namespace {

const char* AsText(const xmlChar* s)
{
    return reinterpret_cast<const char*>(s);
}

} // namespace

ConfigFile::ConfigFile(const char* path, int debug_value)
    : debug(debug_value),
      ComponentTitle(),
      ComponentVersion(),
      ComponentFileName(),
      SupportedDevices(),
      file_name_cut(false),
      reading()
{
    Diagnostics::Trace(debug, "ConfigFile::ConfigFile(): Filename to open is \"%s\"\n", path);

    // The reading's guards (the file as it is, libxml2's complaints, the
    // expansion bounds) are ConfigReading's; every step below goes through
    // it, and its reader is the one the steps are given.
    xmlTextReaderPtr reader = reading.Open(path);
    while (reading.ReadNode() == 1)
        ProcessXMLNode(reader);
    reading.Close();
    if (reading.WasRefused())
        ForgetValues();

    // These three lines keep their wording ("Tile" included): traces of
    // earlier runs are compared with them.
    Diagnostics::Trace(debug, "ConfigFile::ConfigFileComponentTile=%s\n", ComponentTitle);
    Diagnostics::Trace(debug, "ConfigFile::ConfigFileComponentVersion=%s\n", ComponentVersion);
    Diagnostics::Trace(debug, "ConfigFile::ConfigFileComponentFileName=%s\n", ComponentFileName);
}

char* ConfigFile::GetComponentTitle()
{
    return ComponentTitle;
}

char* ConfigFile::GetComponentVersion()
{
    return ComponentVersion;
}

char* ConfigFile::GetComponentFileName()
{
    return ComponentFileName;
}

bool ConfigFile::WasOpened() const
{
    return reading.WasOpened();
}

bool ConfigFile::IsComponentFileNameCut() const
{
    return file_name_cut;
}

// A configuration refused as a whole reads as a missing one: no values, no
// devices.
void ConfigFile::ForgetValues()
{
    ComponentTitle[0] = '\0';
    ComponentVersion[0] = '\0';
    ComponentFileName[0] = '\0';
    SupportedDevices.clear();
    file_name_cut = false;
}

void ConfigFile::ProcessXMLNode(xmlTextReaderPtr reader)
{
    const xmlChar* name = xmlTextReaderConstName(reader);
    if (name == nullptr)
        return;
    // The name is taken once: a step that reads ahead moves the reader, but
    // the later steps still compare the name of the node dispatched here.
    std::string node_name(AsText(name));
    ProcessAndSetTitle(reader, node_name.c_str());
    ProcessAndSetVersion(reader, node_name.c_str());
    ProcessAndSetFileName(reader, node_name.c_str());
    ProcessAndSetSupportedDevice(reader, node_name.c_str());
}

void ConfigFile::ProcessAndSetTitle(xmlTextReaderPtr reader, const char* node_name)
{
    if (std::strcmp(node_name, "name_xlate") != 0 || ComponentTitle[0] != '\0')
        return;
    Diagnostics::Trace(debug, "ConfigFile::ProcessAndSetTitle(): node_name=\"%s\"\n", node_name);
    if (const char* value = TakeNextValue(reader, ComponentTitle, sizeof(ComponentTitle)))
        Diagnostics::Trace(
            debug, "ConfigFile::ProcessAndSetTitle(): Setting ComponentTitle to \"%s\"\n", value);
}

void ConfigFile::ProcessAndSetVersion(xmlTextReaderPtr reader, const char* node_name)
{
    if (std::strcmp(node_name, "version") != 0 || ComponentVersion[0] != '\0')
        return;
    Diagnostics::Trace(debug, "ConfigFile::ProcessAndSetVersion(): node_name=\"%s\"\n", node_name);
    xmlChar* value = xmlTextReaderGetAttribute(reader, BAD_CAST "value");
    if (value == nullptr)
        return;
    Diagnostics::Trace(debug,
                       "ConfigFile::ProcessAndSetVersion(): Setting ComponentVersion to \"%s\"\n",
                       AsText(value));
    BoundedText::CopyBounded(ComponentVersion, AsText(value));
    xmlFree(value);
}

void ConfigFile::ProcessAndSetFileName(xmlTextReaderPtr reader, const char* node_name)
{
    if (std::strcmp(node_name, "filename") != 0 || ComponentFileName[0] != '\0')
        return;
    Diagnostics::Trace(debug, "ConfigFile::ProcessAndSetFileName(): node_name=\"%s\"\n", node_name);
    const char* value = TakeNextValue(reader, ComponentFileName, sizeof(ComponentFileName));
    if (value == nullptr)
        return;
    Diagnostics::Trace(
        debug, "ConfigFile::ProcessAndSetFileName(): Setting ComponentFileName to \"%s\"\n", value);
    file_name_cut = std::strlen(value) >= sizeof(ComponentFileName);
}

// Title and file name are the value of the node after the matched one, which
// is consumed here and copied into the field (cut to its width). Returns the
// whole value, which lasts until the reader steps on, or nullptr when there
// is none.
const char* ConfigFile::TakeNextValue(xmlTextReaderPtr reader, char* field, std::size_t width)
{
    if (reading.ReadNode() != 1)
        return nullptr;
    const char* value = AsText(xmlTextReaderConstValue(reader));
    if (value != nullptr)
        BoundedText::CopyBounded(field, width, value);
    return value;
}

void ConfigFile::ProcessAndSetSupportedDevice(xmlTextReaderPtr reader, const char* node_name)
{
    if (std::strcmp(node_name, "supported_device_data") != 0)
        return;
    PciDevice device;
    device.VendorId = ReturnPciIdData(reader);
    device.DeviceId = ReturnPciIdData(reader);
    device.SubvendorId = ReturnPciIdData(reader);
    device.SubdeviceId = ReturnPciIdData(reader);
    Diagnostics::Trace(debug, "ConfigFile::ProcessAndSetSupportedDevice(): VendorId=\"%s\"\n",
                       device.VendorId.c_str());
    Diagnostics::Trace(debug, "ConfigFile::ProcessAndSetSupportedDevice(): DeviceId=\"%s\"\n",
                       device.DeviceId.c_str());
    Diagnostics::Trace(debug, "ConfigFile::ProcessAndSetSupportedDevice(): SubvendorId=\"%s\"\n",
                       device.SubvendorId.c_str());
    Diagnostics::Trace(debug, "ConfigFile::ProcessAndSetSupportedDevice(): SubdeviceId=\"%s\"\n",
                       device.SubdeviceId.c_str());
    SupportedDevices.push_back(device);
}

// Takes the value of the next node as one identifier, then steps over the
// three nodes that separate it from the next identifier in the canonical
// layout (its end tag, the line break, the next start tag).
std::string ConfigFile::ReturnPciIdData(xmlTextReaderPtr reader)
{
    if (reading.ReadNode() != 1) {
        Diagnostics::Trace(debug, "ConfigFile::ReturnPciIdData(): Returning \"\"\n");
        return std::string();
    }
    // The value belongs to the reader and is gone once it steps on, so only
    // the upper-cased copy is kept.
    const xmlChar* value = xmlTextReaderConstValue(reader);
    const bool has_value = value != nullptr;
    Diagnostics::Trace(debug, "ConfigFile::ReturnPciIdData(): value is %s\n",
                       has_value ? AsText(value) : "");

    char scratch[kScratchWidth];
    BoundedText::CopyBounded(scratch, has_value ? AsText(value) : "");
    convertToUpperCase(scratch);

    for (int i = 0; i < 3; i++) {
        if (reading.ReadNode() != 1) {
            Diagnostics::Trace(debug, "ConfigFile::ReturnPciIdData(): Returning \"\"\n");
            return std::string();
        }
    }
    if (!has_value) {
        Diagnostics::Trace(debug, "ConfigFile::ReturnPciIdData(): Returning \"\"\n");
        return std::string();
    }
    Diagnostics::Trace(debug, "ConfigFile::ReturnPciIdData(): Returning \"%s\"\n", scratch);
    return std::string(scratch);
}

void ConfigFile::convertToUpperCase(char* text)
{
    // Only a to z change: bytes of 128 and above stay as they are whatever
    // the locale, since the identifiers are ASCII.
    for (char* p = text; *p != '\0'; p++) {
        if (*p >= 'a' && *p <= 'z')
            *p = static_cast<char>(*p - 'a' + 'A');
    }
}

// The four identifiers are taken by value, as the interface has it: the
// matcher works on its own copies.
// NOLINTBEGIN(performance-unnecessary-value-param)
// cppcheck-suppress passedByValue
int ConfigFile::IsDeviceSupported(std::string vendor, std::string device, std::string subvendor,
                                  std::string subdevice) // cppcheck-suppress passedByValue
// NOLINTEND(performance-unnecessary-value-param)
{
    Diagnostics::Trace(debug,
                       "ConfigFile::IsDeviceSupported(): VendorId=%s,DeviceId=%s,"
                       "SubvendorId=%s,SubdeviceId=%s\n",
                       vendor.c_str(), device.c_str(), subvendor.c_str(), subdevice.c_str());
    for (std::size_t i = 0; i < SupportedDevices.size(); i++) {
        const PciDevice& d = SupportedDevices[i];
        Diagnostics::Trace(debug,
                           "ConfigFile::IsDeviceSupported(): SupportedDevices[%zu] - "
                           "VID=%s,DID=%s,SSVID=%s,SSDID=%s\n",
                           i, d.VendorId.c_str(), d.DeviceId.c_str(), d.SubvendorId.c_str(),
                           d.SubdeviceId.c_str());
        if (d.VendorId == vendor && d.DeviceId == device && d.SubvendorId == subvendor &&
            d.SubdeviceId == subdevice) {
            Diagnostics::Trace(debug, "ConfigFile::IsDeviceSupported(): Returning TRUE \n");
            return 1;
        }
    }
    Diagnostics::Trace(debug, "ConfigFile::IsDeviceSupported(): Returning FALSE\n");
    return 0;
}

std::vector<PciDevice> ConfigFile::GetSupportedDevices() const
{
    return SupportedDevices;
}
