// SPDX-License-Identifier: Apache-2.0
// Unit tests of HBAInfoB: the version comparison, the action and the packaged version.
#include "HBAInfoB.h"

#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

using DurozazAdapter = AdapterDouble<HBAInfoB>;

const std::string kBootImage = ReadFile(EXAMPLE_COMPONENT_DIR "/bfa_boot_fw");

// Probes an adapter in the working directory; its trace goes to *trace.
std::unique_ptr<DurozazAdapter> Probe(const char* address, int debug, std::string* trace)
{
    std::unique_ptr<DurozazAdapter> adapter;
    testing::internal::CaptureStderr();
    *trace = CaptureStdout([&] { adapter.reset(new DurozazAdapter(address, debug)); });
    testing::internal::GetCapturedStderr();
    return adapter;
}

TEST(HBAInfoBTest, TracesTheComparison)
{
    ScratchDir dir(true);
    std::string trace;
    std::unique_ptr<DurozazAdapter> adapter = Probe("", 1, &trace);
    trace = CaptureStdout([&] {
        EXPECT_EQ(VERSION_2_GREATER, adapter->durozazVersionCompare("3.0.0.0", "3.1.0.0"));
    });
    EXPECT_EQ("HBAInfoB::durozazVersionCompare(): tmp1=3.0.0.0,tmp2=3.1.0.0\n"
              "HBAInfoB::durozazVersionCompare(): token1 = 3, token2=3\n"
              "HBAInfoB::durozazVersionCompare(): ver1=3,ver2=3\n"
              "HBAInfoB::durozazVersionCompare(): token1 = 0, token2=1\n"
              "HBAInfoB::durozazVersionCompare(): ver1=0,ver2=1\n"
              "HBAInfoB::durozazVersionCompare(): Returning VERSION_2_GREATER\n",
              trace);
}

TEST(HBAInfoBTest, ActionFollowsTheComparison)
{
    const char* cases[][3] = {{"3.0.0.0", "3.1.0.0", "upgrade"},
                              {"10.0.0.0", "9.0.0.0", "downgrade"},
                              {"3.0.0.0", "3.0.0.0", "rewrite"}};
    for (const auto& c : cases) {
        DurozazAdapter adapter;
        adapter.Bios().setActive_version(c[0]);
        adapter.Bios().setVersion(c[1]);
        adapter.SetActionValue();
        EXPECT_STREQ(c[2], adapter.Bios().getAction()) << c[0] << " to " << c[1];
    }
}

// Without sysfs entries the adapter has no identity, no model and no
// installed version; its BIOS item is complete all the same.
TEST(HBAInfoBTest, PackagedVersionIsTheFirstRuduvStringOfTheBootImage)
{
    const struct {
        bool image;
        std::string content;
        std::string version;
    } cases[] = {
        {false, "", ""},
        {true, kBootImage, "3.2.1.0"},
        {true,
         std::string("\x7f"
                     "ELF\x01\x02\0Durozaz\0RUDUV 3. 2.1 .0\0RUDUV 9.9.9.9\0",
                     45),
         "3.2.1.0"},
        {true, "RUDUV " + std::string(60, '7') + "\n", std::string(49, '7')},
        {true, std::string("no marker in here\0", 18), ""},
    };
    for (const auto& c : cases) {
        ScratchDir dir(true);
        if (c.image)
            WriteFile("bfa_boot_fw", c.content);
        std::string trace;
        std::unique_ptr<DurozazAdapter> adapter = Probe("ff:1f.7", 0, &trace);
        EXPECT_EQ("", trace);
        EXPECT_STREQ("", adapter->GetBiosActiveVersion());
        EXPECT_EQ(
            "<device><device_id value=\"...\"/><product_id value=\"\"/><busnumber value=\"\"/>"
            "<devicenumber value=\"\"/><funcnumber value=\"\"/><fw_item><type value=\"Boot BIOS "
            "ROM\"/>"
            "<firmware_id value=\"\"/><version value=\"" +
                c.version +
                "\"/><active_version value=\"\"/>"
                "<action value=\"rewrite\"/><duration value=\"60\"/><message value=\"\"/>"
                "<shared value=\"no\"/></fw_item></device>",
            SinkOutput([&](xmlTextWriterPtr writer) { adapter->WriteXml(writer); }));
    }
}

TEST(HBAInfoBTest, TracesTheProbesInOrderAndNeverRunsAHostileAddress)
{
    ScratchDir dir(true);
    WriteFile("bfa_boot_fw", kBootImage);
    std::string trace;
    Probe("0;touch x", 1, &trace);
    EXPECT_FALSE(FileExists("x"));
    std::istringstream lines(trace);
    std::string steps;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("HBAInfoB::", 0) == 0 ||
            line.rfind("Command::Command(): Command is", 0) == 0)
            steps += line + "\n";
    }
    EXPECT_EQ("Command::Command(): Command is \"cat /sys/class/scsi_host/host/option_rom_version | "
              "cut -c 6-\"\n"
              "HBAInfoB::SetBiosActiveVersion(): tmpstr=\n"
              "HBAInfoB::HBAInfoB(): bi.active_version=\n"
              "Command::Command(): Command is \"strings bfa_boot_fw | grep \"RUDUV\" | head -n 1 | "
              "cut -c 6- | sed 's/ //g'\"\n"
              "HBAInfoB::SetBiosVersion(): tmpstr=3.2.1.0\n"
              "HBAInfoB::HBAInfoB(): bi.version=3.2.1.0\n"
              "Command::Command(): Command is \"cat /sys/class/scsi_host/host/model_description\"\n"
              "HBAInfoB::HBAInfoB(): product_id=\n"
              "HBAInfoB::durozazVersionCompare(): tmp1=,tmp2=3.2.1.0\n"
              "HBAInfoB::durozazVersionCompare(): Returning VERSION_EQUAL\n"
              "HBAInfoB::SetActionValue(): comparison=3\n"
              "HBAInfoB::SetActionValue(): bi.action=rewrite\n"
              "HBAInfoB::HBAInfoB(): bi.action=rewrite\n"
              "HBAInfoB::HBAInfoB(): bi.duration=60\n",
              steps);
}

} // namespace
