#ifndef FWCOMPLIBUTIL_H
#define FWCOMPLIBUTIL_H

#include <cstddef>
#include <string>

#include <libxml/xmlwriter.h>

// Small helper that every main class holds by value: its own copy of the
// debug value, chomp, and the writer of the document's "value" elements.
class FwCompLibUtil {
public:
    FwCompLibUtil();

    void SetDebugValue(int debug);

    // Removes one trailing line feed from a terminated text, in place.
    void chomp(char* text);

    // Writes <name value="text"/>; 1 on success, 0 on failure.
    int WriteXmlElementWithAttribute(xmlTextWriterPtr writer, const char* name, const char* text);

    // The text as it may stand in an XML 1.0 document: every invalid UTF-8
    // sequence and every character that XML 1.0 forbids becomes U+FFFD.
    static std::string XmlSafeText(const char* text);

    // Copies text into a field of the given width, cutting it at width - 1
    // characters; the field is always terminated and never overrun.
    static void CopyBounded(char* field, std::size_t width, const char* text);

    // xmlCleanupParser frees the character encoding handlers that an open
    // text writer still uses. Writers are registered while open, and a
    // clean-up asked for meanwhile is deferred until the last one is freed.
    static void WriterOpened();
    static void WriterFreed();
    static void CleanupParser();

private:
    int debug;
};

#endif
