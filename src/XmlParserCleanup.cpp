// SPDX-License-Identifier: Apache-2.0
// XmlParserCleanup: xmlCleanupParser, deferred while a text writer is open.
#include "XmlParserCleanup.h"

#include <libxml/parser.h>

namespace {

int open_writers = 0;
bool cleanup_pending = false;

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
        xmlCleanupParser();
    }
}

void XmlParserCleanup::Cleanup()
{
    if (open_writers > 0) {
        cleanup_pending = true;
        return;
    }
    xmlCleanupParser();
}
