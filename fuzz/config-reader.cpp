// SPDX-License-Identifier: Apache-2.0
// Fuzzes the component configuration reader: the input is written to a file,
// read by ConfigFile, and every identity it lists must then be supported.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ConfigFile.h"
#include "FuzzSupport.h"

namespace {

bool Terminated(const char* field, std::size_t width)
{
    return strnlen(field, width) < width;
}

bool HasLowerCase(const std::string& text)
{
    for (char c : text) {
        if (c >= 'a' && c <= 'z')
            return true;
    }
    return false;
}

bool Listed(const std::vector<PciDevice>& devices, const PciDevice& probe)
{
    for (const PciDevice& d : devices) {
        if (d.VendorId == probe.VendorId && d.DeviceId == probe.DeviceId &&
            d.SubvendorId == probe.SubvendorId && d.SubdeviceId == probe.SubdeviceId)
            return true;
    }
    return false;
}

// Four bytes of the input from pos on (fewer, or none, near its end).
std::string Piece(const std::string& text, std::size_t pos)
{
    return pos < text.size() ? text.substr(pos, 4) : std::string();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const fuzz::ScratchFile file("hba-fuzz-config");
    fuzz::SilenceLibxml2();
    file.Write(data, size);

    ConfigFile config(file.Path(), static_cast<int>(size % 2));
    // An existing file is opened; only a refused reading (libxml2 stopped at
    // one of its limits, or an attribute beyond the bounds) is not, and it
    // keeps nothing.
    if (!config.WasOpened() &&
        (config.GetComponentTitle()[0] != '\0' || config.GetComponentVersion()[0] != '\0' ||
         config.GetComponentFileName()[0] != '\0' || !config.GetSupportedDevices().empty()))
        fuzz::Fail("a reading that was not opened kept values");
    if (!Terminated(config.GetComponentTitle(), ConfigFile::kTitleWidth) ||
        !Terminated(config.GetComponentVersion(), ConfigFile::kVersionWidth) ||
        !Terminated(config.GetComponentFileName(), ConfigFile::kFileNameWidth))
        fuzz::Fail("a field is not terminated within its width");
    if (config.IsComponentFileNameCut() &&
        std::strlen(config.GetComponentFileName()) != ConfigFile::kFileNameWidth - 1)
        fuzz::Fail("a cut file name does not fill its field");

    const std::vector<PciDevice> devices = config.GetSupportedDevices();
    for (const PciDevice& d : devices) {
        if (HasLowerCase(d.VendorId) || HasLowerCase(d.DeviceId) || HasLowerCase(d.SubvendorId) ||
            HasLowerCase(d.SubdeviceId))
            fuzz::Fail("an identifier was not upper-cased");
        if (d.VendorId.size() >= ConfigFile::kScratchWidth ||
            d.SubdeviceId.size() >= ConfigFile::kScratchWidth)
            fuzz::Fail("an identifier is longer than its field");
        if (config.IsDeviceSupported(d.VendorId, d.DeviceId, d.SubvendorId, d.SubdeviceId) != 1)
            fuzz::Fail("a listed identity is not supported");
    }

    // Identities taken from the input itself, listed or not: the answer must
    // be exactly whether the list holds them.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const PciDevice probes[] = {
        {"1A2B", "0013", "1A2B", "0014"},
        {"", "", "", ""},
        {Piece(text, 0), Piece(text, 4), Piece(text, 8), Piece(text, 12)},
    };
    for (const PciDevice& p : probes) {
        if (p.VendorId.find('\0') != std::string::npos ||
            p.DeviceId.find('\0') != std::string::npos ||
            p.SubvendorId.find('\0') != std::string::npos ||
            p.SubdeviceId.find('\0') != std::string::npos)
            continue;
        int answer = config.IsDeviceSupported(p.VendorId, p.DeviceId, p.SubvendorId, p.SubdeviceId);
        if (answer != (Listed(devices, p) ? 1 : 0))
            fuzz::Fail("the support answer disagrees with the list");
    }
    return 0;
}
