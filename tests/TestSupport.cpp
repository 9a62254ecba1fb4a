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

xmlTextWriterPtr NewSinkWriter(WriterSink* sink)
{
    return xmlNewTextWriter(xmlOutputBufferCreateIO(SinkWrite, SinkClose, sink, nullptr));
}

const std::size_t kOutputBufferFlushSize = 4000;

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
    std::string pad(kOutputBufferFlushSize - 1 - at, ' ');
    xmlTextWriterWriteRaw(writer, BAD_CAST pad.c_str());
    // libxml2 reports the refused write on standard error itself.
    testing::internal::CaptureStderr();
    int result = write(writer);
    testing::internal::GetCapturedStderr();
    xmlFreeTextWriter(writer);
    *written = sink.data.size() >= pad.size() ? sink.data.substr(pad.size()) : std::string();
    return result;
}
