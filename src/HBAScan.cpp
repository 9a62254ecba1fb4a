// SPDX-License-Identifier: Apache-2.0
// HBAScan: the generic scanner: output name, header values, document file and writer.
#include "HBAScan.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ConfigFile.h"

namespace {

const char kOutputSuffix[] = "_disc.xml";
const std::size_t kDroppedCharacters = 6;

// The document decides what gets flashed: never writable by group or
// others, whatever the umask.
const mode_t kDocumentMode = 0644;

// How many names a run tries for its temporary file before it gives up:
// the first is ".<output file name>.<pid>", the others add ".<attempt>".
const int kNameAttempts = 16;

// Whether name is one that a run gives its temporary file: prefix, a
// process number, and optionally "." and an attempt number.
bool IsTemporaryName(const char* name, const char* prefix)
{
    const std::size_t len = std::strlen(prefix);
    if (std::strncmp(name, prefix, len) != 0)
        return false;
    const int groups = FwCompLibUtil::DigitGroups(name + len);
    return groups == 1 || groups == 2;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether name is still the entry of the open file fd.
bool StillNamed(int fd, const char* name)
{
    struct stat opened = {};
    struct stat named = {};
    return fstat(fd, &opened) == 0 && lstat(name, &named) == 0 && SameFile(opened, named);
}

// Every writer holds a lock on its temporary file for as long as it lives,
// in whatever PID namespace it runs: a file whose lock can be taken has no
// writer any more and is removed. A file that cannot be locked at all (a
// file system without locks) stays.
void RemoveIfAbandoned(const char* name)
{
    struct stat named = {};
    if (lstat(name, &named) != 0 || !S_ISREG(named.st_mode))
        return;
    const int fd = open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    // Once locked, the file's entry cannot change under it: only its writer
    // renames or removes it, and only while holding the lock.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && StillNamed(fd, name))
        (void)unlink(name);
    (void)close(fd);
}

// Holds every signal for its life: what the stop handler removes must be
// this run's file, set and cleared together with the file itself.
class SignalsHeld {
public:
    SignalsHeld() : saved()
    {
        sigset_t all;
        (void)sigfillset(&all);
        (void)sigprocmask(SIG_BLOCK, &all, &saved);
    }
    ~SignalsHeld() { (void)sigprocmask(SIG_SETMASK, &saved, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t saved;
};

} // namespace

char HBAScan::pending_document[64];
volatile std::sig_atomic_t HBAScan::document_pending = 0;

HBAScan::HBAScan(const char* config_file_name, int debug_value)
    : debug(debug_value), OutputFileName(), TarnromVerStr(), VersionStr(), TypeStr(), AltName(),
      TakesEffectStr(), ConfigurationFile(), writer(nullptr), util(),
      OutputFileNameProblem(), sink{-1, 0}, error_guard(), temporary_created(false), blocked_name(),
      older_kept(false)
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
      OutputFileNameProblem(), sink{-1, 0}, error_guard(), temporary_created(false), blocked_name(),
      older_kept(false)
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
        if (IsTemporaryName(entry->d_name, prefix))
            RemoveIfAbandoned(entry->d_name);
    }
    (void)closedir(dir);
}

int HBAScan::CreateTemporaryFile()
{
    const long pid = static_cast<long>(getpid());
    char name[sizeof(pending_document)] = "";
    for (int attempt = 0; attempt < kNameAttempts; attempt++) {
        bool fits = attempt == 0 ? FwCompLibUtil::FormatBounded(name, sizeof(name), ".%s.%ld",
                                                                OutputFileName, pid)
                                 : FwCompLibUtil::FormatBounded(name, sizeof(name), ".%s.%ld.%d",
                                                                OutputFileName, pid, attempt);
        if (!fits) {
            sink.error = ENAMETOOLONG;
            return 0;
        }
        SignalsHeld held;
        // Exclusive and never through a link; close-on-exec, since the
        // pipelines run while the document is open and have no business
        // with it. An entry of that name, whoever made it (a run of the same
        // process number in another PID namespace), is left alone and the
        // next name is tried.
        const int fd =
            open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kDocumentMode);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            sink.error = errno;
            return 0;
        }
        // open applies the umask to the mode; the file is this run's own, so
        // its mode is set outright.
        if (fchmod(fd, kDocumentMode) < 0) {
            sink.error = errno;
            (void)unlink(name);
            (void)close(fd);
            return 0;
        }
        // A sweep by another run may have taken the new file for a leftover
        // before it was locked: that file is the sweep's to remove, and the
        // next name is tried. A file system without locks leaves the file
        // unlocked, and other runs' sweeps cannot lock it either.
        const bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
        if ((!locked && errno == EWOULDBLOCK) || !StillNamed(fd, name)) {
            (void)close(fd);
            continue;
        }
        FwCompLibUtil::CopyBounded(pending_document, name);
        document_pending = 1;
        sink.fd = fd;
        temporary_created = true;
        return 1;
    }
    // Every name is taken: the message names the last one tried.
    FwCompLibUtil::CopyBounded(blocked_name, name);
    sink.error = EEXIST;
    return 0;
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
        // A read-only file system refuses even a name that is not there.
        struct stat older = {};
        older_kept = lstat(OutputFileName, &older) == 0;
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
    // The file stays open, and so locked, until it has its name: a sweep by
    // another run never takes it for a leftover.
    if (fsync(sink.fd) < 0 && sink.error == 0)
        sink.error = errno;
    if (sink.error == 0) {
        SignalsHeld held;
        if (rename(pending_document, OutputFileName) < 0)
            sink.error = errno;
        else
            ForgetTemporaryFile();
    }
    if (sink.error != 0) {
        DiscardDocument();
        return 0;
    }
    if (close(sink.fd) < 0)
        sink.error = errno;
    sink.fd = -1;
    // The new name lasts only once the directory is on disk too. A
    // directory that cannot be opened for reading, or whose file system
    // does not sync directories, is left as it is.
    const int dir = sink.error == 0 ? open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (dir >= 0) {
        if (fsync(dir) < 0 && errno != EINVAL)
            sink.error = errno;
        (void)close(dir);
    }
    if (sink.error != 0) {
        (void)unlink(OutputFileName);
        return 0;
    }
    return 1;
}

void HBAScan::DiscardDocument()
{
    (void)FreeWriter();
    // Removed while still locked: no other run's sweep is involved.
    if (temporary_created) {
        SignalsHeld held;
        (void)unlink(pending_document);
        ForgetTemporaryFile();
    }
    if (sink.fd >= 0) {
        (void)close(sink.fd);
        sink.fd = -1;
    }
}

std::string HBAScan::OutputFailure(const char* action, const char* outcome) const
{
    // An entry that blocks every temporary name is the one named.
    const char* name = blocked_name[0] != '\0' ? blocked_name : OutputFileName;
    std::string message = std::string("cannot ") + action + " " + name;
    if (sink.error != 0)
        message += std::string(" (") + std::strerror(sink.error) + ")";
    message += std::string("; ") + outcome;
    // The update framework looks for the document under this name: an older
    // one left there would pass for this run's answer unless it is named.
    if (older_kept)
        message += std::string("; the older ") + OutputFileName + " remains";
    return message;
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
