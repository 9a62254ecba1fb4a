// SPDX-License-Identifier: Apache-2.0
// FwCompLibUtil: the helpers shared by the scanner, the adapter records and the items.
#ifndef FWCOMPLIBUTIL_H
#define FWCOMPLIBUTIL_H

#include <cstdarg>
#include <cstddef>
#include <string>

#include <libxml/xmlerror.h>
#include <libxml/xmlwriter.h>

// The compiler checks every format given to the printf-like helpers below.
#if defined(__GNUC__)
#define HBA_PRINTF_LIKE(format_index, first_arg)                                                   \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define HBA_PRINTF_LIKE(format_index, first_arg)
#endif

// Small helper that HBAScan, HBAInfo, HBAInfoB and OnboardSoftwareItem hold
// by value: its own copy of the debug value, chomp, and the writer of the
// document's "value" elements; its static members serve every class.
class FwCompLibUtil {
public:
    FwCompLibUtil();

    void SetDebugValue(int debug);

    // Removes one trailing line feed from a terminated text, in place.
    void chomp(char* text);

    // Writes <name value="text"/>; 1 on success, 0 on failure.
    int WriteXmlElementWithAttribute(xmlTextWriterPtr writer, const char* name, const char* text);

    // One element of a table of value elements.
    struct ValueElement {
        const char* name;
        const char* value;
    };
    // Writes the value elements of a table in order; stops at the first that
    // fails (its own trace line says which call) and returns 0, else 1.
    int WriteValueElements(xmlTextWriterPtr writer, const ValueElement* elements,
                           std::size_t count);
    template <std::size_t N>
    int WriteValueElements(xmlTextWriterPtr writer, const ValueElement (&elements)[N])
    {
        return WriteValueElements(writer, elements, N);
    }

    // Prints one trace line on standard output when debug is non-zero; with
    // 0 nothing at all is printed.
    static void Trace(int debug, const char* format, ...) HBA_PRINTF_LIKE(2, 3);

    // Says one line of the tool's own on standard error: "hba-discovery: ",
    // the formatted text and a line feed, in one write.
    static void Say(const char* format, ...) HBA_PRINTF_LIKE(1, 2);
    // The same for a line about a file, in the shape of libxml2's own: the
    // file's name, then the formatted text (":<line>: ..." or ": ...").
    static void SayAbout(const char* file, const char* format, ...) HBA_PRINTF_LIKE(2, 3);

    // How many groups of decimal digits the text is, joined by single dots
    // ("3.2.1.0": 4, "4711": 1); 0 when it is anything else ("", "3..1",
    // "V3", "3.0 ").
    static int DigitGroups(const char* text);

    // The text as it may be quoted in a line of the tool's own: every byte
    // outside printable ASCII, and every backslash and double quote, as
    // \xHH, so that a value from the machine can neither break the line
    // nor pass for its quotes.
    static std::string Printable(const char* text);

    // The text as it may stand in an XML 1.0 document: every invalid UTF-8
    // sequence and every character that XML 1.0 forbids becomes U+FFFD.
    static std::string XmlSafeText(const char* text);

    // Copies text into a field of the given width, cutting it at width - 1
    // characters, and clears the rest of the field: the field always holds
    // a terminated text and is never overrun.
    static void CopyBounded(char* field, std::size_t width, const char* text);
    template <std::size_t N>
    static void CopyBounded(char (&field)[N], const char* text)
    {
        CopyBounded(field, N, text);
    }

    // Copies text into a field of the given width only if all of it fits
    // (at most width - 1 characters), clearing the rest of the field. A text
    // that does not fit is not cut: the result is false and the field is left
    // as it was, since a cut address, command line or directory would name
    // something else.
    static bool CopyIfFits(char* field, std::size_t width, const char* text);
    template <std::size_t N>
    static bool CopyIfFits(char (&field)[N], const char* text)
    {
        return CopyIfFits(field, N, text);
    }

    // Formats into a buffer of the given width. A text that does not fit is
    // not cut: the buffer is left empty and the result is false, since a cut
    // command line or file name would name something else.
    static bool FormatBounded(char* buffer, std::size_t width, const char* format, ...)
        HBA_PRINTF_LIKE(3, 4);
    static bool FormatBoundedV(char* buffer, std::size_t width, const char* format, va_list args)
        HBA_PRINTF_LIKE(3, 0);

    // While it lives, libxml2's errors go to the given structured handler
    // (and, if one is given, its generic messages to the generic handler);
    // when it ends, the handlers set before are back. Guards nest.
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

    // xmlCleanupParser frees the character encoding handlers that an open
    // text writer still uses. Writers are registered while open, and a
    // clean-up asked for meanwhile is deferred until the last one is freed.
    static void WriterOpened();
    static void WriterFreed();
    static void CleanupParser();

private:
    int debug;
};

#endif
