#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <string>

// A fresh directory under /tmp, removed with everything in it when the
// object goes. With enter = true the process works in it meanwhile.
class ScratchDir {
public:
    explicit ScratchDir(bool enter = false);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return path; }
    std::string File(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
    std::string previous;
};

// When set, called with a scratch directory's path just before the directory
// is removed (SchemaTest.cpp validates every discovery document left there).
extern void (*ScratchDirCheck)(const std::string& path);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);

// True when the file parses as well-formed XML (libxml2, no network, no entities).
bool IsWellFormedXml(const std::string& path);

// Runs fn with standard output captured and returns what it printed.
template <typename Fn> std::string CaptureStdout(Fn fn);

#include <cstdio>
#include <gtest/gtest.h>

template <typename Fn> std::string CaptureStdout(Fn fn)
{
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

#endif

#include <functional>
#include <libxml/xmlwriter.h>

// Runs write on a libxml2 text writer (no indentation) whose sink keeps every
// byte, and returns what the writer produced.
std::string SinkOutput(const std::function<void(xmlTextWriterPtr)>& write);

// Runs write on a text writer whose sink refuses the first flush. libxml2's
// output buffer flushes once it holds 4000 bytes; the writer is padded so
// that the write call which begins at byte `at` of write's own output is the
// one that reaches it, and that call and every later one fail. Returns
// write's result; *written receives what write had produced up to and
// including the failing call.
int WriteFailingAt(std::size_t at, const std::function<int(xmlTextWriterPtr)>& write,
                   std::string* written);
