// SPDX-License-Identifier: Apache-2.0
// ConfigFile: reads the component configuration file and matches PCI identities.
#include "ConfigFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libxml/globals.h>

#include "FwCompLibUtil.h"

namespace {

const char* AsText(const xmlChar* s)
{
    return reinterpret_cast<const char*>(s);
}

// What the expansion of an attribute value has used so far.
struct ExpansionBudget {
    std::size_t characters;
    std::size_t pieces;
};

// Adds up what libxml2's in-line expansion of a node list (xmlNodeListGetString,
// which xmlTextReaderGetAttribute uses) would produce: text and CDATA give
// their length, an entity reference the expansion of its entity's nodes, an
// undeclared entity its own content. Nothing is copied, and the walk stops as
// soon as either bound is passed: false then.
bool CountExpansion(xmlDocPtr doc, xmlNodePtr node, ExpansionBudget& budget)
{
    for (; node != nullptr; node = node->next) {
        if (++budget.pieces > ConfigFile::kMaxValuePieces)
            return false;
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            budget.characters += static_cast<std::size_t>(xmlStrlen(node->content));
        } else if (node->type == XML_ENTITY_REF_NODE) {
            xmlEntityPtr entity = xmlGetDocEntity(doc, node->name);
            if (entity == nullptr)
                budget.characters += static_cast<std::size_t>(xmlStrlen(node->content));
            else if (!CountExpansion(doc, entity->children, budget))
                return false;
        }
        if (budget.characters > ConfigFile::kMaxExpandedValue)
            return false;
    }
    return true;
}

// Opens the configuration for reading as it is on disk: a regular file
// only, a link to one followed as any file name is. A FIFO would block the
// open (no time limit applies to it), a device or directory reads forever or
// not at all: each is refused at once, without a read. Returns the
// descriptor, or -1 with the system's error number (0 for a file that is
// not regular and no directory).
int OpenRegularFile(const char* path, int* error)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat status = {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *error = S_ISDIR(status.st_mode) ? EISDIR : 0;
        (void)close(fd);
        return -1;
    }
    // Reads of a regular file do not block anyway; the file is read plainly.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

} // namespace

ConfigFile::ConfigFile(const char* path, int debug_value)
    : debug(debug_value), ComponentTitle(), ComponentVersion(), ComponentFileName(),
      SupportedDevices(), opened(false), file_name_cut(false),
      read_result(1), first_error{XML_ERR_NONE, 0, {}}, refused_line(0)
{
    FwCompLibUtil::Trace(debug, "ConfigFile::ConfigFile(): Filename to open is \"%s\"\n", path);

    // Everything libxml2 says during this reading goes to one handler that
    // keeps one error; it is said in one line afterwards. libxml2's own
    // handler would print the offending line of the file, which may be a
    // file the caller must not see. The file is opened here and handed over
    // as a descriptor: libxml2 reads it as it is, where from a file name it
    // would expand gzip-compressed content (204 KB became 200 MiB) and open
    // a FIFO without a time limit.
    int open_error = 0;
    const int fd = OpenRegularFile(path, &open_error);
    if (fd < 0)
        KeepOpenError(open_error);
    {
        const FwCompLibUtil::XmlErrorGuard handlers(this, KeepParserError, DropGenericError);
        xmlTextReaderPtr reader = fd >= 0 ? xmlReaderForFd(fd, path, nullptr, 0) : nullptr;
        opened = reader != nullptr;
        while (ReadNode(reader) == 1)
            ProcessXMLNode(reader);
        // An error that names no line (a failed read) happened where the
        // parser stood.
        if (first_error.line <= 0 && reader != nullptr)
            first_error.line = xmlTextReaderGetParserLineNumber(reader);
        xmlFreeTextReader(reader);
    }
    if (fd >= 0)
        (void)close(fd);
    FwCompLibUtil::CleanupParser();
    if (refused_line != 0)
        Refuse();
    ReportReading(path);

    FwCompLibUtil::Trace(debug, "ConfigFile::ConfigFileComponentTile=%s\n", ComponentTitle);
    FwCompLibUtil::Trace(debug, "ConfigFile::ConfigFileComponentVersion=%s\n", ComponentVersion);
    FwCompLibUtil::Trace(debug, "ConfigFile::ConfigFileComponentFileName=%s\n", ComponentFileName);
}

char* ConfigFile::GetComponentTitle()
{
    return ComponentTitle;
}

char* ConfigFile::GetComponentVersion()
{
    return ComponentVersion;
}

char* ConfigFile::GetComponentFileName()
{
    return ComponentFileName;
}

bool ConfigFile::WasOpened() const
{
    return opened;
}

bool ConfigFile::IsComponentFileNameCut() const
{
    return file_name_cut;
}

// Keeps the first error, a warning only while no error has come. libxml2
// stops at its first fatal error, so what follows it is a consequence, and an
// error before it is its cause (a read that failed: "Is a directory"); a
// warning never ends the reading.
void ConfigFile::KeepParserError(void* config, xmlErrorPtr error)
{
    ParserError& kept = static_cast<ConfigFile*>(config)->first_error;
    if (error == nullptr || error->level == XML_ERR_NONE || kept.level > XML_ERR_WARNING ||
        (kept.level == XML_ERR_WARNING && error->level == XML_ERR_WARNING))
        return;
    kept.level = error->level;
    kept.line = error->line;
    // libxml2's messages end in a line break; a second line, where there is
    // one, quotes bytes of the file, so only the first is kept.
    FwCompLibUtil::CopyBounded(kept.message, error->message != nullptr ? error->message : "");
    kept.message[std::strcspn(kept.message, "\n")] = '\0';
}

// A configuration that cannot be opened, or is refused, is said as libxml2
// would say a file it cannot open (a missing one silently): the system's
// reason, or that it is not a regular file.
void ConfigFile::KeepOpenError(int error)
{
    if (error == ENOENT)
        return;
    first_error.level = XML_ERR_ERROR;
    first_error.line = 0;
    FwCompLibUtil::CopyBounded(first_error.message,
                               error != 0 ? std::strerror(error) : "not a regular file");
}

// Every error of the reader comes through the structured handler; what
// libxml2 would print through its generic one is dropped, never printed raw.
// NOLINTNEXTLINE(cert-dcl50-cpp): the handler type libxml2 calls is variadic
void ConfigFile::DropGenericError(void* /*config*/, const char* /*format*/, ...)
{
}

// One line on standard error for a reading that libxml2 complained about or
// that was refused; nothing for a clean one.
void ConfigFile::ReportReading(const char* path) const
{
    if (refused_line != 0) {
        FwCompLibUtil::SayAbout(path,
                                ":%d: an attribute value expands to more than %zu characters or "
                                "%zu pieces; the configuration is not read",
                                refused_line, kMaxExpandedValue, kMaxValuePieces);
    } else if (first_error.level == XML_ERR_NONE) {
        return;
    } else if (!opened) {
        FwCompLibUtil::SayAbout(path, ": %s", first_error.message);
    } else if (read_result == -1) {
        FwCompLibUtil::SayAbout(path, ": read up to line %d: %s", first_error.line,
                                first_error.message);
    } else {
        FwCompLibUtil::SayAbout(path, ":%d: %s", first_error.line, first_error.message);
    }
}

// A configuration refused as a whole reads as a missing one: no values, no
// devices.
void ConfigFile::Refuse()
{
    ComponentTitle[0] = '\0';
    ComponentVersion[0] = '\0';
    ComponentFileName[0] = '\0';
    SupportedDevices.clear();
    opened = false;
    file_name_cut = false;
}

// libxml2 expands entity references in an attribute value without any
// bound: xmlTextReaderGetAttribute does, and so does the reader when it frees
// a passed element whose attribute is an ID. One entity of 50,000 characters
// named 4,000 times takes 200 MB, and with many small pieces the joining
// grows quadratically. The parser's own entity accounting does not cover it
// (it checks each entity once, not each reference in an attribute), so every
// element's attributes are measured on the nodes the parser built, while the
// element is current and before anything expands them; a value beyond the
// bounds refuses the whole configuration. A value within them costs at most
// pieces x characters to join; a plain value is one text node.
bool ConfigFile::AttributesExpandWithinBounds(xmlTextReaderPtr reader)
{
    xmlNodePtr node = xmlTextReaderCurrentNode(reader);
    if (node == nullptr || node->type != XML_ELEMENT_NODE)
        return true;
    for (xmlAttrPtr attribute = node->properties; attribute != nullptr;
         attribute = attribute->next) {
        ExpansionBudget budget{0, 0};
        if (!CountExpansion(node->doc, attribute->children, budget)) {
            long line = xmlGetLineNo(node);
            refused_line = line > 0 ? static_cast<int>(line) : 1;
            return false;
        }
    }
    return true;
}

// The reader must not be stepped on once it has reported the end or an
// error: libxml2's reader then starts over on the broken part and hands out
// the same nodes again and again, so a configuration file cut off inside a
// device group would be read forever.
int ConfigFile::ReadNode(xmlTextReaderPtr reader)
{
    if (read_result == 1)
        read_result = xmlTextReaderRead(reader);
    if (read_result == 1 && !AttributesExpandWithinBounds(reader))
        read_result = -1;
    return read_result;
}

void ConfigFile::ProcessXMLNode(xmlTextReaderPtr reader)
{
    const xmlChar* name = xmlTextReaderConstName(reader);
    if (name == nullptr)
        return;
    // The name is taken once: a step that reads ahead moves the reader, but
    // the later steps still compare the name of the node dispatched here.
    std::string node_name(AsText(name));
    ProcessAndSetTitle(reader, node_name.c_str());
    ProcessAndSetVersion(reader, node_name.c_str());
    ProcessAndSetFileName(reader, node_name.c_str());
    ProcessAndSetSupportedDevice(reader, node_name.c_str());
}

void ConfigFile::ProcessAndSetTitle(xmlTextReaderPtr reader, const char* node_name)
{
    if (std::strcmp(node_name, "name_xlate") != 0 || ComponentTitle[0] != '\0')
        return;
    FwCompLibUtil::Trace(debug, "ConfigFile::ProcessAndSetTitle(): node_name=\"%s\"\n", node_name);
    if (const char* value = TakeNextValue(reader, ComponentTitle, sizeof(ComponentTitle)))
        FwCompLibUtil::Trace(
            debug, "ConfigFile::ProcessAndSetTitle(): Setting ComponentTitle to \"%s\"\n", value);
}

void ConfigFile::ProcessAndSetVersion(xmlTextReaderPtr reader, const char* node_name)
{
    if (std::strcmp(node_name, "version") != 0 || ComponentVersion[0] != '\0')
        return;
    FwCompLibUtil::Trace(debug, "ConfigFile::ProcessAndSetVersion(): node_name=\"%s\"\n",
                         node_name);
    xmlChar* value = xmlTextReaderGetAttribute(reader, BAD_CAST "value");
    if (value == nullptr)
        return;
    FwCompLibUtil::Trace(debug,
                         "ConfigFile::ProcessAndSetVersion(): Setting ComponentVersion to \"%s\"\n",
                         AsText(value));
    FwCompLibUtil::CopyBounded(ComponentVersion, AsText(value));
    xmlFree(value);
}

void ConfigFile::ProcessAndSetFileName(xmlTextReaderPtr reader, const char* node_name)
{
    if (std::strcmp(node_name, "filename") != 0 || ComponentFileName[0] != '\0')
        return;
    FwCompLibUtil::Trace(debug, "ConfigFile::ProcessAndSetFileName(): node_name=\"%s\"\n",
                         node_name);
    const char* value = TakeNextValue(reader, ComponentFileName, sizeof(ComponentFileName));
    if (value == nullptr)
        return;
    FwCompLibUtil::Trace(
        debug, "ConfigFile::ProcessAndSetFileName(): Setting ComponentFileName to \"%s\"\n", value);
    file_name_cut = std::strlen(value) >= sizeof(ComponentFileName);
}

// Title and file name are the value of the node after the matched one, which
// is consumed here and copied into the field (cut to its width). Returns the
// whole value, which lasts until the reader steps on, or nullptr when there
// is none.
const char* ConfigFile::TakeNextValue(xmlTextReaderPtr reader, char* field, std::size_t width)
{
    if (ReadNode(reader) != 1)
        return nullptr;
    const char* value = AsText(xmlTextReaderConstValue(reader));
    if (value != nullptr)
        FwCompLibUtil::CopyBounded(field, width, value);
    return value;
}

void ConfigFile::ProcessAndSetSupportedDevice(xmlTextReaderPtr reader, const char* node_name)
{
    if (std::strcmp(node_name, "supported_device_data") != 0)
        return;
    PciDevice device;
    device.VendorId = ReturnPciIdData(reader);
    device.DeviceId = ReturnPciIdData(reader);
    device.SubvendorId = ReturnPciIdData(reader);
    device.SubdeviceId = ReturnPciIdData(reader);
    FwCompLibUtil::Trace(debug, "ConfigFile::ProcessAndSetSupportedDevice(): VendorId=\"%s\"\n",
                         device.VendorId.c_str());
    FwCompLibUtil::Trace(debug, "ConfigFile::ProcessAndSetSupportedDevice(): DeviceId=\"%s\"\n",
                         device.DeviceId.c_str());
    FwCompLibUtil::Trace(debug, "ConfigFile::ProcessAndSetSupportedDevice(): SubvendorId=\"%s\"\n",
                         device.SubvendorId.c_str());
    FwCompLibUtil::Trace(debug, "ConfigFile::ProcessAndSetSupportedDevice(): SubdeviceId=\"%s\"\n",
                         device.SubdeviceId.c_str());
    SupportedDevices.push_back(device);
}

// Takes the value of the next node as one identifier, then steps over the
// three nodes that separate it from the next identifier in the canonical
// layout (its end tag, the line break, the next start tag).
std::string ConfigFile::ReturnPciIdData(xmlTextReaderPtr reader)
{
    if (ReadNode(reader) != 1) {
        FwCompLibUtil::Trace(debug, "ConfigFile::ReturnPciIdData(): Returning \"\"\n");
        return std::string();
    }
    // The value belongs to the reader and is gone once it steps on, so only
    // the upper-cased copy is kept.
    const xmlChar* value = xmlTextReaderConstValue(reader);
    const bool has_value = value != nullptr;
    FwCompLibUtil::Trace(debug, "ConfigFile::ReturnPciIdData(): value is %s\n",
                         has_value ? AsText(value) : "");

    char scratch[kScratchWidth];
    FwCompLibUtil::CopyBounded(scratch, has_value ? AsText(value) : "");
    convertToUpperCase(scratch);

    for (int i = 0; i < 3; i++) {
        if (ReadNode(reader) != 1) {
            FwCompLibUtil::Trace(debug, "ConfigFile::ReturnPciIdData(): Returning \"\"\n");
            return std::string();
        }
    }
    if (!has_value) {
        FwCompLibUtil::Trace(debug, "ConfigFile::ReturnPciIdData(): Returning \"\"\n");
        return std::string();
    }
    FwCompLibUtil::Trace(debug, "ConfigFile::ReturnPciIdData(): Returning \"%s\"\n", scratch);
    return std::string(scratch);
}

void ConfigFile::convertToUpperCase(char* text)
{
    // Only a to z change: bytes of 128 and above stay as they are whatever
    // the locale, since the identifiers are ASCII.
    for (char* p = text; *p != '\0'; p++) {
        if (*p >= 'a' && *p <= 'z')
            *p = static_cast<char>(*p - 'a' + 'A');
    }
}

// The four identifiers are taken by value, as the interface has it: the
// matcher works on its own copies.
// NOLINTBEGIN(performance-unnecessary-value-param)
// cppcheck-suppress passedByValue
int ConfigFile::IsDeviceSupported(std::string vendor, std::string device, std::string subvendor,
                                  std::string subdevice) // cppcheck-suppress passedByValue
// NOLINTEND(performance-unnecessary-value-param)
{
    FwCompLibUtil::Trace(debug,
                         "ConfigFile::IsDeviceSupported(): VendorId=%s,DeviceId=%s,"
                         "SubvendorId=%s,SubdeviceId=%s\n",
                         vendor.c_str(), device.c_str(), subvendor.c_str(), subdevice.c_str());
    for (std::size_t i = 0; i < SupportedDevices.size(); i++) {
        const PciDevice& d = SupportedDevices[i];
        FwCompLibUtil::Trace(debug,
                             "ConfigFile::IsDeviceSupported(): SupportedDevices[%zu] - "
                             "VID=%s,DID=%s,SSVID=%s,SSDID=%s\n",
                             i, d.VendorId.c_str(), d.DeviceId.c_str(), d.SubvendorId.c_str(),
                             d.SubdeviceId.c_str());
        if (d.VendorId == vendor && d.DeviceId == device && d.SubvendorId == subvendor &&
            d.SubdeviceId == subdevice) {
            FwCompLibUtil::Trace(debug, "ConfigFile::IsDeviceSupported(): Returning TRUE \n");
            return 1;
        }
    }
    FwCompLibUtil::Trace(debug, "ConfigFile::IsDeviceSupported(): Returning FALSE\n");
    return 0;
}

std::vector<PciDevice> ConfigFile::GetSupportedDevices() const
{
    return SupportedDevices;
}
