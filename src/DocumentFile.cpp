// SPDX-License-Identifier: Apache-2.0
#include "DocumentFile.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BoundedText.h"
#include "TemporaryName.h"

namespace {

// The document decides what gets flashed: never writable by group or
// others, whatever the umask.
const mode_t kDocumentMode = 0644;

// Whether name is still the entry of the open file fd.
bool StillNamed(int fd, const char* name)
{
    struct stat opened = {};
    struct stat named = {};
    return fstat(fd, &opened) == 0 && lstat(name, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
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

// Sets the mode outright (open applies the umask), or gives the error. A
// file system that keeps no modes (FAT: EPERM, or ENOSYS through FUSE)
// keeps the mode it gave, as long as group and others cannot write.
int SetDocumentMode(int fd)
{
    struct stat given = {};
    if (fchmod(fd, kDocumentMode) == 0)
        return 0;
    const int error = errno;
    if (error != EPERM && error != ENOSYS && error != EOPNOTSUPP)
        return error;
    return fstat(fd, &given) == 0 && (given.st_mode & (S_IWGRP | S_IWOTH)) == 0 ? 0 : error;
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

char DocumentFile::pending_name[64];
volatile std::sig_atomic_t DocumentFile::pending = 0;

DocumentFile::DocumentFile()
    : output_name(),
      sink{-1, 0},
      temporary_created(false),
      blocked_name(),
      older_kept(false)
{
}

DocumentFile::~DocumentFile()
{
    Discard();
}

void DocumentFile::RemovePending()
{
    if (pending)
        (void)unlink(pending_name);
}

void DocumentFile::RemoveLeftovers() const
{
    DIR* dir = opendir(".");
    if (dir == nullptr)
        return;
    while (const struct dirent* entry = readdir(dir)) {
        if (TemporaryName::Matches(entry->d_name, output_name))
            RemoveIfAbandoned(entry->d_name);
    }
    (void)closedir(dir);
}

int DocumentFile::CreateTemporaryFile()
{
    const long pid = static_cast<long>(getpid());
    char name[sizeof(pending_name)] = "";
    for (int attempt = 0; attempt < TemporaryName::kAttempts; attempt++) {
        if (!TemporaryName::Format(name, sizeof(name), output_name, pid, attempt)) {
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
        if (const int error = SetDocumentMode(fd)) {
            sink.error = error;
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
        BoundedText::CopyBounded(pending_name, name);
        pending = 1;
        sink.fd = fd;
        temporary_created = true;
        return 1;
    }
    // Every name is taken: the message names the last one tried.
    BoundedText::CopyBounded(blocked_name, name);
    sink.error = EEXIST;
    return 0;
}

void DocumentFile::ForgetTemporaryFile()
{
    temporary_created = false;
    pending = 0;
    pending_name[0] = '\0';
}

int DocumentFile::Create(const char* output_file_name)
{
    BoundedText::CopyBounded(output_name, output_file_name);
    sink.error = 0;
    RemoveLeftovers();
    // A stale document must not pass for this run's answer, and a link or
    // FIFO at the name is removed itself: nothing is written through it.
    if (unlink(output_name) < 0 && errno != ENOENT) {
        sink.error = errno;
        // A read-only file system refuses even a name that is not there.
        struct stat older = {};
        older_kept = lstat(output_name, &older) == 0;
        return 0;
    }
    return CreateTemporaryFile();
}

xmlOutputBufferPtr DocumentFile::NewOutput()
{
    return xmlOutputBufferCreateIO(SinkWrite, SinkClose, &sink, nullptr);
}

int DocumentFile::Commit()
{
    // The file stays open, and so locked, until it has its name: a sweep by
    // another run never takes it for a leftover.
    if (fsync(sink.fd) < 0 && sink.error == 0)
        sink.error = errno;
    if (sink.error == 0) {
        SignalsHeld held;
        if (rename(pending_name, output_name) < 0)
            sink.error = errno;
        else
            ForgetTemporaryFile();
    }
    if (sink.error != 0) {
        Discard();
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
        (void)unlink(output_name);
        return 0;
    }
    return 1;
}

void DocumentFile::Discard()
{
    // Removed while still locked: no other run's sweep is involved.
    if (temporary_created) {
        SignalsHeld held;
        (void)unlink(pending_name);
        ForgetTemporaryFile();
    }
    if (sink.fd >= 0) {
        (void)close(sink.fd);
        sink.fd = -1;
    }
}

std::string DocumentFile::Failure(const char* action, const char* outcome) const
{
    // An entry that blocks every temporary name is the one named.
    const char* name = blocked_name[0] != '\0' ? blocked_name : output_name;
    std::string message = std::string("cannot ") + action + " " + name;
    if (sink.error != 0)
        message += std::string(" (") + std::strerror(sink.error) + ")";
    message += std::string("; ") + outcome;
    // The update framework looks for the document under this name: an older
    // one left there would pass for this run's answer unless it is named.
    if (older_kept)
        message += std::string("; the older ") + output_name + " remains";
    return message;
}

int DocumentFile::SinkWrite(void* context, const char* buffer, int len)
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

int DocumentFile::SinkClose(void* context)
{
    return static_cast<OutputSink*>(context)->error == 0 ? 0 : -1;
}
