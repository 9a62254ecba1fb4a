// SPDX-License-Identifier: Apache-2.0
// Unit tests of HBAInfo: addresses, PCI identity and host probes, device element.
#include "HBAInfo.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using Adapter = AdapterDouble<HBAInfo>;

const char kEmptyDevice[] =
    "<device><device_id value=\"...\"/><product_id value=\"\"/><busnumber value=\"\"/>"
    "<devicenumber value=\"\"/><funcnumber value=\"\"/></device>";

TEST(HBAInfoTest, AddressThatIsNotAPciAddressRunsNoCommand)
{
    const char* addresses[] = {"0;touch x", "$(touch x)", "`touch x`", "05:00.0 x", "../../etc",
                               "05:00.0;touch x", "0000:05:00.0:1f", "",
                               // near the two forms lspci prints, but neither
                               "001:05:00.0", "000000001:05:00.0", "0001:05:00.8", "5:00.0",
                               "05:00.0:", "0001-05:00.0", "05.00:0", "1000g:05:00.0",
                               "10000:05:00.0;x", "10000::05:00.0"};
    ScratchDir dir(true);
    for (const char* address : addresses) {
        std::unique_ptr<HBAInfo> info;
        std::string trace = CaptureStdout([&] { info.reset(new HBAInfo(address, 1)); });
        EXPECT_EQ("", trace) << address;
        EXPECT_FALSE(FileExists("x")) << address;
        EXPECT_EQ(kEmptyDevice,
                  SinkOutput([&](xmlTextWriterPtr writer) { info->WriteXml(writer); }));
    }
}

TEST(HBAInfoTest, ProbesSysfsWithTheExactCommandTexts)
{
    // Files named like the bracket expressions' letters must not change them.
    ScratchDir dir(true);
    for (const char* name : {"a", "c", "f"})
        WriteFile(name, "");
    // Without a domain the address is in 0000; a domain of four to eight
    // digits is used whole.
    const struct {
        const char* address;
        std::string dev;
    } cases[] = {
        {"05:00.0", "/sys/bus/pci/devices/0000:05:00.0"},
        {"0001:0a:00.1", "/sys/bus/pci/devices/0001:0a:00.1"},
        {"10000:e0:00.0", "/sys/bus/pci/devices/10000:e0:00.0"},
        {"ffffffff:e0:1f.7", "/sys/bus/pci/devices/ffffffff:e0:1f.7"},
    };
    for (const auto& c : cases) {
        std::unique_ptr<HBAInfo> info;
        testing::internal::CaptureStderr();
        std::string trace = CaptureStdout([&] { info.reset(new HBAInfo(c.address, 1)); });
        testing::internal::GetCapturedStderr();
        std::string commands;
        const std::string mark = "Command::Command(): Command is ";
        for (std::size_t at = trace.find(mark); at != std::string::npos;
             at = trace.find(mark, at + 1))
            commands += trace.substr(at + mark.size(), trace.find('\n', at) - at - mark.size() + 1);
        EXPECT_EQ("\"ls " + c.dev + " | grep host |  sed 's/host//g'\"\n" + "\"cat " + c.dev +
                      "/vendor | sed 's/0x//g' | tr '[a-f]' '[A-F]'\"\n" + "\"cat " + c.dev +
                      "/device | sed 's/0x//g' | tr '[a-f]' '[A-F]'\"\n" + "\"cat " + c.dev +
                      "/subsystem_vendor | sed 's/0x//g' | tr '[a-f]' '[A-F]'\"\n" + "\"cat " +
                      c.dev + "/subsystem_device | sed 's/0x//g' | tr '[a-f]' '[A-F]'\"\n",
                  commands)
            << c.address;
        if (!FileExists(c.dev)) {
            EXPECT_EQ(kEmptyDevice,
                      SinkOutput([&](xmlTextWriterPtr writer) { info->WriteXml(writer); }));
        }
    }
}

TEST(HBAInfoTest, IsSupportedAsksTheConfigurationFileWithTheFourIdentifiers)
{
    ScratchDir dir;
    const std::string config = dir.File("KT582304.xml");
    WriteFile(config, ReadFile(FIXTURES_DIR "/unit/config-example.xml"));
    const struct {
        const char *v, *d, *sv, *sd;
        int supported;
    } cases[] = {
        {"1A2B", "00D1", "1A2B", "00D2", 1},
        {"1A2B", "00C1", "1A2B", "00C3", 0},
        {"", "", "", "", 0},
    };
    for (const auto& c : cases) {
        Adapter adapter;
        adapter.SetIdentity(c.v, c.d, c.sv, c.sd, "");
        EXPECT_EQ(c.supported, adapter.IsSupported(config.c_str()))
            << c.v << "." << c.d << "." << c.sv << "." << c.sd;
    }
    Adapter adapter("", 1);
    adapter.SetIdentity("1A2B", "00C1", "1A2B", "00C2", "");
    std::string trace = CaptureStdout([&] { EXPECT_EQ(1, adapter.IsSupported(config.c_str())); });
    const std::string query = "ConfigFile::IsDeviceSupported(): "
                              "VendorId=1A2B,DeviceId=00C1,SubvendorId=1A2B,SubdeviceId=00C2\n";
    const std::size_t current = trace.find(
        "HBAInfo::IsSupported(): Current HBA...VID=1A2B,DID=00C1,SSVID=1A2B,SSDID=00C2\n");
    const std::size_t returned =
        trace.find("HBAInfo::IsSupported(): IsDeviceSupported returned 1\n");
    ASSERT_NE(std::string::npos, current);
    ASSERT_NE(std::string::npos, returned);
    EXPECT_LT(current, trace.find(query)) << "the configuration file is read before the question";
    EXPECT_LT(trace.find(query), returned);
    // The matcher is asked a second time after the traced answer, as designed.
    EXPECT_NE(std::string::npos, trace.find(query, returned)) << "asked a second time";
}

TEST(HBAInfoTest, WritesTheDeviceElementWithItsValidItemsOnly)
{
    Adapter adapter;
    adapter.SetIdentity("1A2B", "0013", "1A2B", "0014", "Example FC adapter & <\"spare\">");
    const std::string device =
        "<device><device_id value=\"1A2B.0013.1A2B.0014\"/>"
        "<product_id value=\"Example FC adapter &amp; &lt;&quot;spare&quot;&gt;\"/>"
        "<busnumber value=\"\"/><devicenumber value=\"\"/><funcnumber value=\"\"/>";
    EXPECT_EQ(device + "</device>",
              SinkOutput([&](xmlTextWriterPtr writer) { EXPECT_EQ(1, adapter.WriteXml(writer)); }));
    adapter.CreateBiosItem();
    adapter.Bios().setVersion("3.2.1.0");
    adapter.Bios().setActive_version("3.0.2.0");
    adapter.Bios().setAction("upgrade");
    adapter.Bios().setDuration("60");
    EXPECT_EQ(
        device +
            "<fw_item><type value=\"Boot BIOS ROM\"/><firmware_id value=\"\"/><version "
            "value=\"3.2.1.0\"/>"
            "<active_version value=\"3.0.2.0\"/><action value=\"upgrade\"/><duration value=\"60\"/>"
            "<message value=\"\"/><shared value=\"no\"/></fw_item></device>",
        SinkOutput([&](xmlTextWriterPtr writer) { EXPECT_EQ(1, adapter.WriteXml(writer)); }));
}

TEST(HBAInfoTest, FirmwareItemComesBeforeTheBiosItemAndBothAreTraced)
{
    Adapter adapter("", 1);
    adapter.SetIdentity("1A2B", "0013", "1A2B", "0014", "Model\xE9\x01");
    adapter.CreateBiosItem();
    adapter.CreateFirmwareItem();
    std::string doc;
    std::string trace = CaptureStdout(
        [&] { doc = SinkOutput([&](xmlTextWriterPtr writer) { adapter.WriteXml(writer); }); });
    EXPECT_EQ("HBAInfo()::WriteXml(): Printing out fi information to xml file\n"
              "HBAInfo()::WriteXml(): Printing out bi information to xml file\n",
              trace);
    EXPECT_LT(doc.find("<type value=\"Firmware\"/>"), doc.find("<type value=\"Boot BIOS ROM\"/>"));
    EXPECT_NE(std::string::npos, doc.find("<product_id value=\"Model&#xFFFD;&#xFFFD;\"/>")) << doc;
}

TEST(HBAInfoTest, WriterRefusingTheThirdChildLeavesTheDeviceOpen)
{
    const std::string before =
        "<device><device_id value=\"1A2B.0013.1A2B.0014\"/><product_id value=\"FC\"/>";
    Adapter adapter("", 1);
    adapter.SetIdentity("1A2B", "0013", "1A2B", "0014", "FC");
    adapter.CreateBiosItem();
    int result = -1;
    std::string written;
    std::string trace = CaptureStdout([&] {
        result = WriteFailingAt(
            before.size(), [&](xmlTextWriterPtr writer) { return adapter.WriteXml(writer); },
            &written);
    });
    EXPECT_EQ(0, result);
    EXPECT_EQ(before + "<", written);
    EXPECT_EQ("HBAInfo::WriteXmlElementWithAttribute(): xmlTextWriterStartElement() failed\n",
              trace);
}

} // namespace
