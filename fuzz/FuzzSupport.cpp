// SPDX-License-Identifier: Apache-2.0
// Shared fuzz support: one initialisation, trace output sent to /dev/null.
#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

namespace fuzz {

ScratchFile::ScratchFile(const char* stem)
{
    std::string tmpl = std::string("/tmp/") + stem + ".XXXXXX";
    int fd = mkstemp(&tmpl[0]);
    if (fd < 0)
        Fail("cannot create a scratch file in /tmp");
    close(fd);
    path = tmpl;
}

ScratchFile::~ScratchFile()
{
    unlink(path.c_str());
}

void ScratchFile::Write(const std::uint8_t* data, std::size_t size) const
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        Fail("cannot write the scratch file");
    if (size > 0 && std::fwrite(data, 1, size, f) != size)
        Fail("short write to the scratch file");
    if (std::fclose(f) != 0)
        Fail("cannot close the scratch file");
}

void Fail(const char* what)
{
    // Nothing is left to do if standard error is gone: abort either way.
    (void)std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

namespace {

// NOLINTNEXTLINE(cert-dcl50-cpp): the handler type libxml2 calls is variadic
void Drop(void*, const char*, ...)
{
}

} // namespace

void SilenceLibxml2()
{
    xmlSetGenericErrorFunc(nullptr, Drop);
    xmlSetStructuredErrorFunc(nullptr, nullptr);
}

} // namespace fuzz

// Every target: trace lines (debug value 1 for some inputs) go nowhere.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        fuzz::Fail("cannot send standard output to /dev/null");
    return 0;
}
