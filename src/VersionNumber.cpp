// SPDX-License-Identifier: Apache-2.0
#include "VersionNumber.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "BoundedText.h"
#include "Diagnostics.h"

namespace {

// A version component counts by its leading decimal digits, as atoi reads
// them, but a number too large for an int saturates instead of wrapping, so
// that a long component compares the same on every platform.
int ComponentValue(const char* token)
{
    long value = std::strtol(token, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

} // namespace

bool VersionNumber::IsNumber(const char* text)
{
    for (;;) {
        const std::size_t digits = std::strspn(text, "0123456789");
        if (digits == 0)
            return false;
        text += digits;
        if (*text == '\0')
            return true;
        if (*text != '.')
            return false;
        text++;
    }
}

// The trace lines are those of HBAInfoB::durozazVersionCompare, whose rule
// this is: whoever reads a trace finds the comparison under that name.
int VersionNumber::Compare(const char* version1, const char* version2, int debug)
{
    char tmp1[100];
    char tmp2[100];
    BoundedText::CopyBounded(tmp1, version1);
    BoundedText::CopyBounded(tmp2, version2);
    Diagnostics::Trace(debug, "HBAInfoB::durozazVersionCompare(): tmp1=%s,tmp2=%s\n", tmp1, tmp2);

    char* save1 = nullptr;
    char* save2 = nullptr;
    char* token1 = strtok_r(tmp1, ".", &save1);
    char* token2 = strtok_r(tmp2, ".", &save2);
    while (token1 != nullptr && token2 != nullptr) {
        Diagnostics::Trace(debug, "HBAInfoB::durozazVersionCompare(): token1 = %s, token2=%s\n",
                           token1, token2);
        int ver1 = ComponentValue(token1);
        int ver2 = ComponentValue(token2);
        Diagnostics::Trace(debug, "HBAInfoB::durozazVersionCompare(): ver1=%d,ver2=%d\n", ver1,
                           ver2);
        if (ver1 > ver2) {
            Diagnostics::Trace(debug,
                               "HBAInfoB::durozazVersionCompare(): Returning VERSION_1_GREATER\n");
            return VERSION_1_GREATER;
        }
        if (ver1 < ver2) {
            Diagnostics::Trace(debug,
                               "HBAInfoB::durozazVersionCompare(): Returning VERSION_2_GREATER\n");
            return VERSION_2_GREATER;
        }
        token1 = strtok_r(nullptr, ".", &save1);
        token2 = strtok_r(nullptr, ".", &save2);
    }
    Diagnostics::Trace(debug, "HBAInfoB::durozazVersionCompare(): Returning VERSION_EQUAL\n");
    return VERSION_EQUAL;
}
