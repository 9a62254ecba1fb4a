// SPDX-License-Identifier: Apache-2.0
#include "SafeText.h"

#include <cstddef>

#include "BoundedText.h"

namespace {

// U+FFFD REPLACEMENT CHARACTER in UTF-8.
const char kReplacement[] = "\xEF\xBF\xBD";

bool IsXmlChar(unsigned long c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes one UTF-8 sequence at s; returns its length, or 0 when the bytes
// there are not a valid, shortest-form sequence.
std::size_t DecodeUtf8(const unsigned char* s, unsigned long* c)
{
    std::size_t len;
    unsigned long min;
    if (s[0] < 0x80) {
        *c = s[0];
        return 1;
    } else if ((s[0] & 0xE0) == 0xC0) {
        len = 2;
        min = 0x80;
        *c = s[0] & 0x1F;
    } else if ((s[0] & 0xF0) == 0xE0) {
        len = 3;
        min = 0x800;
        *c = s[0] & 0x0F;
    } else if ((s[0] & 0xF8) == 0xF0) {
        len = 4;
        min = 0x10000;
        *c = s[0] & 0x07;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < len; i++) {
        // A terminator is not a continuation byte, so this never reads past it.
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        *c = (*c << 6) | (s[i] & 0x3F);
    }
    if (*c < min || *c > 0x10FFFF)
        return 0;
    return len;
}

} // namespace

std::string SafeText::ForLine(const char* text)
{
    std::string printable;
    for (const unsigned char* s = reinterpret_cast<const unsigned char*>(text); *s != '\0'; s++) {
        if (*s >= 0x20 && *s < 0x7f && *s != '\\' && *s != '"') {
            printable += static_cast<char>(*s);
        } else {
            char escaped[5];
            (void)BoundedText::FormatBounded(escaped, sizeof(escaped), "\\x%02X", *s);
            printable += escaped;
        }
    }
    return printable;
}

std::string SafeText::ForXml(const char* text)
{
    std::string safe;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    while (*s != '\0') {
        unsigned long c = 0;
        std::size_t len = DecodeUtf8(s, &c);
        if (len == 0) {
            safe += kReplacement;
            s++;
        } else {
            if (IsXmlChar(c))
                safe.append(reinterpret_cast<const char*>(s), len);
            else
                safe += kReplacement;
            s += len;
        }
    }
    return safe;
}
