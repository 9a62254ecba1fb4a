// SPDX-License-Identifier: Apache-2.0
// XmlParserCleanup: libxml2's global clean-up, kept from freeing what an open writer uses.
#ifndef XMLPARSERCLEANUP_H
#define XMLPARSERCLEANUP_H

// xmlCleanupParser frees the character encoding handlers that an open text
// writer still uses. Writers are registered while open, and a clean-up asked
// for meanwhile is deferred until the last one is freed.
class XmlParserCleanup {
public:
    static void WriterOpened();
    static void WriterFreed();
    static void Cleanup();
};

#endif
