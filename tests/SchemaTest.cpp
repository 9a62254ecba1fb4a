// SPDX-License-Identifier: Apache-2.0
// The two schemas in schema/: the discovery document that the tool writes and
// the configuration layout that its reader takes as written.
//
// Besides its own cases, this file validates every discovery document that any
// unit test leaves in a scratch directory (see ScratchDirCheck).

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include "ConfigFile.h"
#include "FwCompLibUtil.h"
#include "HBAInfo.h"
#include "HBAScanB.h"
#include "TestSupport.h"
#include "XmlErrorGuard.h"

namespace {

const std::string kDiscoverySchema = SCHEMA_DIR "/discovery.xsd";
const std::string kConfigSchema = SCHEMA_DIR "/component-config.xsd";

void CollectError(void* context, XmlErrorGuard::Error error)
{
    std::string* errors = static_cast<std::string*>(context);
    *errors += error->message != nullptr ? error->message : "(no message)\n";
}

// What libxml2 says against file under the schema; empty when it validates.
// The schema is compiled anew each time: ConfigFile cleans libxml2's global
// state up, and nothing compiled should be kept across that.
std::string SchemaErrors(const std::string& schema_path, const std::string& file)
{
    std::string errors;
    xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(schema_path.c_str());
    xmlSchemaSetParserStructuredErrors(parser, CollectError, &errors);
    xmlSchemaPtr schema = xmlSchemaParse(parser);
    xmlSchemaFreeParserCtxt(parser);
    if (schema == nullptr)
        return "the schema " + schema_path + " does not compile: " + errors;
    xmlSchemaValidCtxtPtr validator = xmlSchemaNewValidCtxt(schema);
    xmlSchemaSetValidStructuredErrors(validator, CollectError, &errors);
    int result = xmlSchemaValidateFile(validator, file.c_str(), XML_PARSE_NONET);
    xmlSchemaFreeValidCtxt(validator);
    xmlSchemaFree(schema);
    if (result != 0 && errors.empty())
        errors = "does not validate (result " + std::to_string(result) + ")";
    return errors;
}

std::string RootName(const std::string& file)
{
    xmlDocPtr doc = xmlReadFile(file.c_str(), nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr)
        return std::string();
    xmlNodePtr root = xmlDocGetRootElement(doc);
    std::string name = root != nullptr ? reinterpret_cast<const char*>(root->name) : "";
    xmlFreeDoc(doc);
    return name;
}

// Every well-formed discovery document (a file named as the tool names them,
// *_disc.xml) left in a scratch directory must validate. Unfinished documents
// (a test that makes the writer fail) are not well-formed and are left to the
// tests that made them.
void ValidateDiscoveryDocumentsIn(const std::string& dir)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        const std::string suffix = "_disc.xml";
        if (!entry.is_regular_file() || name.size() < suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
            RootName(entry.path().string()) != "tarn_rom_discovery")
            continue;
        std::string errors = SchemaErrors(kDiscoverySchema, entry.path().string());
        EXPECT_EQ(errors, "") << "discovery document " << name
                              << " written by this test does not validate:\n"
                              << ReadFile(entry.path().string());
    }
}

const bool kCheckRegistered = (ScratchDirCheck = ValidateDiscoveryDocumentsIn, true);

// ---------------------------------------------------------------------------
// The discovery document

std::string Replace(std::string text, const std::string& from, const std::string& to)
{
    std::size_t at = text.find(from);
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The configuration layout the tool is made for, with two device groups.
const char kHead[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<component>
  <filename>FCBOOT32.tarxz</filename>
  <name_xlate>Boot BIOS update</name_xlate>
  <version value="3.2.1.0"/>
)";

std::string DeviceGroup(const char* vendor, const char* device, const char* subvendor,
                        const char* subdevice)
{
    return std::string("    <device_group>\n      <supported_device_data>") + vendor +
           "</supported_device_data>\n      <device_data>" + device +
           "</device_data>\n      <subvendor_data>" + subvendor +
           "</subvendor_data>\n      <subdevice_data>" + subdevice +
           "</subdevice_data>\n    </device_group>\n";
}

const std::string kCanonicalDevices =
    "  <supported_devices>\n" + DeviceGroup("1a2b", "0013", "1a2b", "0014") +
    DeviceGroup("1A2B", "0021", "1A2B", "0022") + "  </supported_devices>\n</component>\n";

const std::string kCanonical = std::string(kHead) + kCanonicalDevices;

// The canonical configuration with another title and version (XML text).
std::string ConfigWith(const std::string& title, const std::string& version)
{
    return Replace(Replace(kCanonical, ">Boot BIOS update<", ">" + title + "<"), "\"3.2.1.0\"",
                   "\"" + version + "\"");
}

using Adapter = AdapterDouble<HBAInfo>;

void Fill(OnboardSoftwareItem& item, const char* action)
{
    item.setVersion("3.2.1.0");
    item.setActive_version("3.0.2.0");
    item.setAction(action);
    item.setDuration("60");
}

// An adapter of the canonical identity with the given items, so that
// documents with devices are written by the real code without a machine.
Adapter HandMadeAdapter(bool firmware, bool bios, const char* product)
{
    Adapter adapter;
    adapter.SetIdentity("1A2B", "0013", "1A2B", "0014", product);
    if (firmware) {
        adapter.CreateFirmwareItem();
        Fill(adapter.Firmware(), "downgrade");
    }
    if (bios) {
        adapter.CreateBiosItem();
        Fill(adapter.Bios(), "upgrade");
    }
    return adapter;
}

// Writes a whole document as CreateXmlFile does, with the given adapters in
// place of the ones a machine would show.
class HandMadeScanner : public HBAScanB {
public:
    HandMadeScanner() : HBAScanB("KT582304.xml", 0) {}

    bool Write(std::vector<Adapter>& adapters)
    {
        if (!OpenWriter() || !WriteXmlHeader())
            return false;
        for (auto& adapter : adapters)
            if (!adapter.WriteXml(writer))
                return false;
        return WriteXmlFooter() && xmlTextWriterEndDocument(writer) >= 0 && FreeWriter() &&
               document.Commit();
    }
};

struct DocumentCase : TableRow {
    const char* title;
    const char* version;
    const char* product;
    int adapters;
    bool firmware;
    bool bios;
};

using DiscoveryDocumentTest = testing::TestWithParam<DocumentCase>;

TEST_P(DiscoveryDocumentTest, WrittenDocumentValidates)
{
    const DocumentCase& c = GetParam();
    ScratchDir dir(true);
    WriteFile("KT582304.xml", ConfigWith(c.title, c.version));
    std::vector<Adapter> adapters;
    for (int i = 0; i < c.adapters; i++)
        adapters.push_back(HandMadeAdapter(c.firmware, c.bios, c.product));
    HandMadeScanner scanner;
    ASSERT_TRUE(scanner.Write(adapters));
    EXPECT_EQ(SchemaErrors(kDiscoverySchema, "FCBOOT32_disc.xml"), "")
        << ReadFile("FCBOOT32_disc.xml");
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DiscoveryDocumentTest,
    testing::Values(DocumentCase{"NoDevice", "Boot BIOS update", "3.2.1.0", "", 0, false, false},
                    DocumentCase{"EmptyHeaderValues", "", "", "", 0, false, false},
                    DocumentCase{"OneBiosItem", "Boot BIOS update", "3.2.1.0", "FC-8200", 1, false,
                                 true},
                    DocumentCase{"FirmwareAndBiosItems", "t", "1", "FC-8200", 1, true, true},
                    DocumentCase{"NoItem", "t", "1", "FC-8200", 1, false, false},
                    DocumentCase{"ThreeDevices", "t", "1", "FC-8200", 3, false, true},
                    DocumentCase{"EscapedValues", "A &amp; B &lt;&quot;c&quot;&gt;", "1&amp;2",
                                 "<FC> & \"HBA\"", 1, false, true},
                    // From the machine, any bytes may come; the configuration is XML.
                    DocumentCase{"InvalidBytes", "t", "1", "FC\xE9\x01\x1b\xC3", 1, false, true},
                    DocumentCase{"Multibyte", "Dur\xC3\xB6z\xC3\xA4z \xE2\x82\xAC", "3",
                                 "\xE6\x97\xA5", 1, false, true}),
    RowName());

// The whole run on this machine (no simulation): whatever the machine shows,
// the document validates.
TEST(DiscoveryDocumentRunTest, DocumentOfARunValidates)
{
    ScratchDir dir(true);
    WriteFile("KT582304.xml", kCanonical);
    WriteFile("bfa_boot_fw", "boot image RUDUV 3.2.1.0\n");
    HBAScanB scanner("KT582304.xml", 0);
    ASSERT_EQ(scanner.CreateXmlFile(), 1);
    EXPECT_EQ(SchemaErrors(kDiscoverySchema, "FCBOOT32_disc.xml"), "");
}

// The schema is exact: each change of layout below is refused.
const char kFwItem[] = R"(   <fw_item>
    <type value="Boot BIOS ROM"/>
    <firmware_id value=""/>
    <version value="3.2.1.0"/>
    <active_version value="3.0.2.0"/>
    <action value="upgrade"/>
    <duration value="60"/>
    <message value=""/>
    <shared value="no"/>
   </fw_item>
)";

const std::string kValidDocument = std::string(R"(<?xml version="1.0" encoding="UTF-8"?>
<tarn_rom_discovery version="2.0.0.0">
 <type value="Durozaz"/>
 <alt_name value="Boot"/>
 <version value="3.1.2.0"/>
 <takes_effect value="deferred"/>
 <devices>
  <device>
   <device_id value="1A2B.0013.1A2B.0014"/>
   <product_id value="FC-8200"/>
   <busnumber value=""/>
   <devicenumber value=""/>
   <funcnumber value=""/>
)") + kFwItem + R"(  </device>
 </devices>
</tarn_rom_discovery>
)";

struct Mutation : TableRow {
    std::string from;
    std::string to;
};

using DiscoverySchemaStrictnessTest = testing::TestWithParam<Mutation>;

TEST(DiscoverySchemaStrictnessBase, UnchangedDocumentValidates)
{
    ScratchDir dir;
    WriteFile(dir.File("doc.xml"), kValidDocument);
    EXPECT_EQ(SchemaErrors(kDiscoverySchema, dir.File("doc.xml")), "");
}

TEST_P(DiscoverySchemaStrictnessTest, ChangedDocumentIsRefused)
{
    const Mutation& m = GetParam();
    std::string text = kValidDocument;
    ASSERT_NE(text.find(m.from), std::string::npos);
    text = Replace(text, m.from, m.to);
    ScratchDir dir;
    WriteFile(dir.File("doc.xml"), text);
    EXPECT_NE(SchemaErrors(kDiscoverySchema, dir.File("doc.xml")), "") << text;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DiscoverySchemaStrictnessTest,
    testing::Values(
        Mutation{"HeaderOutOfOrder", " <type value=\"Durozaz\"/>\n <alt_name value=\"Boot\"/>",
                 " <alt_name value=\"Boot\"/>\n <type value=\"Durozaz\"/>"},
        Mutation{"HeaderElementMissing", " <takes_effect value=\"deferred\"/>\n", ""},
        Mutation{"RootVersionMissing", " version=\"2.0.0.0\"", ""},
        Mutation{"OtherRootVersion", "version=\"2.0.0.0\"", "version=\"2.0.0.1\""},
        Mutation{"ValueAttributeMissing", "<alt_name value=\"Boot\"/>", "<alt_name/>"},
        Mutation{"SecondAttribute", "<alt_name value=\"Boot\"/>",
                 "<alt_name value=\"Boot\" lang=\"en\"/>"},
        Mutation{"OtherAttributeName", "<product_id value=", "<product_id name="},
        Mutation{"TextContent", "<alt_name value=\"Boot\"/>",
                 "<alt_name value=\"Boot\">Boot</alt_name>"},
        Mutation{"DeviceChildMissing", "   <funcnumber value=\"\"/>\n", ""},
        Mutation{"FwItemBeforeIds", "   <device_id value=\"1A2B.0013.1A2B.0014\"/>\n",
                 std::string(kFwItem) + "   <device_id value=\"1A2B.0013.1A2B.0014\"/>\n"},
        Mutation{"ThreeFwItems", kFwItem, std::string(kFwItem) + kFwItem + kFwItem},
        Mutation{"FwItemChildrenOutOfOrder",
                 "    <version value=\"3.2.1.0\"/>\n    <active_version value=\"3.0.2.0\"/>",
                 "    <active_version value=\"3.0.2.0\"/>\n    <version value=\"3.2.1.0\"/>"},
        Mutation{"UnknownAction", "<action value=\"upgrade\"/>", "<action value=\"flash\"/>"},
        Mutation{"EmptyAction", "<action value=\"upgrade\"/>", "<action value=\"\"/>"},
        Mutation{"UnknownItemType", "<type value=\"Boot BIOS ROM\"/>", "<type value=\"ROM\"/>"},
        Mutation{"OtherTakesEffect", "value=\"deferred\"", "value=\"immediate\""},
        Mutation{"DeviceOutsideDevices", " <devices>\n", " <devices/>\n <devices>\n"},
        Mutation{"OtherRoot", "tarn_rom_discovery version", "rom_discovery version"}),
    RowName());

// ---------------------------------------------------------------------------
// The configuration file: a layout the schema accepts is read as written, and
// layouts the reader misreads are refused.

struct Group {
    std::string vendor, device, subvendor, subdevice;
    bool operator==(const Group& o) const
    {
        return vendor == o.vendor && device == o.device && subvendor == o.subvendor &&
               subdevice == o.subdevice;
    }
};

struct Reading {
    std::string title, version, file_name;
    std::vector<Group> groups;
};

std::ostream& operator<<(std::ostream& out, const Reading& r)
{
    out << "title \"" << r.title << "\", version \"" << r.version << "\", file name \""
        << r.file_name << "\", groups:";
    for (const Group& g : r.groups)
        out << " [" << g.vendor << "|" << g.device << "|" << g.subvendor << "|" << g.subdevice
            << "]";
    return out;
}

bool operator==(const Reading& a, const Reading& b)
{
    return a.title == b.title && a.version == b.version && a.file_name == b.file_name &&
           a.groups == b.groups;
}

Reading Read(const std::string& path)
{
    ConfigFile config(path.c_str(), 0);
    Reading r{config.GetComponentTitle(),
              config.GetComponentVersion(),
              config.GetComponentFileName(),
              {}};
    for (const PciDevice& d : config.GetSupportedDevices())
        r.groups.push_back({d.VendorId, d.DeviceId, d.SubvendorId, d.SubdeviceId});
    return r;
}

// What every layout below means to say.
const Reading kIntended{"Boot BIOS update",
                        "3.2.1.0",
                        "FCBOOT32.tarxz",
                        {{"1A2B", "0013", "1A2B", "0014"}, {"1A2B", "0021", "1A2B", "0022"}}};

enum class Reader { AsIntended, Misread, NotCompared };

struct LayoutCase : TableRow {
    std::string text;
    bool validates;
    // How the tool's reader takes the file; NotCompared where the file itself
    // says something else than kIntended (a changed value), so that only the
    // schema's verdict is of interest.
    Reader reader;
};

using ConfigLayoutTest = testing::TestWithParam<LayoutCase>;

TEST_P(ConfigLayoutTest, SchemaAndReaderAgree)
{
    const LayoutCase& c = GetParam();
    ScratchDir dir;
    WriteFile(dir.File("KT582304.xml"), c.text);
    std::string errors = SchemaErrors(kConfigSchema, dir.File("KT582304.xml"));
    EXPECT_EQ(errors.empty(), c.validates) << errors << c.text;
    Reading read = Read(dir.File("KT582304.xml"));
    if (c.reader == Reader::AsIntended) {
        EXPECT_EQ(read, kIntended) << c.text;
    } else if (c.reader == Reader::Misread) {
        EXPECT_FALSE(read == kIntended) << read << "\n" << c.text;
    }
}

TEST(ConfigLayoutExampleTest, BundledExampleValidates)
{
    EXPECT_EQ(SchemaErrors(kConfigSchema, EXAMPLE_COMPONENT_DIR "/KT582304.xml"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ConfigLayoutTest,
    testing::Values(
        LayoutCase{"Canonical", kCanonical, true, Reader::AsIntended},
        LayoutCase{"TopElementsInAnyOrder",
                   R"(<?xml version="1.0"?>
<component>
  <version value="3.2.1.0"/>
)" + kCanonicalDevices.substr(0, kCanonicalDevices.find("</component>")) +
                       R"(  <name_xlate>Boot BIOS update</name_xlate>
  <filename>FCBOOT32.tarxz</filename>
</component>
)",
                   true, Reader::AsIntended},
        LayoutCase{"IdentifiersNestedInFirst",
                   std::string(kHead) +
                       ReplaceAll(ReplaceAll(kCanonicalDevices, "supported_device_data", "vendor"),
                                  "device_group", "supported_device_data"),
                   false, Reader::Misread},
        LayoutCase{
            "GroupsWithoutOwnElement",
            std::string(kHead) +
                ReplaceAll(ReplaceAll(ReplaceAll(kCanonicalDevices, "    <device_group>\n", ""),
                                      "    </device_group>\n", ""),
                           "      <", "    <"),
            false, Reader::Misread},
        LayoutCase{"EmptyIdentifierElement",
                   Replace(kCanonical, "<device_data>0013</device_data>", "<device_data/>"), false,
                   Reader::Misread},
        LayoutCase{"IdentifierWithPrefix", Replace(kCanonical, ">0021<", ">0x0021<"), false,
                   Reader::NotCompared},
        LayoutCase{"IdentifierWithBlank", Replace(kCanonical, ">0021<", "> 0021<"), false,
                   Reader::NotCompared},
        LayoutCase{"TitleAsEmptyElement",
                   Replace(kCanonical, "<name_xlate>Boot BIOS update</name_xlate>",
                           "<name_xlate/>\n  <name_xlate>Boot BIOS update</name_xlate>"),
                   false, Reader::Misread},
        LayoutCase{
            "VersionAsText",
            Replace(kCanonical, "<version value=\"3.2.1.0\"/>", "<version>3.2.1.0</version>"),
            false, Reader::Misread},
        LayoutCase{"SecondVersionFirst",
                   Replace(kCanonical, "<filename>", "<version value=\"9.9\"/>\n  <filename>"),
                   false, Reader::NotCompared},
        LayoutCase{"VersionInsideGroup",
                   Replace(kCanonical, "<supported_device_data>1a2b</supported_device_data>\n",
                           "<supported_device_data>1a2b</supported_device_data>\n"
                           "      <version value=\"3.2.1.0\"/>\n"),
                   false, Reader::Misread},
        // Read as written, but the tool writes no document for these names.
        LayoutCase{"FileNameTooShort", Replace(kCanonical, "FCBOOT32.tarxz", "a.tar"), false,
                   Reader::NotCompared},
        LayoutCase{"FileNameTooLong", Replace(kCanonical, "FCBOOT32.tarxz", "FCBOOT32-2026.tarxz-"),
                   false, Reader::NotCompared},
        LayoutCase{"FileNameWithSlash", Replace(kCanonical, "FCBOOT32.tarxz", "../FCBOOT32.tarxz"),
                   false, Reader::NotCompared},
        // Beyond what a schema sees (docs/packaging.md): whitespace
        // between elements and comments. These validate and are misread.
        LayoutCase{
            "GroupOnOneLine",
            Replace(kCanonical,
                    "<device_group>\n      <supported_device_data>1a2b</supported_device_data>"
                    "\n      <device_data>0013</device_data>",
                    "<device_group><supported_device_data>1a2b</supported_device_data>"
                    "<device_data>0013</device_data>"),
            true, Reader::Misread},
        LayoutCase{"CommentInGroup",
                   Replace(kCanonical, "      <device_data>0021</device_data>\n",
                           "      <!-- FC-1600 -->\n      <device_data>0021</device_data>\n"),
                   true, Reader::Misread}),
    RowName());

} // namespace
