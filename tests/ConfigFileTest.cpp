// SPDX-License-Identifier: Apache-2.0
// Unit tests of ConfigFile: values read, identities matched, broken files said.
#include "ConfigFile.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using Identity = std::array<std::string, 4>;

const std::string kExample = FIXTURES_DIR "/unit/config-example.xml";

std::vector<Identity> Identities(const std::vector<PciDevice>& devices)
{
    std::vector<Identity> result;
    for (const PciDevice& d : devices)
        result.push_back({d.VendorId, d.DeviceId, d.SubvendorId, d.SubdeviceId});
    return result;
}

// Reads a configuration file with tracing on; the trace goes to *trace.
std::unique_ptr<ConfigFile> ReadTracing(const std::string& path, std::string* trace)
{
    std::unique_ptr<ConfigFile> config;
    *trace = CaptureStdout([&] { config.reset(new ConfigFile(path.c_str(), 1)); });
    return config;
}

// Four identifiers, one element on each line, as a group is laid out.
std::string Group(const char* v, const char* d, const char* sv, const char* sd)
{
    return std::string("  <group>\n") + "    <supported_device_data>" + v +
           "</supported_device_data>\n" + "    <device_data>" + d + "</device_data>\n" +
           "    <subvendor_data>" + sv + "</subvendor_data>\n" + "    <subdevice_data>" + sd +
           "</subdevice_data>\n  </group>\n";
}

TEST(ConfigFileTest, ReadsTheExampleFile)
{
    ConfigFile config(kExample.c_str(), 0);
    EXPECT_STREQ("Example adapter boot code", config.GetComponentTitle());
    EXPECT_STREQ("1.0.0.7", config.GetComponentVersion());
    EXPECT_STREQ("AB123456.setup", config.GetComponentFileName());
    EXPECT_FALSE(config.IsComponentFileNameCut());
    EXPECT_EQ(
        std::vector<Identity>({{"1A2B", "00C1", "1A2B", "00C2"}, {"1A2B", "00D1", "1A2B", "00D2"}}),
        Identities(config.GetSupportedDevices()));
}

TEST(ConfigFileTest, FollowsTheNodeWalkQuirksIncluded)
{
    const struct {
        const char* what;
        std::string xml;
        std::string title;
        std::string version;
        std::string file_name;
        std::vector<Identity> devices;
        // What is said on standard error after the file's name; "" for nothing.
        std::string said = "";
    } cases[] = {
        {"first non-empty title wins",
         "<c><name_xlate>First</name_xlate><name_xlate>Second</name_xlate></c>",
         "First",
         "",
         "",
         {}},
        {"empty title element leaves room for a later one",
         "<c><name_xlate></name_xlate><name_xlate>Later</name_xlate></c>",
         "Later",
         "",
         "",
         {}},
        {"empty-element title takes the whitespace after it",
         "<c>\n  <name_xlate/>\n  <name_xlate>Later</name_xlate>\n</c>",
         "\n  ",
         "",
         "",
         {}},
        {"version only from the attribute value",
         "<c><version>1.2</version><filename>Deep.Tarxz</filename></c>",
         "",
         "",
         "Deep.Tarxz",
         {}},
        {"empty version attribute, then a later one",
         "<c><version value=''/><version number='9' value='2.0'>7.7</version></c>",
         "",
         "2.0",
         "",
         {}},
        {"names count at any depth, values keep their case",
         "<c><a><b><name_xlate>mixed "
         "Case</name_xlate></b></a><x><filename>p.tarxz</filename></x></c>",
         "mixed Case",
         "",
         "p.tarxz",
         {}},
        {"only identifiers are upper-cased, nothing trimmed",
         "<c>\n" + Group("0x1a2b", " 1a2b", "ab\xC3\xA9", "00c2") + "</c>\n",
         "",
         "",
         "",
         {{"0X1A2B", " 1A2B", "AB\xC3\xA9", "00C2"}}},
        {"identifiers as indented children of the first",
         "<c>\n  <g>\n    <supported_device_data>\n      <a>1a2b</a>\n      <b>00c1</b>\n"
         "      <x>1a2b</x>\n      <y>00c2</y>\n    </supported_device_data>\n  </g>\n"
         "  <filename>late.tarxz</filename>\n</c>\n",
         "",
         "",
         "",
         {{"\n      ", "\n      ", "\n      ", "\n      "}, {"\n  ", "LATE.TARXZ", "", ""}}},
        {"two groups without an element of their own",
         "<c>\n  <supported_device_data>1a2b</supported_device_data>\n  <d>00c1</d>\n"
         "  <v>1a2b</v>\n  <s>00c2</s>\n  <supported_device_data>1A2B</supported_device_data>\n"
         "  <d>00D1</d>\n  <v>1A2B</v>\n  <s>00D2</s>\n  <filename>lost.tarxz</filename>\n</c>\n",
         "",
         "",
         "",
         {{"1A2B", "00C1", "1A2B", "00C2"}, {"\n  ", "\n  ", "\n  ", "\n  "}}},
        {"document ends right after the fourth identifier",
         "<c>\n  <supported_device_data>1a2b</supported_device_data>\n  <d>00c1</d>\n"
         "  <v>1a2b</v>\n  <s>00c2</s></c>",
         "",
         "",
         "",
         {{"1A2B", "00C1", "1A2B", ""}}},
        {"over-long values are cut at the field",
         "<c><name_xlate>" + std::string(300, 'T') + "</name_xlate><version value='" +
             std::string(25, '9') + "'/><filename>ABCDEFGHIJKLM.tarxz</filename></c>",
         std::string(255, 'T'),
         std::string(19, '9'),
         "ABCDEFGHIJKLM.tarxz",
         {}},
        {"entity references in the version value expand",
         "<!DOCTYPE c [<!ENTITY v '2.1'>]><c><version value='&v;.&v;'/></c>",
         "",
         "2.1.2.1",
         "",
         {}},
        {"an attribute of many small pieces refuses the whole file",
         "<!DOCTYPE c [<!ENTITY e 'y'>]><c><name_xlate>T</name_xlate>\n" +
             Group("1a2b", "1", "2", "3") + "<x a='" +
             [] {
                 std::string refs;
                 for (int i = 0; i < 600; i++)
                     refs += "&e;";
                 return refs;
             }() +
             "'/><filename>late.tarxz</filename></c>",
         "",
         "",
         "",
         {},
         ":8: an attribute value expands to more than 65536 characters or 1024 pieces; "
         "the configuration is not read"},
        {"a warning that lets the reading go on is said with its line",
         "<?xml version='1.1'?>\n<c>\n<filename>p.tarxz</filename></c>\n",
         "",
         "",
         "p.tarxz",
         {},
         ":1: Unsupported version '1.1'"},
        {"a later error is said, not the warning before it",
         "<?xml version='1.1'?>\n<c>\n<p:x/><filename>p.tarxz</filename></c>\n",
         "",
         "",
         "p.tarxz",
         {},
         ":3: Namespace prefix p on x is not defined"},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(dir.File("config.xml"), c.xml);
        testing::internal::CaptureStderr();
        ConfigFile config(dir.File("config.xml").c_str(), 0);
        EXPECT_EQ(c.said.empty() ? "" : dir.File("config.xml") + c.said + "\n",
                  testing::internal::GetCapturedStderr());
        EXPECT_EQ(c.title, config.GetComponentTitle());
        EXPECT_EQ(c.version, config.GetComponentVersion());
        EXPECT_EQ(c.file_name, config.GetComponentFileName());
        EXPECT_FALSE(config.IsComponentFileNameCut());
        EXPECT_EQ(c.devices, Identities(config.GetSupportedDevices()));
    }
    // A read that fails, with no line of its own, is said with the parser's.
    ASSERT_EQ(0, symlink("/proc/self/mem", dir.File("unreadable.xml").c_str()));
    testing::internal::CaptureStderr();
    ConfigFile unreadable(dir.File("unreadable.xml").c_str(), 0);
    EXPECT_EQ(dir.File("unreadable.xml") + ": read up to line 1: Input/output error\n",
              testing::internal::GetCapturedStderr());
}

TEST(ConfigFileTest, TracesEveryStepOfTheReading)
{
    ScratchDir dir;
    const std::string path = dir.File("config.xml");
    WriteFile(path, "<c>\n<filename>p.tarxz</filename>\n<name_xlate>T</name_xlate>\n<version "
                    "value=\"1.0\"/>\n" +
                        Group("1a2b", "00c1", "1a2b", "00c2") + "</c>\n");
    std::string trace;
    std::unique_ptr<ConfigFile> config = ReadTracing(path, &trace);
    EXPECT_EQ("ConfigFile::ConfigFile(): Filename to open is \"" + path + "\"\n" +
                  "ConfigFile::ProcessAndSetFileName(): node_name=\"filename\"\n"
                  "ConfigFile::ProcessAndSetFileName(): Setting ComponentFileName to \"p.tarxz\"\n"
                  "ConfigFile::ProcessAndSetTitle(): node_name=\"name_xlate\"\n"
                  "ConfigFile::ProcessAndSetTitle(): Setting ComponentTitle to \"T\"\n"
                  "ConfigFile::ProcessAndSetVersion(): node_name=\"version\"\n"
                  "ConfigFile::ProcessAndSetVersion(): Setting ComponentVersion to \"1.0\"\n"
                  "ConfigFile::ReturnPciIdData(): value is 1a2b\n"
                  "ConfigFile::ReturnPciIdData(): Returning \"1A2B\"\n"
                  "ConfigFile::ReturnPciIdData(): value is 00c1\n"
                  "ConfigFile::ReturnPciIdData(): Returning \"00C1\"\n"
                  "ConfigFile::ReturnPciIdData(): value is 1a2b\n"
                  "ConfigFile::ReturnPciIdData(): Returning \"1A2B\"\n"
                  "ConfigFile::ReturnPciIdData(): value is 00c2\n"
                  "ConfigFile::ReturnPciIdData(): Returning \"00C2\"\n"
                  "ConfigFile::ProcessAndSetSupportedDevice(): VendorId=\"1A2B\"\n"
                  "ConfigFile::ProcessAndSetSupportedDevice(): DeviceId=\"00C1\"\n"
                  "ConfigFile::ProcessAndSetSupportedDevice(): SubvendorId=\"1A2B\"\n"
                  "ConfigFile::ProcessAndSetSupportedDevice(): SubdeviceId=\"00C2\"\n"
                  "ConfigFile::ConfigFileComponentTile=T\n"
                  "ConfigFile::ConfigFileComponentVersion=1.0\n"
                  "ConfigFile::ConfigFileComponentFileName=p.tarxz\n",
              trace);
}

TEST(ConfigFileTest, MatchesWholeIdentitiesExactly)
{
    const struct {
        Identity args;
        int result;
    } cases[] = {
        {{"1A2B", "00C1", "1A2B", "00C2"}, 1}, {{"1A2B", "00D1", "1A2B", "00D2"}, 1},
        {{"1A2B", "00C1", "1A2B", "00C3"}, 0}, {{"1a2b", "00c1", "1a2b", "00c2"}, 0},
        {{"00C1", "1A2B", "1A2B", "00C2"}, 0}, {{" 1A2B", "00C1", "1A2B", "00C2"}, 0},
        {{"1A2B", "00C1", "1A2B", ""}, 0},     {{"1A2B", "00C1", "1A2B", "00C2 "}, 0},
    };
    ConfigFile config(kExample.c_str(), 0);
    for (const auto& c : cases)
        EXPECT_EQ(c.result, config.IsDeviceSupported(c.args[0], c.args[1], c.args[2], c.args[3]))
            << c.args[0] << "." << c.args[1] << "." << c.args[2] << "." << c.args[3];
}

TEST(ConfigFileTest, EmptyIdentifierInTheListMatchesOnlyAnEmptyArgument)
{
    ScratchDir dir;
    WriteFile(dir.File("config.xml"), "<c>\n  <supported_device_data>1a2b</supported_device_data>\n"
                                      "  <d>00c1</d>\n  <v>1a2b</v>\n  <s>00c2</s></c>");
    ConfigFile config(dir.File("config.xml").c_str(), 0);
    EXPECT_EQ(1, config.IsDeviceSupported("1A2B", "00C1", "1A2B", ""));
    EXPECT_EQ(0, config.IsDeviceSupported("1A2B", "00C1", "1A2B", "00C2"));
}

TEST(ConfigFileTest, MatchingTraceShowsTheRecordsUpToTheFirstMatch)
{
    ScratchDir dir;
    const std::string path = dir.File("config.xml");
    WriteFile(path, "<c>\n" + Group("1a2b", "00c1", "1a2b", "00c2") +
                        Group("1a2b", "00d1", "1a2b", "00d2") +
                        Group("1A2B", "00D1", "1A2B", "00D2") + "</c>\n");
    std::string trace;
    std::unique_ptr<ConfigFile> config = ReadTracing(path, &trace);
    int result = -1;
    trace =
        CaptureStdout([&] { result = config->IsDeviceSupported("1A2B", "00D1", "1A2B", "00D2"); });
    EXPECT_EQ(1, result);
    EXPECT_EQ("ConfigFile::IsDeviceSupported(): "
              "VendorId=1A2B,DeviceId=00D1,SubvendorId=1A2B,SubdeviceId=00D2\n"
              "ConfigFile::IsDeviceSupported(): SupportedDevices[0] - "
              "VID=1A2B,DID=00C1,SSVID=1A2B,SSDID=00C2\n"
              "ConfigFile::IsDeviceSupported(): SupportedDevices[1] - "
              "VID=1A2B,DID=00D1,SSVID=1A2B,SSDID=00D2\n"
              "ConfigFile::IsDeviceSupported(): Returning TRUE \n",
              trace);

    std::unique_ptr<ConfigFile> missing = ReadTracing(dir.File("missing.xml"), &trace);
    trace =
        CaptureStdout([&] { result = missing->IsDeviceSupported("1A2B", "00C1", "1A2B", "00C2"); });
    EXPECT_EQ(0, result);
    EXPECT_EQ("ConfigFile::IsDeviceSupported(): "
              "VendorId=1A2B,DeviceId=00C1,SubvendorId=1A2B,SubdeviceId=00C2\n"
              "ConfigFile::IsDeviceSupported(): Returning FALSE\n",
              trace);
}

} // namespace
