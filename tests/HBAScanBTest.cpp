// SPDX-License-Identifier: Apache-2.0
// Unit tests of HBAScanB: whole discoveries in a scratch directory, traces, failures said.
#include "HBAScanB.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <linux/capability.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Command.h"
#include "TestSupport.h"

namespace {

const char kExampleDocument[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<tarn_rom_discovery version=\"2.0.0.0\">\n"
    " <type value=\"Durozaz\"/>\n"
    " <alt_name value=\"Durozaz Fibre Channel HBA boot BIOS update\"/>\n"
    " <version value=\"3.2.1.0\"/>\n"
    " <takes_effect value=\"deferred\"/>\n"
    " <devices/>\n"
    "</tarn_rom_discovery>\n";

// The documents below are only what they are on a machine without adapters.
bool MachineListsDurozaz()
{
    // Ends in a command that exits 0: a pipeline that ends otherwise gives no answer.
    Command listing("lspci 2>/dev/null | grep Durozaz | cat", 0);
    listing.Execute();
    return listing.Output()[0] != '\0';
}

// A working directory holding a copy of the example component.
struct ComponentDir {
    ScratchDir dir{true};
    ComponentDir()
    {
        WriteFile("KT582304.xml", ReadFile(EXAMPLE_COMPONENT_DIR "/KT582304.xml"));
        WriteFile("bfa_boot_fw", ReadFile(EXAMPLE_COMPONENT_DIR "/bfa_boot_fw"));
    }
};

// Runs a whole discovery; *trace receives standard output and *errors standard error.
int Discover(int debug, std::string* trace, std::string* errors = nullptr)
{
    int result = -1;
    testing::internal::CaptureStderr();
    *trace = CaptureStdout([&] {
        HBAScanB scan("KT582304.xml", debug);
        result = scan.CreateXmlFile();
    });
    std::string captured = testing::internal::GetCapturedStderr();
    if (errors != nullptr)
        *errors = captured;
    return result;
}

TEST(HBAScanBTest, WritesTheWholeDocumentSilentlyAndReplacesAnOldOne)
{
    if (MachineListsDurozaz())
        GTEST_SKIP() << "this machine has Durozaz functions";
    ComponentDir component;
    WriteFile("FCBOOT32_disc.xml", std::string(5000, '#'));
    std::string trace;
    const long open_before = OpenDescriptors();
    EXPECT_EQ(1, Discover(0, &trace));
    EXPECT_EQ("", trace);
    EXPECT_EQ(kExampleDocument, ReadFile("FCBOOT32_disc.xml"));
    EXPECT_EQ(open_before, OpenDescriptors()) << "a descriptor or directory stream left open";
}

TEST(HBAScanBTest, TracesConstructionAndEachStepOfTheRun)
{
    if (MachineListsDurozaz())
        GTEST_SKIP() << "this machine has Durozaz functions";
    ComponentDir component;
    std::unique_ptr<HBAScanB> scan;
    std::string trace = CaptureStdout([&] { scan.reset(new HBAScanB("KT582304.xml", 1)); });
    const std::string own =
        "HBAScan::HBAScanB(): ConfigurationFile=KT582304.xml\n"
        "HBAScan::HBAScanB(): TarnromVerStr=2.0.0.0\n"
        "HBAScan::HBAScanB(): TypeStr=Durozaz\n"
        "HBAScan::HBAScanB(): TakesEffectStr=deferred\n"
        "HBAScan::HBAScanB(): VersionStr=3.2.1.0\n"
        "HBAScan::HBAScanB(): AltName=Durozaz Fibre Channel HBA boot BIOS update\n";
    ASSERT_GT(trace.size(), own.size());
    EXPECT_EQ(own, trace.substr(trace.size() - own.size()));
    const std::string readings = trace.substr(0, trace.size() - own.size());
    const std::string opening = "ConfigFile::ConfigFile(): Filename to open is \"KT582304.xml\"\n";
    EXPECT_EQ(0u, readings.find(opening));
    // The scanner reads the configuration twice (file name, then header values), as designed.
    EXPECT_NE(std::string::npos, readings.find(opening, 1)) << "read a second time";
    EXPECT_EQ(std::string::npos, readings.find("\nHBAScan"));

    testing::internal::CaptureStderr();
    trace = CaptureStdout([&] { EXPECT_EQ(1, scan->CreateXmlFile()); });
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        0u,
        trace.find("Command::Command(): Command text length is 39\n"
                   "Command::Command(): Command is \"lspci | grep Durozaz | awk '{print $1}'\"\n"));
    std::string steps;
    for (std::size_t at = trace.find("HBAScanB::"); at != std::string::npos;
         at = trace.find("HBAScanB::", at + 1))
        steps += trace.substr(at, trace.find('\n', at) - at + 1);
    EXPECT_EQ("HBAScanB::CreateXmlFile(): XML file FCBOOT32_disc.xml successfully created\n"
              "HBAScanB::CreateXmlFile(): Successfully created all XML header elements\n"
              "HBAScanB::CreateXmlFile(): Successfully created XML footer elements\n"
              "HBAScanB::CreateXmlFile(): Successfully closed out FCBOOT32_disc.xml\n",
              steps);
}

TEST(HBAScanBTest, TitleCutInsideACharacterStillGivesAWellFormedDocument)
{
    if (MachineListsDurozaz())
        GTEST_SKIP() << "this machine has Durozaz functions";
    ScratchDir dir(true);
    WriteFile("KT582304.xml", "<c><filename>pack0042.tarxz</filename><name_xlate>" +
                                  std::string(254, 'a') + "\xC3\xA9</name_xlate><version value='" +
                                  std::string(18, '1') + "\xE2\x82\xAC'/></c>\n");
    std::string trace;
    EXPECT_EQ(1, Discover(0, &trace));
    const std::string doc = ReadFile("pack0042_disc.xml");
    EXPECT_NE(std::string::npos,
              doc.find(" <alt_name value=\"" + std::string(254, 'a') + "\xEF\xBF\xBD\"/>\n"))
        << doc;
    EXPECT_NE(std::string::npos,
              doc.find(" <version value=\"" + std::string(18, '1') + "\xEF\xBF\xBD\"/>\n"))
        << doc;
    EXPECT_TRUE(IsWellFormedXml("pack0042_disc.xml"));
}

TEST(HBAScanBTest, WithoutAUsableFileNameNoDocumentIsWrittenAndStandardErrorSaysWhy)
{
    const struct {
        const char* config; // nullptr: no configuration file
        const char* line;
    } cases[] = {
        {nullptr, "hba-discovery: KT582304.xml cannot be read; no discovery document written\n"},
        {"<c><filename>abcde</filename></c>",
         "hba-discovery: KT582304.xml names a component file shorter than six characters; no "
         "discovery document written\n"},
    };
    for (const auto& c : cases) {
        ScratchDir dir(true);
        if (c.config != nullptr)
            WriteFile("KT582304.xml", c.config);
        std::string trace, errors;
        EXPECT_EQ(0, Discover(0, &trace, &errors));
        EXPECT_EQ("", trace);
        EXPECT_EQ(c.line, errors);
        EXPECT_EQ(c.config ? 1 : 0, std::distance(std::filesystem::directory_iterator("."), {}));
    }
}

// With tracing on, the runner has been constructed but nothing has run, and
// the error is the last line.
void ExpectStopBeforeAnythingRuns(const std::function<void()>& block_output,
                                  const std::string& said)
{
    ComponentDir component;
    block_output();
    std::string trace, errors;
    EXPECT_EQ(0, Discover(1, &trace, &errors));
    chmod(".", 0755);
    // The system's reason comes in parentheses: it depends on how the file
    // was blocked and on who runs the test.
    EXPECT_EQ(0u, errors.find("hba-discovery: cannot create FCBOOT32_disc.xml (")) << errors;
    ASSERT_GE(errors.size(), said.size()) << errors;
    EXPECT_EQ(said, errors.substr(errors.size() - said.size()));
    EXPECT_NE(std::string::npos, trace.find("Command::Command(): Command is \"lspci")) << trace;
    EXPECT_EQ(std::string::npos, trace.find("Command::Execute")) << trace;
    const std::string last = "HBAScanB::CreateXmlFile(): Error creating the xml writer\n";
    ASSERT_GT(trace.size(), last.size());
    EXPECT_EQ(last, trace.substr(trace.size() - last.size()));
}

TEST(HBAScanBTest, OutputNameTakenByADirectoryStopsBeforeAnythingRuns)
{
    // The directory cannot be removed: it is named as the entry that remains.
    ExpectStopBeforeAnythingRuns(
        [] { std::filesystem::create_directory("FCBOOT32_disc.xml"); },
        "; no discovery document written; the older FCBOOT32_disc.xml remains\n");
}

// Root writes into a read-only directory by CAP_DAC_OVERRIDE. Capabilities
// belong to a thread: while this lives, the capability is out of this
// thread's effective set (it stays permitted, and comes back at the end), so
// that such a directory stops root as it stops any other user.
class WithoutDacOverride {
public:
    WithoutDacOverride()
    {
        if (syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~(1U << CAP_DAC_OVERRIDE);
        (void)syscall(SYS_capset, &header, reduced);
    }
    ~WithoutDacOverride() { (void)syscall(SYS_capset, &header, saved); }
    WithoutDacOverride(const WithoutDacOverride&) = delete;
    WithoutDacOverride& operator=(const WithoutDacOverride&) = delete;

private:
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
};

TEST(HBAScanBTest, UnwritableDirectoryStopsBeforeAnythingRuns)
{
    const WithoutDacOverride as_any_user;
    ExpectStopBeforeAnythingRuns([] { chmod(".", 0555); }, "; no discovery document written\n");
}

// A file system that fills up while the document is written (a file size
// limit stands in for it): the failure shows when the document is ended and
// flushed. No document, no temporary file, and one line on standard error,
// in the tool's words only.
TEST(HBAScanBTest, DocumentThatCannotBeWrittenOutLeavesNothing)
{
    if (MachineListsDurozaz())
        GTEST_SKIP() << "this machine has Durozaz functions";
    ComponentDir component;
    const auto discover_within_100_bytes = [] {
        struct rlimit limit = {};
        limit.rlim_cur = limit.rlim_max = 100;
        (void)signal(SIGXFSZ, SIG_IGN);
        (void)setrlimit(RLIMIT_FSIZE, &limit);
        HBAScanB scan("KT582304.xml", 0);
        std::exit(scan.CreateXmlFile());
    };
    EXPECT_EXIT(discover_within_100_bytes(), testing::ExitedWithCode(0),
                "^hba-discovery: cannot write FCBOOT32_disc.xml \\(File too large\\); no discovery "
                "document written\n$");
    EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator("."), {}));
}

} // namespace
