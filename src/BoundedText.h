// SPDX-License-Identifier: Apache-2.0
// BoundedText: copies and formats into fixed-width character fields, never past their end.
#ifndef BOUNDEDTEXT_H
#define BOUNDEDTEXT_H

#include <cstdarg>
#include <cstddef>

#include "Diagnostics.h"

// Every text an object of this tool holds lives in a fixed-width field; these
// are the only ways text gets into one.
class BoundedText {
public:
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
};

#endif
