// SPDX-License-Identifier: Apache-2.0
// SafeText: a text from the machine or a file, cleaned for where it is written.
#ifndef SAFETEXT_H
#define SAFETEXT_H

#include <string>

// Values come from sysfs, the firmware image and the configuration as bytes,
// in no particular encoding; each place they are written to gets a copy it
// can carry.
class SafeText {
public:
    // For a line of the tool's own on standard error: every byte outside
    // printable ASCII, and every backslash and double quote, as \xHH, so
    // that a value can neither break the line nor pass for its quotes.
    static std::string ForLine(const char* text);

    // For an XML 1.0 document: every invalid UTF-8 sequence and every
    // character that XML 1.0 forbids becomes U+FFFD.
    static std::string ForXml(const char* text);
};

#endif
