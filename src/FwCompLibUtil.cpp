// SPDX-License-Identifier: Apache-2.0
#include "FwCompLibUtil.h"

#include <cstring>
#include <string>

#include "Diagnostics.h"
#include "SafeText.h"

FwCompLibUtil::FwCompLibUtil() : debug(0)
{
}

void FwCompLibUtil::SetDebugValue(int debug_value)
{
    debug = debug_value;
}

void FwCompLibUtil::chomp(char* text)
{
    std::size_t len = std::strlen(text);
    if (len > 0 && text[len - 1] == '\n')
        text[len - 1] = '\0';
}

// The trace lines say "HBAInfo::" whoever owns the helper: the scanner's and
// the items' failures have always been traced under that label, and the logs
// collected from earlier runs are read by it.
int FwCompLibUtil::WriteXmlElementWithAttribute(xmlTextWriterPtr writer, const char* name,
                                                const char* text)
{
    if (xmlTextWriterStartElement(writer, BAD_CAST name) < 0) {
        Diagnostics::Trace(debug,
                           "HBAInfo::WriteXmlElementWithAttribute(): xmlTextWriterStartElement() "
                           "failed\n");
        return 0;
    }
    const std::string safe = SafeText::ForXml(text);
    if (xmlTextWriterWriteAttribute(writer, BAD_CAST "value", BAD_CAST safe.c_str()) < 0) {
        Diagnostics::Trace(debug,
                           "HBAInfo::WriteXmlElementWithAttribute(): xmlTextWriterWriteAttribute() "
                           "failed\n");
        return 0;
    }
    if (xmlTextWriterEndElement(writer) < 0) {
        Diagnostics::Trace(debug, "HBAInfo::WriteXmlElementWithAttribute(): Error at "
                                  "xmlTextWriterEndElement()\n");
        return 0;
    }
    return 1;
}

int FwCompLibUtil::WriteValueElements(xmlTextWriterPtr writer, const ValueElement* elements,
                                      std::size_t count)
{
    for (std::size_t i = 0; i < count; i++) {
        if (!WriteXmlElementWithAttribute(writer, elements[i].name, elements[i].value))
            return 0;
    }
    return 1;
}
