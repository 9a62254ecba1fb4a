// SPDX-License-Identifier: Apache-2.0
// Unit tests of FwCompLibUtil and the helpers beside it: bounded texts, safe texts, diagnostics.
#include "FwCompLibUtil.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <libxml/encoding.h>
#if LIBXML_VERSION < 21200
#include <libxml/globals.h>
#endif
#include <libxml/parser.h>

#include "BoundedText.h"
#include "ConfigFile.h"
#include "Diagnostics.h"
#include "SafeText.h"
#include "TestSupport.h"
#include "XmlErrorGuard.h"
#include "XmlParserCleanup.h"

namespace {

#define FFFD "\xEF\xBF\xBD"

TEST(FwCompLibUtilTest, ChompRemovesExactlyOneTrailingLineFeed)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"abc\n", "abc"}, {"abc\n\n", "abc\n"}, {"abc\r\n", "abc\r"}, {"abc", "abc"},
        {"", ""},         {"\n", ""},
    };
    FwCompLibUtil util;
    for (const auto& c : cases) {
        char text[16];
        std::strcpy(text, c.in);
        util.chomp(text);
        EXPECT_STREQ(c.out, text) << "input: " << c.in;
    }
}

TEST(FwCompLibUtilTest, PrintableEscapesWhatCouldBreakALineOrItsQuotes)
{
    EXPECT_EQ("V3.2.1.0", SafeText::ForLine("V3.2.1.0"));
    EXPECT_EQ("BIOS 7~", SafeText::ForLine("BIOS 7~")); // 0x20 and 0x7E are printable
    EXPECT_EQ("3.0\\x0A9\\x09\\x22\\x5C\\xFF\\x7F", SafeText::ForLine("3.0\n9\t\"\\\xff\x7f"));
}

TEST(FwCompLibUtilTest, XmlSafeTextReplacesWhatXmlCannotCarry)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"Example FC adapter <&\">", "Example FC adapter <&\">"},
        {"tab\tlf\ncr\r", "tab\tlf\ncr\r"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF",
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"},
        {"Model\xE9", "Model" FFFD},
        {"a\x01"
         "b",
         "a" FFFD "b"},
        {"\x1B[0m", FFFD "[0m"},
        {"\xC0\x80", FFFD FFFD},
        {"\xE0\x80\x80", FFFD FFFD FFFD},
        {"\xED\xA0\x80", FFFD},
        {"\xEF\xBF\xBE", FFFD},
        {"ab\xE2\x82", "ab" FFFD FFFD},
        {"\xF5\x80\x80\x80", FFFD FFFD FFFD FFFD},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.out, SafeText::ForXml(c.in)) << "input: " << c.in;
}

TEST(FwCompLibUtilTest, CopyBoundedCutsAtWidthLessOneAndNeverOverruns)
{
    const struct {
        std::size_t width;
        const char *in, *out;
    } cases[] = {{5, "abcdefg", "abcd"}, {5, "abcd", "abcd"}, {5, "", ""}, {1, "abc", ""}};
    for (const auto& c : cases) {
        char field[8];
        std::memset(field, '#', sizeof(field));
        BoundedText::CopyBounded(field, c.width, c.in);
        EXPECT_STREQ(c.out, field);
        EXPECT_EQ(std::string(sizeof(field) - c.width, '#'),
                  std::string(field + c.width, sizeof(field) - c.width));
    }
}

TEST(FwCompLibUtilTest, CopyBoundedClearsTheRestOfTheField)
{
    char field[6];
    BoundedText::CopyBounded(field, "abcde");
    BoundedText::CopyBounded(field, "x");
    EXPECT_EQ(std::string("x\0\0\0\0\0", 6), std::string(field, 6));
}

// A text that does not fit is not copied at all: the field keeps what it held.
TEST(FwCompLibUtilTest, CopyIfFitsCopiesWholeTextsOnly)
{
    const struct {
        std::size_t width;
        const char* in;
        bool fits;
        const char* out;
    } cases[] = {{5, "abcd", true, "abcd"}, {5, "abcde", false, "old"}, {5, "", true, ""},
                 {1, "", true, ""},         {1, "a", false, "old"},     {0, "", false, "old"}};
    for (const auto& c : cases) {
        char field[8] = "old";
        std::memset(field + 4, '#', sizeof(field) - 4);
        EXPECT_EQ(c.fits, BoundedText::CopyIfFits(field, c.width, c.in)) << c.in;
        EXPECT_STREQ(c.out, field) << c.in;
        EXPECT_EQ("###", std::string(field + 5, 3)) << "written past the width: " << c.in;
    }
}

// The tool's own lines carry its name; lines about a file keep libxml2's
// shape. Each is one whole line, however long.
TEST(FwCompLibUtilTest, StderrLineWritesOneWholeLine)
{
    const std::string long_text(5000, 'x');
    testing::internal::CaptureStderr();
    Diagnostics::StderrLine("%s is %d", "HBA_DISCOVERY_TIMEOUT", 0);
    Diagnostics::StderrLineAbout("KT582304.xml", ":%d: %s", 7, "Opening and ending tag mismatch");
    Diagnostics::StderrLineAbout("KT582304.xml", ": %s", long_text.c_str());
    EXPECT_EQ("hba-discovery: HBA_DISCOVERY_TIMEOUT is 0\n"
              "KT582304.xml:7: Opening and ending tag mismatch\n"
              "KT582304.xml: " +
                  long_text + "\n",
              testing::internal::GetCapturedStderr());
}

// A text that does not fit is never cut (a cut command line runs something
// else): the buffer is left empty and the result says so.
TEST(FwCompLibUtilTest, FormatBoundedRefusesWhatDoesNotFit)
{
    const struct {
        const char* arg;
        bool fits;
        const char* out;
    } cases[] = {{"ab", true, "cat ab"}, {"abc", true, "cat abc"}, {"abcd", false, ""}};
    for (const auto& c : cases) {
        char buffer[8];
        EXPECT_EQ(c.fits, BoundedText::FormatBounded(buffer, sizeof(buffer), "cat %s", c.arg));
        EXPECT_STREQ(c.out, buffer) << c.arg;
    }
}

TEST(FwCompLibUtilTest, WritesValueElementsEscapedAndWellFormed)
{
    ScratchDir dir;
    const std::string path = dir.File("doc.xml");
    xmlTextWriterPtr writer = xmlNewTextWriterFilename(path.c_str(), 0);
    ASSERT_NE(nullptr, writer);
    FwCompLibUtil util;
    xmlTextWriterStartDocument(writer, nullptr, "UTF-8", nullptr);
    xmlTextWriterSetIndent(writer, 1);
    xmlTextWriterStartElement(writer, BAD_CAST "root");
    EXPECT_EQ(1, util.WriteXmlElementWithAttribute(writer, "plain", "Example FC adapter"));
    EXPECT_EQ(1, util.WriteXmlElementWithAttribute(writer, "escaped", "A&B <C> \"D\""));
    EXPECT_EQ(1, util.WriteXmlElementWithAttribute(writer, "empty", ""));
    EXPECT_EQ(1, util.WriteXmlElementWithAttribute(writer, "utf8", "caf\xC3\xA9"));
    EXPECT_EQ(1, util.WriteXmlElementWithAttribute(writer, "hostile",
                                                   "x\x01\x1B"
                                                   "y\xED\xA0\x80\xE9"));
    xmlTextWriterEndDocument(writer);
    xmlFreeTextWriter(writer);

    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<root>\n"
              " <plain value=\"Example FC adapter\"/>\n"
              " <escaped value=\"A&amp;B &lt;C&gt; &quot;D&quot;\"/>\n"
              " <empty value=\"\"/>\n"
              " <utf8 value=\"caf\xC3\xA9\"/>\n"
              " <hostile value=\"x" FFFD FFFD "y" FFFD FFFD "\"/>\n"
              "</root>\n",
              ReadFile(path));
    EXPECT_TRUE(IsWellFormedXml(path));
}

TEST(FwCompLibUtilTest, EachFailedWriterStepIsTracedUnderTheHBAInfoLabel)
{
    std::string element = SinkOutput([](xmlTextWriterPtr writer) {
        FwCompLibUtil util;
        util.WriteXmlElementWithAttribute(writer, "e", "v");
    });
    ASSERT_EQ("<e value=\"v\"/>", element);
    const struct {
        std::size_t at;
        const char* trace;
    } cases[] = {
        {0, "HBAInfo::WriteXmlElementWithAttribute(): xmlTextWriterStartElement() failed\n"},
        {2, "HBAInfo::WriteXmlElementWithAttribute(): xmlTextWriterWriteAttribute() failed\n"},
        {12, "HBAInfo::WriteXmlElementWithAttribute(): Error at xmlTextWriterEndElement()\n"},
    };
    for (const auto& c : cases) {
        for (int debug : {0, 1}) {
            int result = -1;
            std::string written;
            std::string trace = CaptureStdout([&] {
                result = WriteFailingAt(
                    c.at,
                    [&](xmlTextWriterPtr writer) {
                        FwCompLibUtil util;
                        util.SetDebugValue(debug);
                        return util.WriteXmlElementWithAttribute(writer, "e", "v");
                    },
                    &written);
            });
            EXPECT_EQ(0, result) << "failing at " << c.at;
            EXPECT_EQ(debug ? c.trace : "", trace);
        }
    }
}

void CountError(void* count, XmlErrorGuard::Error /*error*/)
{
    ++*static_cast<int*>(count);
}

void DropError(void* /*context*/, XmlErrorGuard::Error /*error*/)
{
}

// NOLINTNEXTLINE(cert-dcl50-cpp): the handler type libxml2 calls is variadic
void DropGeneric(void* /*context*/, const char* /*format*/, ...)
{
}

// Guards nest: a configuration reading inside another guard's life puts that
// guard's handler back, and the last guard the caller's own.
TEST(FwCompLibUtilTest, XmlErrorGuardPutsTheHandlersSetBeforeBack)
{
    ScratchDir dir;
    WriteFile(dir.File("KT582304.xml"), "<c><filename>pack0042.tarxz</filename>\n");
    int errors = 0;
    xmlSetStructuredErrorFunc(&errors, CountError);
    const xmlGenericErrorFunc generic = xmlGenericError;
    {
        XmlErrorGuard guard(nullptr, DropError);
        EXPECT_EQ(&DropError, xmlStructuredError);
        ConfigFile config(dir.File("KT582304.xml").c_str(), 0);
        EXPECT_EQ(&DropError, xmlStructuredError);
        EXPECT_EQ(generic, xmlGenericError);
        {
            XmlErrorGuard inner(nullptr, DropError, DropGeneric);
            EXPECT_EQ(&DropGeneric, xmlGenericError);
        }
        EXPECT_EQ(generic, xmlGenericError);
    }
    EXPECT_EQ(&CountError, xmlStructuredError);
    EXPECT_EQ(&errors, xmlStructuredErrorContext);
    EXPECT_EQ(0, errors) << "the reading's error reached the caller's handler";
    xmlSetStructuredErrorFunc(nullptr, nullptr);
}

// A clean-up of the XML library while the document writer is open must be
// deferred: it would free the UTF-8 encoding handler that the writer uses.
// The freed memory is claimed and zeroed straight away, so that a premature
// clean-up breaks the writer even without a memory checker.
TEST(FwCompLibUtilTest, WriterComesThroughAConfigurationReadingWhileOpen)
{
    ScratchDir dir;
    WriteFile(dir.File("KT582304.xml"), "<c><filename>pack0042.tarxz</filename></c>\n");
    const std::string path = dir.File("doc.xml");
    xmlTextWriterPtr writer = xmlNewTextWriterFilename(path.c_str(), 0);
    ASSERT_NE(nullptr, writer);
    XmlParserCleanup::WriterOpened();
    ASSERT_GE(xmlTextWriterStartDocument(writer, nullptr, "UTF-8", nullptr), 0);
    xmlTextWriterSetIndent(writer, 1);
    xmlTextWriterStartElement(writer, BAD_CAST "root");

    xmlInitParser();
    {
        ConfigFile config(dir.File("KT582304.xml").c_str(), 0);
        EXPECT_STREQ("pack0042.tarxz", config.GetComponentFileName());
    }
    std::vector<void*> claimed;
    for (int i = 0; i < 200; i++) {
        claimed.push_back(std::malloc(sizeof(xmlCharEncodingHandler)));
        std::memset(claimed.back(), 0, sizeof(xmlCharEncodingHandler));
    }

    FwCompLibUtil util;
    int written = 0;
    for (int i = 0; i < 200; i++)
        written +=
            util.WriteXmlElementWithAttribute(writer, "item", "caf\xC3\xA9 value of the item");
    EXPECT_EQ(200, written);
    EXPECT_GE(xmlTextWriterEndDocument(writer), 0);
    xmlFreeTextWriter(writer);
    XmlParserCleanup::WriterFreed();
    for (void* p : claimed)
        std::free(p);

    const std::string doc = ReadFile(path);
    ASSERT_GT(doc.size(), 4000u);
    EXPECT_EQ("</root>\n", doc.substr(doc.size() - 8));
    EXPECT_TRUE(IsWellFormedXml(path));
}

} // namespace
