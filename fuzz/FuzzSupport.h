// SPDX-License-Identifier: Apache-2.0
// Shared fuzz support: one initialisation for every target.
#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// Helpers shared by the fuzz targets.
namespace fuzz {

// A file of its own for this fuzzing process, created once and removed at
// exit; Write replaces its content.
class ScratchFile {
public:
    explicit ScratchFile(const char* stem);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const char* Path() const { return path.c_str(); }
    void Write(const std::uint8_t* data, std::size_t size) const;

private:
    std::string path;
};

// Reports a broken property and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Fail(const char* what);

// libxml2 reports parse errors on standard error; inputs are meant to be
// broken, so its reports are dropped.
void SilenceLibxml2();

} // namespace fuzz

#endif
