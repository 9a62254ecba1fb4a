// SPDX-License-Identifier: Apache-2.0
#include "XmlErrorGuard.h"

// The handlers' globals are declared by xmlerror.h from libxml2 2.12 on,
// which deprecates globals.h; before, only globals.h declares them.
#if LIBXML_VERSION < 21200
#include <libxml/globals.h>
#endif

XmlErrorGuard::XmlErrorGuard(void* context, xmlStructuredErrorFunc structured,
                             xmlGenericErrorFunc generic)
    : saved_structured(xmlStructuredError),
      saved_structured_context(xmlStructuredErrorContext),
      saved_generic(xmlGenericError),
      saved_generic_context(xmlGenericErrorContext)
{
    xmlSetStructuredErrorFunc(context, structured);
    if (generic != nullptr)
        xmlSetGenericErrorFunc(context, generic);
}

XmlErrorGuard::XmlErrorGuard()
    : saved_structured(xmlStructuredError),
      saved_structured_context(xmlStructuredErrorContext),
      saved_generic(xmlGenericError),
      saved_generic_context(xmlGenericErrorContext)
{
}

XmlErrorGuard::~XmlErrorGuard()
{
    xmlSetStructuredErrorFunc(saved_structured_context, saved_structured);
    xmlSetGenericErrorFunc(saved_generic_context, saved_generic);
}
