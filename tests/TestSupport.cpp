// SPDX-License-Identifier: Apache-2.0
// Shared test support: scratch directories, file and XML helpers, doubles, table rows.
#include "TestSupport.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <libxml/parser.h>

void (*ScratchDirCheck)(const std::string& path) = nullptr;

ScratchDir::ScratchDir(bool enter)
{
    char tmpl[] = "/tmp/hba-discovery-test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = tmpl;
    if (enter) {
        previous = std::filesystem::current_path().string();
        std::filesystem::current_path(path);
    }
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    if (!previous.empty())
        std::filesystem::current_path(previous, ec);
    if (ScratchDirCheck != nullptr)
        ScratchDirCheck(path);
    std::filesystem::remove_all(path, ec);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long OpenDescriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

bool IsWellFormedXml(const std::string& path)
{
    xmlDocPtr doc = xmlReadFile(path.c_str(), nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc == nullptr)
        return false;
    xmlFreeDoc(doc);
    return true;
}

namespace {

struct WriterSink {
    std::string data;
    bool refuse = false;
};

int SinkWrite(void* context, const char* buffer, int len)
{
    WriterSink* sink = static_cast<WriterSink*>(context);
    sink->data.append(buffer, static_cast<std::size_t>(len));
    return sink->refuse ? -1 : len;
}

int SinkClose(void*)
{
    return 0;
}

// With an encoder from the start, as the document's declaration sets one:
// libxml2 2.15 passes output on in pieces of 4096 bytes with an encoder and
// of 4000 without, so the writer must not change kinds after the padding.
xmlTextWriterPtr NewSinkWriter(WriterSink* sink)
{
    return xmlNewTextWriter(
        xmlOutputBufferCreateIO(SinkWrite, SinkClose, sink, xmlFindCharEncodingHandler("UTF-8")));
}

// How many bytes the sink writer's output buffer holds before it passes them
// on (4000 up to libxml2 2.14, 4096 from 2.15): found by filling one a byte
// at a time.
std::size_t OutputBufferFlushSize()
{
    WriterSink sink;
    xmlTextWriterPtr writer = NewSinkWriter(&sink);
    std::size_t held = 0;
    while (sink.data.empty() && held < 65536) {
        xmlTextWriterWriteRaw(writer, BAD_CAST " ");
        ++held;
    }
    xmlFreeTextWriter(writer);
    return held;
}

} // namespace

std::string SinkOutput(const std::function<void(xmlTextWriterPtr)>& write)
{
    WriterSink sink;
    xmlTextWriterPtr writer = NewSinkWriter(&sink);
    write(writer);
    xmlTextWriterFlush(writer);
    xmlFreeTextWriter(writer);
    return sink.data;
}

int WriteFailingAt(std::size_t at, const std::function<int(xmlTextWriterPtr)>& write,
                   std::string* written)
{
    WriterSink sink;
    sink.refuse = true;
    xmlTextWriterPtr writer = NewSinkWriter(&sink);
    // A byte a time, as the flush size was found: libxml2 2.15 passes a
    // large write on at once.
    static const std::size_t flush_size = OutputBufferFlushSize();
    const std::string pad(flush_size - 1 - at, ' ');
    for (std::size_t i = 0; i < pad.size(); ++i)
        xmlTextWriterWriteRaw(writer, BAD_CAST " ");
    // libxml2 reports the refused write on standard error itself.
    testing::internal::CaptureStderr();
    int result = write(writer);
    testing::internal::GetCapturedStderr();
    xmlFreeTextWriter(writer);
    *written = sink.data.size() >= pad.size() ? sink.data.substr(pad.size()) : std::string();
    return result;
}
