// SPDX-License-Identifier: Apache-2.0
#include "ConfigReading.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BoundedText.h"
#include "Diagnostics.h"
#include "XmlParserCleanup.h"

namespace {

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
        if (++budget.pieces > ConfigReading::kMaxValuePieces)
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
        if (budget.characters > ConfigReading::kMaxExpandedValue)
            return false;
    }
    return true;
}

// libxml2's guards on its own work: an entity that amplifies too much or
// loops, a document nested or sized past its limits, memory run out. libxml2
// 2.9 and 2.15 number and word them differently, and stop the reading
// either way. Values read before such a stop are not to be trusted, so each
// of them refuses the whole reading, as an attribute beyond the bounds below
// does.
bool IsLimitError(const xmlError* error)
{
    switch (error->code) {
    case XML_ERR_NO_MEMORY:
    case XML_ERR_ENTITY_LOOP:
        return true;
#if LIBXML_VERSION >= 21200
    case XML_ERR_RESOURCE_LIMIT:
        return true;
#else
    // Before 2.12 the depth limit has no code of its own: it is an internal
    // error in these words, which those released versions keep.
    case XML_ERR_INTERNAL_ERROR: {
        static const char depth[] = "Excessive depth in document";
        return error->message != nullptr &&
               std::strncmp(error->message, depth, sizeof depth - 1) == 0;
    }
#endif
    default:
        return false;
    }
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

ConfigReading::ConfigReading()
    : path(""),
      fd(-1),
      reader(nullptr),
      handlers(),
      opened(false),
      read_result(1),
      first_error{XML_ERR_NONE, 0, {}},
      refused_line(0)
{
}

ConfigReading::~ConfigReading()
{
    if (handlers.has_value())
        Release();
}

// Everything libxml2 says during the reading goes to one handler that keeps
// one error; it is said in one line when the reading is closed. libxml2's own
// handler would print the offending line of the file, which may be a file
// the caller must not see. The file is opened here and read through
// ReadFile: libxml2 sees its bytes as they are on disk. From a file name it
// would expand gzip-compressed content (204 KB became 200 MiB) and open a
// FIFO without a time limit; from 2.13 on it does the first with a
// descriptor too, so the reader is given no descriptor, only the bytes.
xmlTextReaderPtr ConfigReading::Open(const char* file_path)
{
    path = file_path;
    int open_error = 0;
    fd = OpenRegularFile(path, &open_error);
    if (fd < 0)
        KeepOpenError(open_error);
    handlers.emplace(this, KeepParserError, DropGenericError);
    reader = fd >= 0 ? xmlReaderForIO(ReadFile, nullptr, this, path, nullptr, 0) : nullptr;
    opened = reader != nullptr;
    return reader;
}

// The reader must not be stepped on once it has reported the end or an
// error: libxml2's reader then starts over on the broken part and hands out
// the same nodes again and again, so a configuration file cut off inside a
// device group would be read forever.
int ConfigReading::ReadNode()
{
    if (read_result == 1)
        read_result = xmlTextReaderRead(reader);
    if (read_result == 1 && (refused_line != 0 || !AttributesExpandWithinBounds()))
        read_result = -1;
    return read_result;
}

void ConfigReading::Close()
{
    if (!handlers.has_value())
        return;
    // An error that names no line (a failed read) happened where the parser
    // stood.
    if (first_error.line <= 0 && reader != nullptr)
        first_error.line = xmlTextReaderGetParserLineNumber(reader);
    Release();
    Report();
}

bool ConfigReading::WasOpened() const
{
    return opened && refused_line == 0;
}

bool ConfigReading::WasRefused() const
{
    return refused_line != 0;
}

// The reader goes first, while libxml2's complaints still come here; the
// handlers set before are back before the clean-up.
void ConfigReading::Release()
{
    xmlFreeTextReader(reader);
    reader = nullptr;
    handlers.reset();
    if (fd >= 0)
        (void)close(fd);
    fd = -1;
    XmlParserCleanup::Cleanup();
}

// Keeps the first error, a warning only while no error has come. libxml2
// stops at its first fatal error, so what follows it is a consequence, and an
// error before it is its cause (a read that failed: "Is a directory"); a
// warning never ends the reading.
void ConfigReading::KeepParserError(void* reading, XmlErrorGuard::Error error)
{
    ConfigReading& self = *static_cast<ConfigReading*>(reading);
    ParserError& kept = self.first_error;
    if (error == nullptr || error->level == XML_ERR_NONE || kept.level > XML_ERR_WARNING ||
        (kept.level == XML_ERR_WARNING && error->level == XML_ERR_WARNING))
        return;
    kept.level = error->level;
    kept.line = error->line;
    // libxml2's messages end in a line break; a second line, where there is
    // one, quotes bytes of the file, so only the first is kept.
    BoundedText::CopyBounded(kept.message, error->message != nullptr ? error->message : "");
    kept.message[std::strcspn(kept.message, "\n")] = '\0';
    if (error->level >= XML_ERR_ERROR && IsLimitError(error) && self.refused_line == 0) {
        self.refused_line = error->line > 0 ? error->line : 1;
        self.refused_by_libxml2 = true;
    }
}

// libxml2's input: the file's bytes. A failed read is kept as the cause of
// what libxml2 then says, in the system's words ("Input/output error"), as
// libxml2 words only its own reads.
int ConfigReading::ReadFile(void* reading, char* buffer, int length)
{
    ConfigReading& self = *static_cast<ConfigReading*>(reading);
    ssize_t got;
    do {
        got = read(self.fd, buffer, static_cast<std::size_t>(length));
    } while (got < 0 && errno == EINTR);
    if (got >= 0)
        return static_cast<int>(got);
    if (self.first_error.level < XML_ERR_ERROR) {
        self.first_error.level = XML_ERR_ERROR;
        self.first_error.line = 0;
        BoundedText::CopyBounded(self.first_error.message, std::strerror(errno));
    }
    return -1;
}

// A configuration that cannot be opened, or is refused, is said as libxml2
// would say a file it cannot open (a missing one silently): the system's
// reason, or that it is not a regular file.
void ConfigReading::KeepOpenError(int error)
{
    if (error == ENOENT)
        return;
    first_error.level = XML_ERR_ERROR;
    first_error.line = 0;
    BoundedText::CopyBounded(first_error.message,
                             error != 0 ? std::strerror(error) : "not a regular file");
}

// Every error of the reader comes through the structured handler; what
// libxml2 would print through its generic one is dropped, never printed raw.
// NOLINTNEXTLINE(cert-dcl50-cpp): the handler type libxml2 calls is variadic
void ConfigReading::DropGenericError(void* /*reading*/, const char* /*format*/, ...)
{
}

// One line on standard error for a reading that libxml2 complained about or
// that was refused; nothing for a clean one.
void ConfigReading::Report() const
{
    if (refused_by_libxml2) {
        Diagnostics::StderrLineAbout(path, ":%d: %s; the configuration is not read", refused_line,
                                     first_error.message);
    } else if (refused_line != 0) {
        Diagnostics::StderrLineAbout(
            path,
            ":%d: an attribute value expands to more than %zu characters or "
            "%zu pieces; the configuration is not read",
            refused_line, kMaxExpandedValue, kMaxValuePieces);
    } else if (first_error.level == XML_ERR_NONE) {
        return;
    } else if (!opened) {
        Diagnostics::StderrLineAbout(path, ": %s", first_error.message);
    } else if (read_result == -1) {
        Diagnostics::StderrLineAbout(path, ": read up to line %d: %s", first_error.line,
                                     first_error.message);
    } else {
        Diagnostics::StderrLineAbout(path, ":%d: %s", first_error.line, first_error.message);
    }
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
bool ConfigReading::AttributesExpandWithinBounds()
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
