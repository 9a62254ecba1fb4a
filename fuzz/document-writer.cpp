// SPDX-License-Identifier: Apache-2.0
// Fuzzes the discovery document writer: the input, cut at its zero bytes,
// gives the values of a whole document (header, one adapter with a firmware
// and a boot BIOS item, footer), written the way the scanner writes it, with
// a parser clean-up in between as the support checks do. The document must
// parse as well-formed XML, and every value attribute must read back as the
// stored field made XML-safe.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "BoundedText.h"
#include "FuzzSupport.h"
#include "HBAInfo.h"
#include "HBAScan.h"
#include "SafeText.h"
#include "XmlParserCleanup.h"

namespace {

using Expected = std::vector<std::pair<std::string, std::string>>;

class Fields {
public:
    Fields(const std::uint8_t* data, std::size_t size)
        : text(reinterpret_cast<const char*>(data), size),
          pos(0)
    {
    }
    // The next zero-terminated piece of the input (empty once it is used up).
    std::string Next()
    {
        if (pos > text.size())
            return std::string();
        std::size_t end = text.find('\0', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string piece = text.substr(pos, end - pos);
        pos = end + 1;
        return piece;
    }

private:
    std::string text;
    std::size_t pos;
};

// The scanner's document half, with its header values and output file set
// directly instead of from a configuration file.
class DocumentScan : public HBAScan {
public:
    DocumentScan(const char* path, Fields& in, int debug_value)
    {
        debug = debug_value;
        util.SetDebugValue(debug_value);
        BoundedText::CopyBounded(OutputFileName, sizeof(OutputFileName), path);
        BoundedText::CopyBounded(TarnromVerStr, sizeof(TarnromVerStr), in.Next().c_str());
        BoundedText::CopyBounded(TypeStr, sizeof(TypeStr), in.Next().c_str());
        BoundedText::CopyBounded(AltName, sizeof(AltName), in.Next().c_str());
        BoundedText::CopyBounded(VersionStr, sizeof(VersionStr), in.Next().c_str());
        BoundedText::CopyBounded(TakesEffectStr, sizeof(TakesEffectStr), in.Next().c_str());
    }
    int Open() { return OpenWriter(); }
    xmlTextWriterPtr Writer() { return writer; }
    bool Close() { return FreeWriter() && document.Commit(); }
    void Expect(Expected& out) const
    {
        out.emplace_back("tarn_rom_discovery", TarnromVerStr);
        out.emplace_back("type", TypeStr);
        out.emplace_back("alt_name", AltName);
        out.emplace_back("version", VersionStr);
        out.emplace_back("takes_effect", TakesEffectStr);
    }
};

void FillItem(OnboardSoftwareItem& item, Fields& in)
{
    item.setType(in.Next().c_str());
    item.setFirmware_id(in.Next().c_str());
    item.setVersion(in.Next().c_str());
    item.setActive_version(in.Next().c_str());
    item.setAction(in.Next().c_str());
    item.setDuration(in.Next().c_str());
    item.setMessage(in.Next().c_str());
    item.setShared(in.Next().c_str());
}

void ExpectItem(OnboardSoftwareItem& item, Expected& out)
{
    out.emplace_back("fw_item", "");
    out.emplace_back("type", item.getType());
    out.emplace_back("firmware_id", item.getFirmware_id());
    out.emplace_back("version", item.getVersion());
    out.emplace_back("active_version", item.getActive_version());
    out.emplace_back("action", item.getAction());
    out.emplace_back("duration", item.getDuration());
    out.emplace_back("message", item.getMessage());
    out.emplace_back("shared", item.getShared());
}

// An adapter record with its fields set directly instead of probed.
class DocumentAdapter : public HBAInfo {
public:
    DocumentAdapter(Fields& in, int debug_value)
    {
        debug = debug_value;
        util.SetDebugValue(debug_value);
        BoundedText::CopyBounded(composite_pci_id, sizeof(composite_pci_id), in.Next().c_str());
        BoundedText::CopyBounded(product_id, sizeof(product_id), in.Next().c_str());
        BoundedText::CopyBounded(busnumber, sizeof(busnumber), in.Next().c_str());
        CreateFirmwareItem();
        CreateBiosItem();
        FillItem(fi, in);
        FillItem(bi, in);
    }
    void Expect(Expected& out)
    {
        out.emplace_back("device", "");
        out.emplace_back("device_id", composite_pci_id);
        out.emplace_back("product_id", product_id);
        out.emplace_back("busnumber", busnumber);
        out.emplace_back("devicenumber", devicenumber);
        out.emplace_back("funcnumber", funcnumber);
        ExpectItem(fi, out);
        ExpectItem(bi, out);
    }
};

// Every element in document order with its value attribute ("" without one).
void Collect(xmlNodePtr node, Expected& out)
{
    for (; node != nullptr; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        const char* attribute = node->parent != nullptr && node->parent->type == XML_DOCUMENT_NODE
                                    ? "version"
                                    : "value";
        xmlChar* value = xmlGetProp(node, BAD_CAST attribute);
        std::string name(reinterpret_cast<const char*>(node->name));
        if (name != "devices")
            out.emplace_back(name, value != nullptr ? reinterpret_cast<const char*>(value) : "");
        xmlFree(value);
        Collect(node->children, out);
    }
}

// The writer puts the document in the working directory under a plain name,
// as the tool does: a scratch directory of its own, entered once.
struct DocumentDir {
    std::string dir;
    DocumentDir()
    {
        char tmpl[] = "/tmp/hba-fuzz-document.XXXXXX";
        if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0)
            fuzz::Fail("cannot enter a scratch directory in /tmp");
        dir = tmpl;
    }
    ~DocumentDir()
    {
        (void)unlink(kName);
        (void)rmdir(dir.c_str());
    }
    static constexpr const char* kName = "FCBOOT32_disc.xml";
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const DocumentDir directory;
    fuzz::SilenceLibxml2();
    const int debug = static_cast<int>(size % 2);
    Fields in(data, size);

    Expected expected;
    {
        DocumentScan scan(DocumentDir::kName, in, debug);
        DocumentAdapter adapter(in, debug);
        if (!scan.Open())
            fuzz::Fail("the writer did not open");
        if (!scan.WriteXmlHeader())
            fuzz::Fail("the header was not written");
        // A configuration reading ends with this clean-up while the writer is open.
        XmlParserCleanup::Cleanup();
        if (!adapter.WriteXml(scan.Writer()))
            fuzz::Fail("the device element was not written");
        if (!scan.WriteXmlFooter())
            fuzz::Fail("the footer was not written");
        if (xmlTextWriterEndDocument(scan.Writer()) < 0)
            fuzz::Fail("the document was not ended");
        if (!scan.Close())
            fuzz::Fail("the document was not put in place");

        scan.Expect(expected);
        adapter.Expect(expected);
        for (auto& entry : expected)
            entry.second = SafeText::ForXml(entry.second.c_str());
    }

    xmlDocPtr doc = xmlReadFile(DocumentDir::kName, nullptr, XML_PARSE_NONET);
    if (doc == nullptr)
        fuzz::Fail("the written document is not well-formed XML");
    Expected found;
    Collect(xmlDocGetRootElement(doc), found);
    xmlFreeDoc(doc);
    if (found != expected)
        fuzz::Fail("the document does not carry the values that were written");
    return 0;
}
