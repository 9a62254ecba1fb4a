// SPDX-License-Identifier: Apache-2.0
// FwCompLibUtil: the helpers shared by the scanner, the adapter records and the items.
#ifndef FWCOMPLIBUTIL_H
#define FWCOMPLIBUTIL_H

#include <cstddef>
#include <string>

#include <libxml/xmlwriter.h>

#include "BoundedText.h"
#include "Diagnostics.h"
#include "XmlErrorGuard.h"
#include "XmlParserCleanup.h"

// Small helper that HBAScan, HBAInfo, HBAInfoB and OnboardSoftwareItem hold
// by value: its own copy of the debug value, chomp, and the writer of the
// document's "value" elements. Its callers also reach the diagnostics and the
// bounded texts through it (FwCompLibUtil::Trace, FwCompLibUtil::CopyBounded),
// and the libxml2 guard and clean-up under the names below.
class FwCompLibUtil : public Diagnostics, public BoundedText {
public:
    FwCompLibUtil();

    void SetDebugValue(int debug);

    // Removes one trailing line feed from a terminated text, in place.
    void chomp(char* text);

    // Writes <name value="text"/>; 1 on success, 0 on failure.
    int WriteXmlElementWithAttribute(xmlTextWriterPtr writer, const char* name, const char* text);

    // One element of a table of value elements.
    struct ValueElement {
        const char* name;
        const char* value;
    };
    // Writes the value elements of a table in order; stops at the first that
    // fails (its own trace line says which call) and returns 0, else 1.
    int WriteValueElements(xmlTextWriterPtr writer, const ValueElement* elements,
                           std::size_t count);
    template <std::size_t N>
    int WriteValueElements(xmlTextWriterPtr writer, const ValueElement (&elements)[N])
    {
        return WriteValueElements(writer, elements, N);
    }

    // How many groups of decimal digits the text is, joined by single dots
    // ("3.2.1.0": 4, "4711": 1); 0 when it is anything else ("", "3..1",
    // "V3", "3.0 ").
    static int DigitGroups(const char* text);

    // The text as it may stand in an XML 1.0 document: every invalid UTF-8
    // sequence and every character that XML 1.0 forbids becomes U+FFFD.
    static std::string XmlSafeText(const char* text);

    using XmlErrorGuard = ::XmlErrorGuard;
    static void WriterOpened() { XmlParserCleanup::WriterOpened(); }
    static void WriterFreed() { XmlParserCleanup::WriterFreed(); }
    static void CleanupParser() { XmlParserCleanup::Cleanup(); }

private:
    int debug;
};

#endif
