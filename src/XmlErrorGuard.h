// SPDX-License-Identifier: Apache-2.0
// XmlErrorGuard: libxml2's error handlers for one scope.
#ifndef XMLERRORGUARD_H
#define XMLERRORGUARD_H

#include <libxml/xmlerror.h>
#include <libxml/xmlversion.h>

// While it lives, libxml2's errors go to the given structured handler (and,
// if one is given, its generic messages to the generic handler); when it
// ends, the handlers set before are back. Guards nest.
class XmlErrorGuard {
public:
    // What a structured handler is given: libxml2 2.12 made it const. Every
    // handler in the tool and its tests is declared with this type, so that
    // one source compiles against libxml2 2.9 to 2.15.
#if LIBXML_VERSION >= 21200
    using Error = const xmlError*;
#else
    using Error = xmlError*;
#endif

    XmlErrorGuard(void* context, xmlStructuredErrorFunc structured,
                  xmlGenericErrorFunc generic = nullptr);
    // Sets nothing: the handlers in place now are put back when it ends.
    XmlErrorGuard();
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
