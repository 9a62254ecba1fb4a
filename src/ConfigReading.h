// SPDX-License-Identifier: Apache-2.0
// ConfigReading: the guards on one reading of the configuration file with libxml2's reader.
#ifndef CONFIGREADING_H
#define CONFIGREADING_H

#include <cstddef>
#include <optional>

#include <libxml/xmlerror.h>
#include <libxml/xmlreader.h>

#include "XmlErrorGuard.h"

// One reading of the configuration file, from opening to the line that says
// how it went. The file is read only if it is a regular file, as it is on
// disk; what libxml2 complains about meanwhile is kept, and said in one line
// on standard error when the reading is closed; the reader is never stepped
// on after it has ended; and an attribute value that would expand beyond
// the bounds below refuses the whole reading. What the nodes mean is the
// caller's (ConfigFile).
class ConfigReading {
public:
    // Bounds of an attribute value once its entity references are expanded:
    // characters, and the text pieces plus entity references that make it up.
    static const std::size_t kMaxExpandedValue = 65536;
    static const std::size_t kMaxValuePieces = 1024;

    // It owns a reader and a descriptor: one object, one reading.
    ConfigReading(const ConfigReading&) = delete;
    ConfigReading& operator=(const ConfigReading&) = delete;
    ConfigReading();
    ~ConfigReading();

    // Opens the file at path and a reader on it. From here until Close,
    // libxml2's complaints come here. Returns the reader, or nullptr when the
    // file cannot be opened or is no regular file (the reason is kept, and
    // the first step then ends the reading). The path must outlive the
    // reading.
    xmlTextReaderPtr Open(const char* path);
    // Steps the reader to the next node: 1, or the 0 (end) or -1 (error,
    // refusal or no reader) that ended the reading, then again on every
    // later step.
    int ReadNode();
    // Frees the reader, closes the file, cleans libxml2's global state up,
    // and says on standard error what libxml2 complained about, or why the
    // reading was refused; a clean reading says nothing.
    void Close();

    // True when the file could be opened at all and was not refused.
    bool WasOpened() const;
    // True when an attribute value expanded beyond the bounds, or libxml2
    // stopped at one of its own limits (entity amplification, depth, size,
    // memory): the reading counts for nothing, as if the file were missing.
    bool WasRefused() const;

private:
    // libxml2's first error of the highest level met during the reading.
    struct ParserError {
        int level;
        int line;
        char message[160];
    };
    static void KeepParserError(void* reading, XmlErrorGuard::Error error);
    static int ReadFile(void* reading, char* buffer, int length);
    static void DropGenericError(void* reading, const char* format, ...);
    void KeepOpenError(int error);
    bool AttributesExpandWithinBounds();
    void Report() const;
    void Release();

    const char* path;
    int fd;
    xmlTextReaderPtr reader;
    std::optional<XmlErrorGuard> handlers;
    bool opened;
    // 1 while the reader goes on; its final result once it has ended.
    int read_result;
    ParserError first_error;
    // Line of an element whose attribute expands beyond the bounds, or where
    // libxml2 stopped at one of its own limits; 0 if none.
    int refused_line;
    // True when libxml2's limit refused the reading, not the bounds above.
    bool refused_by_libxml2 = false;
};

#endif
