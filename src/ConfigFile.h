// SPDX-License-Identifier: Apache-2.0
// ConfigFile and PciDevice: the component configuration and its supported identities.
#ifndef CONFIGFILE_H
#define CONFIGFILE_H

#include <string>
#include <vector>

#include <libxml/xmlreader.h>

#include "ConfigReading.h"

// One PCI identity that the component supports.
struct PciDevice {
    std::string VendorId;
    std::string DeviceId;
    std::string SubvendorId;
    std::string SubdeviceId;
};

// The component configuration file, read whole by the constructor: title,
// version, the component's own file name and the supported PCI identities.
class ConfigFile {
public:
    static const int kTitleWidth = 256;
    static const int kVersionWidth = 20;
    static const int kFileNameWidth = 20;
    static const int kScratchWidth = 256;

    ConfigFile(const char* path, int debug);
    ~ConfigFile() = default;

    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    char* GetComponentTitle();
    char* GetComponentVersion();
    char* GetComponentFileName();
    // True when the file could be opened at all and was not refused.
    bool WasOpened() const;
    // True when the file named a component file longer than the field holds;
    // the field then holds only its first characters.
    bool IsComponentFileNameCut() const;

    int IsDeviceSupported(std::string vendor, std::string device, std::string subvendor,
                          std::string subdevice);
    // A copy on purpose: the caller's list stays independent of the object.
    // cppcheck-suppress returnByReference
    std::vector<PciDevice> GetSupportedDevices() const;

    static void convertToUpperCase(char* text);

private:
    void ForgetValues();

    void ProcessXMLNode(xmlTextReaderPtr reader);
    void ProcessAndSetTitle(xmlTextReaderPtr reader, const char* node_name);
    void ProcessAndSetVersion(xmlTextReaderPtr reader, const char* node_name);
    void ProcessAndSetFileName(xmlTextReaderPtr reader, const char* node_name);
    void ProcessAndSetSupportedDevice(xmlTextReaderPtr reader, const char* node_name);
    std::string ReturnPciIdData(xmlTextReaderPtr reader);
    const char* TakeNextValue(xmlTextReaderPtr reader, char* field, std::size_t width);

    int debug;
    char ComponentTitle[kTitleWidth];
    char ComponentVersion[kVersionWidth];
    char ComponentFileName[kFileNameWidth];
    std::vector<PciDevice> SupportedDevices;
    bool file_name_cut;
    // The reading's guards; every step of the reader goes through it.
    ConfigReading reading;
};

#endif
