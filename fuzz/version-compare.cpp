// SPDX-License-Identifier: Apache-2.0
// Fuzzes the boot BIOS version comparison: two versions, split at the first
// zero byte of the input. The comparison must give one of its three answers,
// the opposite answer with the versions swapped, and "equal" for a version
// against itself.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "HBAInfoB.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static HBAInfoB adapter;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = text.find('\0');
    const std::string v1 = text.substr(0, cut);
    const std::string v2 = cut == std::string::npos ? std::string() : text.substr(cut + 1);

    const int forward = adapter.durozazVersionCompare(v1.c_str(), v2.c_str());
    const int backward = adapter.durozazVersionCompare(v2.c_str(), v1.c_str());
    const int self = adapter.durozazVersionCompare(v1.c_str(), v1.c_str());

    if (forward != VERSION_1_GREATER && forward != VERSION_2_GREATER && forward != VERSION_EQUAL)
        fuzz::Fail("the comparison gave no known answer");
    if ((forward == VERSION_1_GREATER) != (backward == VERSION_2_GREATER) ||
        (forward == VERSION_EQUAL) != (backward == VERSION_EQUAL))
        fuzz::Fail("swapping the versions does not swap the answer");
    if (self != VERSION_EQUAL)
        fuzz::Fail("a version is not equal to itself");
    return 0;
}
