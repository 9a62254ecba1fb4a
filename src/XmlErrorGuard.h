// SPDX-License-Identifier: Apache-2.0
// XmlErrorGuard: libxml2's error handlers for one scope.
#ifndef XMLERRORGUARD_H
#define XMLERRORGUARD_H

#include <libxml/xmlerror.h>

// While it lives, libxml2's errors go to the given structured handler (and,
// if one is given, its generic messages to the generic handler); when it
// ends, the handlers set before are back. Guards nest.
class XmlErrorGuard {
public:
    XmlErrorGuard(void* context, xmlStructuredErrorFunc structured,
                  xmlGenericErrorFunc generic = nullptr);
    ~XmlErrorGuard();

    XmlErrorGuard(const XmlErrorGuard&) = delete;
    XmlErrorGuard& operator=(const XmlErrorGuard&) = delete;

private:
    xmlStructuredErrorFunc saved_structured;
    void* saved_structured_context;
    xmlGenericErrorFunc saved_generic;
    void* saved_generic_context;
};

#endif
