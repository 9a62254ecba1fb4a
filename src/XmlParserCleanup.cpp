// SPDX-License-Identifier: Apache-2.0
#include "XmlParserCleanup.h"

#include <libxml/parser.h>

#include "XmlErrorGuard.h"

namespace {

int open_writers = 0;
bool cleanup_pending = false;

// From libxml2 2.15 on, xmlCleanupParser also resets the error handlers. A
// guard's handler stays set across the clean-up, as with earlier versions:
// the guard that set it, not the clean-up, decides when it goes.
void CleanupKeepingHandlers()
{
    const XmlErrorGuard handlers_in_place;
    xmlCleanupParser();
}

} // namespace

void XmlParserCleanup::WriterOpened()
{
    open_writers++;
}

void XmlParserCleanup::WriterFreed()
{
    if (open_writers > 0)
        open_writers--;
    if (open_writers == 0 && cleanup_pending) {
        cleanup_pending = false;
        CleanupKeepingHandlers();
    }
}

void XmlParserCleanup::Cleanup()
{
    if (open_writers > 0) {
        cleanup_pending = true;
        return;
    }
    CleanupKeepingHandlers();
}
