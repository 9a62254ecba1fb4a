#include "HBAScan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "ConfigFile.h"

namespace {

const char kOutputSuffix[] = "_disc.xml";
const std::size_t kDroppedCharacters = 6;

// The document decides what gets flashed: never writable by group or
// others, whatever the umask.
const mode_t kDocumentMode = 0644;

// The process number at the end of a temporary file's name, after prefix;
// 0 when the name is not one of them.
long TemporaryFileOwner(const char* name, const char* prefix)
{
    std::size_t len = std::strlen(prefix);
    if (std::strncmp(name, prefix, len) != 0 || name[len] < '1' || name[len] > '9')
        return 0;
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(name + len, &end, 10);
    return (errno == 0 && *end == '\0') ? pid : 0;
}

} // namespace

char HBAScan::pending_document[64];
volatile std::sig_atomic_t HBAScan::document_pending = 0;

HBAScan::HBAScan(const char* config_file_name, int debug_value)
    : debug(debug_value), OutputFileName(), TarnromVerStr(), VersionStr(), TypeStr(), AltName(),
      TakesEffectStr(), ConfigurationFile(), writer(nullptr), util(),
      OutputFileNameProblem(), sink{-1, 0}, error_guard(), temporary_created(false)
{
    util.SetDebugValue(debug_value);
    FwCompLibUtil::CopyBounded(ConfigurationFile, config_file_name);

    ConfigFile config(ConfigurationFile, debug);
    char component_file_name[512];
    FwCompLibUtil::CopyBounded(component_file_name, config.GetComponentFileName());
    DeriveOutputFileName(component_file_name, config.IsComponentFileNameCut(), config.WasOpened());

    SetCommonAttributes();
}

HBAScan::HBAScan()
    : debug(0), OutputFileName(), TarnromVerStr(), VersionStr(), TypeStr(), AltName(),
      TakesEffectStr(), ConfigurationFile(), writer(nullptr), util(),
      OutputFileNameProblem(), sink{-1, 0}, error_guard(), temporary_created(false)
{
}

HBAScan::~HBAScan()
{
    // Only a discovery that already failed leaves a writer or a temporary
    // file behind; its failure has been said.
    DiscardDocument();
}

// The document is named after the component file less its last six
// characters. A name that would not give a document in the working directory
// under its own name leaves the output file name empty and says why.
void HBAScan::DeriveOutputFileName(const char* name, bool cut, bool opened)
{
    std::size_t len = std::strlen(name);
    const char* problem = nullptr;
    if (!opened)
        problem = "cannot be read";
    else if (len == 0)
        problem = "names no component file";
    else if (cut)
        problem = "names a component file longer than 19 characters";
    else if (len < kDroppedCharacters)
        problem = "names a component file shorter than six characters";
    else if (std::strchr(name, '/') != nullptr)
        problem = "names a component file that holds \"/\"";

    if (problem != nullptr) {
        FwCompLibUtil::CopyBounded(OutputFileNameProblem, problem);
        OutputFileName[0] = '\0';
        return;
    }
    // At most 19 characters of name: always fits.
    (void)FwCompLibUtil::FormatBounded(OutputFileName, sizeof(OutputFileName), "%.*s%s",
                                       static_cast<int>(len - kDroppedCharacters), name,
                                       kOutputSuffix);
}

const char* HBAScan::GetOutputFileName() const
{
    return OutputFileName;
}

const char* HBAScan::GetOutputFileNameProblem() const
{
    return OutputFileNameProblem;
}

void HBAScan::SetCommonAttributes()
{
    FwCompLibUtil::CopyBounded(TarnromVerStr, "2.0.0.0");
    FwCompLibUtil::CopyBounded(TakesEffectStr, "deferred");
    ReadConfigurationFile();
}

void HBAScan::ReadConfigurationFile()
{
    ConfigFile config(ConfigurationFile, debug);
    FwCompLibUtil::CopyBounded(AltName, config.GetComponentTitle());
    FwCompLibUtil::CopyBounded(VersionStr, config.GetComponentVersion());
}

void HBAScan::RemovePendingDocument()
{
    if (document_pending)
        (void)unlink(pending_document);
}

void HBAScan::RemoveLeftovers() const
{
    char prefix[sizeof(pending_document)];
    if (!FwCompLibUtil::FormatBounded(prefix, sizeof(prefix), ".%s.", OutputFileName))
        return;
    DIR* dir = opendir(".");
    if (dir == nullptr)
        return;
    while (const struct dirent* entry = readdir(dir)) {
        const long pid = TemporaryFileOwner(entry->d_name, prefix);
        // Another user's running process answers EPERM: its file stays.
        if (pid > 0 && pid != getpid() && kill(static_cast<pid_t>(pid), 0) < 0 && errno == ESRCH)
            (void)unlink(entry->d_name);
    }
    (void)closedir(dir);
}

int HBAScan::CreateTemporaryFile()
{
    if (!FwCompLibUtil::FormatBounded(pending_document, sizeof(pending_document), ".%s.%ld",
                                      OutputFileName, static_cast<long>(getpid()))) {
        sink.error = ENAMETOOLONG;
        return 0;
    }
    // Set before the file exists, so that a signal can never leave it behind.
    document_pending = 1;
    // Exclusive and never through a link; close-on-exec, since the pipelines
    // run while the document is open and have no business with it.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    sink.fd = open(pending_document, flags, kDocumentMode);
    if (sink.fd < 0 && errno == EEXIST) {
        // Left by an earlier process that had this process's number.
        (void)unlink(pending_document);
        sink.fd = open(pending_document, flags, kDocumentMode);
    }
    if (sink.fd < 0) {
        sink.error = errno;
        document_pending = 0;
        return 0;
    }
    temporary_created = true;
    return 1;
}

void HBAScan::ForgetTemporaryFile()
{
    temporary_created = false;
    document_pending = 0;
    pending_document[0] = '\0';
}

int HBAScan::OpenWriter()
{
    sink.error = 0;
    RemoveLeftovers();
    // A stale document must not pass for this run's answer, and a link or
    // FIFO at the name is removed itself: nothing is written through it.
    if (unlink(OutputFileName) < 0 && errno != ENOENT) {
        sink.error = errno;
        return 0;
    }
    if (!CreateTemporaryFile())
        return 0;
    xmlOutputBufferPtr out = xmlOutputBufferCreateIO(SinkWrite, SinkClose, &sink, nullptr);
    if (out == nullptr) {
        DiscardDocument();
        return 0;
    }
    writer = xmlNewTextWriter(out);
    if (writer == nullptr) {
        (void)xmlOutputBufferClose(out);
        DiscardDocument();
        return 0;
    }
    error_guard.emplace(nullptr, DropOutputError);
    FwCompLibUtil::WriterOpened();
    return 1;
}

int HBAScan::FreeWriter()
{
    if (writer == nullptr)
        return 1;
    xmlFreeTextWriter(writer);
    writer = nullptr;
    error_guard.reset();
    FwCompLibUtil::WriterFreed();
    return sink.error == 0 ? 1 : 0;
}

int HBAScan::CommitDocument()
{
    if (fsync(sink.fd) < 0 && sink.error == 0)
        sink.error = errno;
    if (close(sink.fd) < 0 && sink.error == 0)
        sink.error = errno;
    sink.fd = -1;
    if (sink.error == 0 && rename(pending_document, OutputFileName) < 0)
        sink.error = errno;
    if (sink.error != 0) {
        DiscardDocument();
        return 0;
    }
    ForgetTemporaryFile();
    // The new name lasts only once the directory is on disk too. A
    // directory that cannot be opened for reading, or whose file system
    // does not sync directories, is left as it is.
    const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return 1;
    if (fsync(dir) < 0 && errno != EINVAL)
        sink.error = errno;
    (void)close(dir);
    if (sink.error != 0) {
        (void)unlink(OutputFileName);
        return 0;
    }
    return 1;
}

void HBAScan::DiscardDocument()
{
    (void)FreeWriter();
    if (sink.fd >= 0) {
        (void)close(sink.fd);
        sink.fd = -1;
    }
    if (temporary_created) {
        (void)unlink(pending_document);
        ForgetTemporaryFile();
    }
}

const char* HBAScan::OutputError() const
{
    return sink.error != 0 ? std::strerror(sink.error) : nullptr;
}

int HBAScan::SinkWrite(void* context, const char* buffer, int len)
{
    OutputSink* out = static_cast<OutputSink*>(context);
    int done = 0;
    while (done < len) {
        ssize_t n = write(out->fd, buffer + done, static_cast<std::size_t>(len - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (out->error == 0)
                out->error = errno;
            return -1;
        }
        done += static_cast<int>(n);
    }
    return len;
}

// The descriptor is closed by CommitDocument or DiscardDocument.
int HBAScan::SinkClose(void* context)
{
    return static_cast<OutputSink*>(context)->error == 0 ? 0 : -1;
}

void HBAScan::DropOutputError(void* /*context*/, xmlErrorPtr /*error*/)
{
}

int HBAScan::WriteXmlHeader()
{
    if (xmlTextWriterStartDocument(writer, nullptr, "UTF-8", nullptr) < 0) {
        FwCompLibUtil::Trace(debug,
                             "HBAScan::WriteXmlHeader(): xmlTextWriterStartDocument() failed\n");
        return 0;
    }
    if (xmlTextWriterSetIndent(writer, 1) < 0) {
        FwCompLibUtil::Trace(debug, "HBAScan::WriteXmlHeader(): xmlTextWriterSetIndent() failed\n");
        return 0;
    }
    if (xmlTextWriterStartElement(writer, BAD_CAST "tarn_rom_discovery") < 0) {
        FwCompLibUtil::Trace(debug,
                             "HBAScan::WriteXmlHeader(): xmlTextWriterStartElement() failed\n");
        return 0;
    }
    std::string version = FwCompLibUtil::XmlSafeText(TarnromVerStr);
    if (xmlTextWriterWriteAttribute(writer, BAD_CAST "version", BAD_CAST version.c_str()) < 0) {
        FwCompLibUtil::Trace(debug,
                             "HBAScan::WriteXmlHeader(): xmlTextWriterWriteAttribute() failed\n");
        return 0;
    }
    const FwCompLibUtil::ValueElement header[] = {
        {"type", TypeStr},
        {"alt_name", AltName},
        {"version", VersionStr},
        {"takes_effect", TakesEffectStr},
    };
    if (!util.WriteValueElements(writer, header))
        return 0;
    if (xmlTextWriterStartElement(writer, BAD_CAST "devices") < 0) {
        FwCompLibUtil::Trace(debug,
                             "HBAScan::WriteXmlHeader(): xmlTextWriterStartElement() failed\n");
        return 0;
    }
    return 1;
}

int HBAScan::WriteXmlFooter()
{
    if (xmlTextWriterEndElement(writer) < 0 || xmlTextWriterEndElement(writer) < 0) {
        FwCompLibUtil::Trace(debug, "HBAScan::WriteXmlFooter(): xmlTextWriterEndElement failed\n");
        return 0;
    }
    return 1;
}
