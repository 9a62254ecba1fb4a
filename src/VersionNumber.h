// SPDX-License-Identifier: Apache-2.0
// VersionNumber: what a boot BIOS version number is, and how two of them compare.
#ifndef VERSIONNUMBER_H
#define VERSIONNUMBER_H

// Results of Compare (and of HBAInfoB::durozazVersionCompare).
enum {
    VERSION_1_GREATER = 1,
    VERSION_2_GREATER = 2,
    VERSION_EQUAL = 3,
};

class VersionNumber {
public:
    // Whether text is a version number: one or more groups of decimal
    // digits joined by single dots ("3.2.1.0", "10"). Only such a version
    // may decide an action; "V3.2.1.0" or "3.0.2.0 " would compare by
    // whatever leading digits they happen to hold.
    static bool IsNumber(const char* text);

    // Compares two versions component by component from the left, each
    // component by its leading decimal digits (saturated to the range of an
    // int); empty components are skipped, and only the components that both
    // have are compared. Traced when debug is non-zero.
    static int Compare(const char* version1, const char* version2, int debug);
};

#endif
