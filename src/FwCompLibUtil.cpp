// SPDX-License-Identifier: Apache-2.0
// FwCompLibUtil: trace and standard-error lines, bounded copies and formats, XML helpers.
#include "FwCompLibUtil.h"

#include <cstdio>
#include <cstring>

#include <libxml/globals.h>
#include <libxml/parser.h>

namespace {

int open_writers = 0;
bool cleanup_pending = false;

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

// The one place that writes to standard error: lead, the formatted text and
// a line feed, in one write, so that a line of the tool's never mixes with
// what the pipelines print there.
void SayLine(const char* lead, const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    int len = std::vsnprintf(nullptr, 0, format, measure); // NOLINT(clang-analyzer-valist.*)
    va_end(measure);
    if (len < 0)
        return;
    std::string line(lead);
    const std::size_t start = line.size();
    line.resize(start + static_cast<std::size_t>(len) + 1);
    // NOLINTNEXTLINE(clang-analyzer-valist.*): args is started by the caller
    (void)std::vsnprintf(&line[start], static_cast<std::size_t>(len) + 1, format, args);
    line[start + static_cast<std::size_t>(len)] = '\n';
    (void)std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace

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

std::string FwCompLibUtil::XmlSafeText(const char* text)
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

int FwCompLibUtil::DigitGroups(const char* text)
{
    for (int groups = 1;; groups++) {
        const std::size_t digits = std::strspn(text, "0123456789");
        if (digits == 0)
            return 0;
        text += digits;
        if (*text == '\0')
            return groups;
        if (*text != '.')
            return 0;
        text++;
    }
}

std::string FwCompLibUtil::Printable(const char* text)
{
    std::string printable;
    for (const unsigned char* s = reinterpret_cast<const unsigned char*>(text); *s != '\0'; s++) {
        if (*s >= 0x20 && *s < 0x7f && *s != '\\' && *s != '"') {
            printable += static_cast<char>(*s);
        } else {
            char escaped[5];
            (void)FormatBounded(escaped, sizeof(escaped), "\\x%02X", *s);
            printable += escaped;
        }
    }
    return printable;
}

void FwCompLibUtil::CopyBounded(char* field, std::size_t width, const char* text)
{
    if (width == 0)
        return;
    std::size_t len = strnlen(text, width - 1);
    std::memcpy(field, text, len);
    std::memset(field + len, '\0', width - len);
}

bool FwCompLibUtil::CopyIfFits(char* field, std::size_t width, const char* text)
{
    if (width == 0 || strnlen(text, width) >= width)
        return false;
    CopyBounded(field, width, text);
    return true;
}

// The printf-like helpers are C variadic functions on purpose: so the
// compiler checks each call's arguments against its format (format attribute).
// NOLINTNEXTLINE(cert-dcl50-cpp)
bool FwCompLibUtil::FormatBounded(char* buffer, std::size_t width, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool fits = FormatBoundedV(buffer, width, format, args);
    va_end(args);
    return fits;
}

bool FwCompLibUtil::FormatBoundedV(char* buffer, std::size_t width, const char* format,
                                   va_list args)
{
    if (width == 0)
        return false;
    // The analyzer loses va_start across the call from FormatBounded when it
    // checks several files in one run; args is always started by the caller.
    int len = std::vsnprintf(buffer, width, format, args); // NOLINT(clang-analyzer-valist.*)
    if (len < 0 || static_cast<std::size_t>(len) >= width) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

// NOLINTNEXTLINE(cert-dcl50-cpp): C variadic for the format check, as above.
void FwCompLibUtil::Trace(int debug, const char* format, ...)
{
    if (debug == 0)
        return;
    va_list args;
    va_start(args, format);
    (void)std::vprintf(format, args); // NOLINT(clang-analyzer-valist.*): started just above
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): C variadic for the format check, as above.
void FwCompLibUtil::Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SayLine("hba-discovery: ", format, args);
    va_end(args);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): C variadic for the format check, as above.
void FwCompLibUtil::SayAbout(const char* file, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SayLine(file, format, args);
    va_end(args);
}

int FwCompLibUtil::WriteXmlElementWithAttribute(xmlTextWriterPtr writer, const char* name,
                                                const char* text)
{
    if (xmlTextWriterStartElement(writer, BAD_CAST name) < 0) {
        Trace(debug, "HBAInfo::WriteXmlElementWithAttribute(): xmlTextWriterStartElement() "
                     "failed\n");
        return 0;
    }
    std::string safe = XmlSafeText(text);
    if (xmlTextWriterWriteAttribute(writer, BAD_CAST "value", BAD_CAST safe.c_str()) < 0) {
        Trace(debug, "HBAInfo::WriteXmlElementWithAttribute(): xmlTextWriterWriteAttribute() "
                     "failed\n");
        return 0;
    }
    if (xmlTextWriterEndElement(writer) < 0) {
        Trace(debug, "HBAInfo::WriteXmlElementWithAttribute(): Error at "
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

FwCompLibUtil::XmlErrorGuard::XmlErrorGuard(void* context, xmlStructuredErrorFunc structured,
                                            xmlGenericErrorFunc generic)
    : saved_structured(xmlStructuredError), saved_structured_context(xmlStructuredErrorContext),
      saved_generic(xmlGenericError), saved_generic_context(xmlGenericErrorContext)
{
    xmlSetStructuredErrorFunc(context, structured);
    if (generic != nullptr)
        xmlSetGenericErrorFunc(context, generic);
}

FwCompLibUtil::XmlErrorGuard::~XmlErrorGuard()
{
    xmlSetStructuredErrorFunc(saved_structured_context, saved_structured);
    xmlSetGenericErrorFunc(saved_generic_context, saved_generic);
}

void FwCompLibUtil::WriterOpened()
{
    open_writers++;
}

void FwCompLibUtil::WriterFreed()
{
    if (open_writers > 0)
        open_writers--;
    if (open_writers == 0 && cleanup_pending) {
        cleanup_pending = false;
        xmlCleanupParser();
    }
}

void FwCompLibUtil::CleanupParser()
{
    if (open_writers > 0) {
        cleanup_pending = true;
        return;
    }
    xmlCleanupParser();
}
