// SPDX-License-Identifier: Apache-2.0
// Unit tests of HBAScan: output name rule, header, footer and the document file.
#include "HBAScan.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

// The generic scanner writing its header and footer on a writer given to it.
class HeaderScan : public HBAScan {
public:
    using HBAScan::HBAScan;
    int HeaderAndFooter(xmlTextWriterPtr given, int* footer)
    {
        writer = given;
        int header = WriteXmlHeader();
        *footer = header ? WriteXmlFooter() : -1;
        writer = nullptr;
        return header;
    }
};

TEST(HBAScanTest, OutputFileNameDropsSixCharactersOrIsRefused)
{
    const struct {
        const char* filename_element; // nullptr: no configuration file at all
        const char* output;
        const char* problem;
    } cases[] = {
        {"<filename>pack0042.tarxz</filename>", "pack0042_disc.xml", ""},
        {"<filename>fwpack.bundle</filename>", "fwpack._disc.xml", ""},
        {"<filename>abc.de</filename>", "_disc.xml", ""},
        {"<filename>ABCDEFGHIJKLM.tarxz</filename>", "ABCDEFGHIJKLM_disc.xml", ""},
        {"<filename>abcde</filename>", "", "names a component file shorter than six characters"},
        {"<filename>ABCDEFGHIJKLMN.tarxz</filename>", "",
         "names a component file longer than 19 characters"},
        {"<filename>../x.tarxz</filename>", "", "names a component file that holds \"/\""},
        {"<name_xlate>No file name</name_xlate>", "", "names no component file"},
        {nullptr, "", "cannot be read"},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        const std::string config = dir.File("KT582304.xml");
        if (c.filename_element != nullptr)
            WriteFile(config, std::string("<c>") + c.filename_element + "</c>\n");
        HBAScan scan(config.c_str(), 0);
        EXPECT_STREQ(c.output, scan.GetOutputFileName()) << c.filename_element;
        EXPECT_STREQ(c.problem, scan.GetOutputFileNameProblem()) << c.filename_element;
    }
}

TEST(HBAScanTest, HeaderAndFooterOfAConfigurationWithoutTitleOrVersion)
{
    ScratchDir dir;
    WriteFile(dir.File("KT582304.xml"), "<c><filename>pack0042.tarxz</filename></c>\n");
    HeaderScan scan(dir.File("KT582304.xml").c_str(), 0);
    int header = -1, footer = -1;
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<tarn_rom_discovery version=\"2.0.0.0\">\n"
              " <type value=\"\"/>\n"
              " <alt_name value=\"\"/>\n"
              " <version value=\"\"/>\n"
              " <takes_effect value=\"deferred\"/>\n"
              " <devices/>\n"
              "</tarn_rom_discovery>\n",
              SinkOutput([&](xmlTextWriterPtr writer) {
                  header = scan.HeaderAndFooter(writer, &footer);
              }));
    EXPECT_EQ(1, header);
    EXPECT_EQ(1, footer);
}

TEST(HBAScanTest, FailedHeaderOrFooterStepIsTracedAndStops)
{
    ScratchDir dir;
    WriteFile(dir.File("KT582304.xml"),
              "<c><filename>pack0042.tarxz</filename><version value='1.0'/></c>\n");
    std::unique_ptr<HeaderScan> tracing;
    CaptureStdout([&] { tracing.reset(new HeaderScan(dir.File("KT582304.xml").c_str(), 1)); });
    HeaderScan& scan = *tracing;
    int footer = -1;
    const std::string doc = SinkOutput([&](xmlTextWriterPtr writer) {
        CaptureStdout([&] { scan.HeaderAndFooter(writer, &footer); });
    });
    const struct {
        const char* at;
        int header, footer;
        const char* trace;
    } cases[] = {
        {"<?xml", 0, -1, "HBAScan::WriteXmlHeader(): xmlTextWriterStartDocument() failed\n"},
        {"<tarn_rom_discovery", 0, -1,
         "HBAScan::WriteXmlHeader(): xmlTextWriterStartElement() failed\n"},
        {" version=\"2", 0, -1,
         "HBAScan::WriteXmlHeader(): xmlTextWriterWriteAttribute() failed\n"},
        {"<alt_name", 0, -1,
         "HBAInfo::WriteXmlElementWithAttribute(): xmlTextWriterStartElement() failed\n"},
        {"<devices", 0, -1, "HBAScan::WriteXmlHeader(): xmlTextWriterStartElement() failed\n"},
        {"/>\n</tarn", 1, 0, "HBAScan::WriteXmlFooter(): xmlTextWriterEndElement failed\n"},
        {"</tarn", 1, 0, "HBAScan::WriteXmlFooter(): xmlTextWriterEndElement failed\n"},
    };
    for (const auto& c : cases) {
        ASSERT_NE(std::string::npos, doc.find(c.at)) << doc;
        int header = -1;
        footer = -1;
        std::string written;
        std::string trace = CaptureStdout([&] {
            header = WriteFailingAt(
                doc.find(c.at),
                [&](xmlTextWriterPtr writer) { return scan.HeaderAndFooter(writer, &footer); },
                &written);
        });
        EXPECT_EQ(c.header, header) << c.at;
        EXPECT_EQ(c.footer, footer) << c.at;
        EXPECT_EQ(c.trace, trace) << c.at;
    }
}

} // namespace
