// SPDX-License-Identifier: Apache-2.0
// FwCompLibUtil: the debug value, chomp and the writer of the document's value elements.
#ifndef FWCOMPLIBUTIL_H
#define FWCOMPLIBUTIL_H

#include <cstddef>

#include <libxml/xmlwriter.h>

// HBAScan, HBAInfo, HBAInfoB and OnboardSoftwareItem each hold one by value,
// with the debug value their owner gives it.
class FwCompLibUtil {
public:
    FwCompLibUtil();

    void SetDebugValue(int debug);

    // Removes one trailing line feed from a terminated text, in place.
    void chomp(char* text);

    // Writes <name value="text"/>, the text made XML-safe; 1 on success, 0
    // on failure.
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

private:
    int debug;
};

#endif
