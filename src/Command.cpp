// SPDX-License-Identifier: Apache-2.0
// Command: runs one shell pipeline under a time limit and walks its output.
#include "Command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FwCompLibUtil.h"

namespace {

// "cd " + directory + ";" + text, and the terminator: both parts are
// bounded, so every command line fits.
const std::size_t kLineWidth = Command::kTextWidth + 1 + Command::kDirWidth + 3;

int time_limit = Command::kDefaultTimeLimit;
int start_failures = 0;
int last_start_error = 0;
// The command line stopped at the time limit; empty while none was.
char timed_out_line[kLineWidth];

// How long a killed command is waited for before it is left behind.
const int kReapGraceMs = 500;

long long NowMs()
{
    struct timespec now = {0, 0};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds left until the deadline, 0 once it has passed.
int MsUntil(long long deadline)
{
    long long left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

// A descriptor that becomes readable when the child ends, or -1.
int OpenPidFd(pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

// Waits for the child to end, at most until the deadline; true once it has
// been reaped (or cannot be waited for at all).
bool Reap(pid_t pid, int pidfd, long long deadline)
{
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return true;
        if (done < 0)
            continue;
        int left = MsUntil(deadline);
        if (left == 0)
            return false;
        if (pidfd >= 0) {
            struct pollfd wait_for = {pidfd, POLLIN, 0};
            (void)poll(&wait_for, 1, left);
        } else {
            const struct timespec pause = {0, 1000000};
            (void)nanosleep(&pause, nullptr);
        }
    }
}

// posix_spawn's file actions and attributes, each destroyed with the holder
// when its init succeeded.
struct SpawnOptions {
    SpawnOptions()
        : actions(), attributes(), actions_error(posix_spawn_file_actions_init(&actions)),
          attributes_error(posix_spawnattr_init(&attributes))
    {
    }
    ~SpawnOptions()
    {
        if (attributes_error == 0)
            (void)posix_spawnattr_destroy(&attributes);
        if (actions_error == 0)
            (void)posix_spawn_file_actions_destroy(&actions);
    }
    SpawnOptions(const SpawnOptions&) = delete;
    SpawnOptions& operator=(const SpawnOptions&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    const int actions_error;
    const int attributes_error;
};

// Starts "/bin/sh -c line" as the leader of a process group of its own,
// with standard output to out, the signal mask given, SIGPIPE at its
// default and everything else as the caller has it; returns 0, or the
// system's error number of the first step that failed.
int Spawn(char* line, const sigset_t* mask, int out, pid_t* pid)
{
    SpawnOptions options;
    // The tool ignores SIGPIPE, and so may whoever started it; a pipeline
    // needs it, or "strings | head -n 1" ends in write errors instead of
    // quietly.
    sigset_t pipe_default;
    (void)sigemptyset(&pipe_default);
    (void)sigaddset(&pipe_default, SIGPIPE);
    const auto flags =
        static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    int error = options.actions_error;
    if (error == 0)
        error = options.attributes_error;
    if (error == 0)
        error = posix_spawn_file_actions_adddup2(&options.actions, out, STDOUT_FILENO);
    if (error == 0)
        error = posix_spawnattr_setflags(&options.attributes, flags);
    if (error == 0)
        error = posix_spawnattr_setpgroup(&options.attributes, 0);
    if (error == 0)
        error = posix_spawnattr_setsigmask(&options.attributes, mask);
    if (error == 0)
        error = posix_spawnattr_setsigdefault(&options.attributes, &pipe_default);
    if (error != 0)
        return error;
    // Every probe is a shell pipeline: running it through the shell is the
    // point.
    char shell[] = "sh";
    char option[] = "-c";
    char* argv[] = {shell, option, line, nullptr};
    return posix_spawn(pid, "/bin/sh", &options.actions, &options.attributes, argv, environ);
}

// Spawn with standard output into a close-on-exec pipe: no child keeps a
// copy of either end beyond its standard output, so the end of the output
// is the end of the command. Returns 0 and the pipe's read end, or the
// system's error number.
int Start(char* line, const sigset_t* mask, int* fd, pid_t* pid)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return errno;
    const int error = Spawn(line, mask, pipe_fds[1], pid);
    (void)close(pipe_fds[1]);
    if (error != 0) {
        (void)close(pipe_fds[0]);
        return error;
    }
    *fd = pipe_fds[0];
    return 0;
}

} // namespace

volatile std::sig_atomic_t Command::running_group = 0;

Command::RunFailures Command::Failures()
{
    return RunFailures{start_failures, last_start_error, TimedOut()};
}

void Command::SetTimeLimit(int seconds)
{
    if (seconds >= 1)
        time_limit = seconds;
}

int Command::TimeLimit()
{
    return time_limit;
}

int Command::StartFailures()
{
    return start_failures;
}

int Command::LastStartError()
{
    return last_start_error;
}

const char* Command::TimedOut()
{
    return timed_out_line[0] != '\0' ? timed_out_line : nullptr;
}

void Command::KillRunning()
{
    const pid_t group = running_group;
    if (group > 0)
        (void)kill(-group, SIGKILL);
}

Command::Command(const char* text, int debug_value)
    : command_text(), output(), operating_dir(), field_separator('\0'), substring(),
      current_char(0), debug(debug_value), new_iterator(1), command_stored(false)
{
    std::size_t len = std::strlen(text);
    FwCompLibUtil::Trace(debug, "Command::Command(): Command text length is %zu\n", len);
    FwCompLibUtil::Trace(debug, "Command::Command(): Command is \"%s\"\n", text);
    // A longer text is not stored at all: a cut command line could do
    // something other than what was asked.
    command_stored = FwCompLibUtil::CopyIfFits(command_text, text);
}

int Command::ChangeOperatingDir(const char* dir)
{
    std::size_t len = std::strlen(dir);
    FwCompLibUtil::Trace(debug, "Command::ChangeOperatingDir(): Directory length is %zu\n", len);
    FwCompLibUtil::Trace(debug, "Command::ChangeOperatingDir(): Directory is %s\n", dir);
    // A refused directory leaves the one stored before.
    if (!FwCompLibUtil::CopyIfFits(operating_dir, dir)) {
        FwCompLibUtil::Trace(
            debug, "Command::ChangeOperatingDir(): Failed to store execution directory\n");
        return 0;
    }
    return 1;
}

int Command::Execute()
{
    if (!command_stored) {
        FwCompLibUtil::Trace(
            debug, "Command::Execute(): Command text was not stored, nothing to execute\n");
        return 0;
    }

    // After a command was stopped at its limit the run's answer is lost:
    // nothing more is started.
    if (timed_out_line[0] != '\0') {
        FwCompLibUtil::Trace(
            debug, "Command::Execute(): A command was stopped at the time limit, nothing more "
                   "is executed\n");
        return 0;
    }

    char line[kLineWidth];
    if (operating_dir[0] != '\0')
        (void)FwCompLibUtil::FormatBounded(line, sizeof(line), "cd %s;%s", operating_dir,
                                           command_text);
    else
        FwCompLibUtil::CopyBounded(line, command_text);
    FwCompLibUtil::Trace(debug, "Command::Execute(): Command to execute is \"%s\"\n", line);

    int fd = -1;
    pid_t pid = 0;
    if (!Launch(line, &fd, &pid)) {
        FwCompLibUtil::Trace(debug, "Command::Execute(): Failed to open pipe\n");
        return 0;
    }
    // Without a descriptor for the child (a kernel before 5.3), Reap checks
    // on it every millisecond instead.
    const int pidfd = OpenPidFd(pid);
    const long long deadline = NowMs() + 1000LL * time_limit;

    output[0] = '\0';
    const bool finished = Collect(fd, pid, pidfd, deadline);
    if (!finished)
        StopOverdue(line, pid, pidfd);
    running_group = 0;
    (void)close(fd);
    if (pidfd >= 0)
        (void)close(pidfd);
    if (!finished)
        return 0;

    // The command's exit status says nothing that its output does not: a
    // failed probe prints nothing, and that is what the caller sees.
    FwCompLibUtil::Trace(debug, "Command::Execute(): Return TRUE\n");
    return 1;
}

// Starts the command line (Start) and makes its process group the one that
// KillRunning kills; a start that fails is counted. A signal that stops the
// tool kills the running command's group: from the start until that group
// is known, signals wait. The command itself starts with the caller's mask.
bool Command::Launch(char* line, int* fd, pid_t* pid)
{
    // Anything buffered for standard output must go out before the child
    // inherits it, so that trace lines keep their order.
    (void)fflush(stdout);
    sigset_t all;
    sigset_t caller_mask;
    (void)sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &caller_mask);
    const int error = Start(line, &caller_mask, fd, pid);
    if (error == 0)
        running_group = *pid;
    (void)sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
    if (error != 0) {
        start_failures++;
        last_start_error = error;
        return false;
    }
    return true;
}

// A command past its time limit: everything the shell started is in its
// process group, and all of it is killed. A process stuck in an
// uninterruptible read dies only when the read ends; it is given a short
// grace and then left behind. Its output is dropped, and its command line
// kept: from now on nothing more runs.
void Command::StopOverdue(const char* line, pid_t pid, int pidfd)
{
    (void)kill(-pid, SIGKILL);
    (void)Reap(pid, pidfd, NowMs() + kReapGraceMs);
    output[0] = '\0';
    FwCompLibUtil::CopyBounded(timed_out_line, line);
}

// Reads the command's output until its end or the deadline and waits for
// the shell to end; true when both happened in time.
bool Command::Collect(int fd, pid_t pid, int pidfd, long long deadline)
{
    std::size_t used = 0;
    bool ended = false;
    Pieces pieces{};
    char chunk[4096];
    for (;;) {
        int left = MsUntil(deadline);
        if (left == 0)
            return false;
        struct pollfd wait_for = {fd, POLLIN, 0};
        int ready = poll(&wait_for, 1, left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return false;
        if (ready < 0)
            break;
        ssize_t got = read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        Keep(chunk, static_cast<std::size_t>(got), &used, &ended);
        if (debug)
            TracePieces(chunk, static_cast<std::size_t>(got), &pieces);
    }
    if (debug)
        TracePiece(&pieces);
    return Reap(pid, pidfd, deadline);
}

// The value ends at the first zero byte of the output and at the buffer's
// width; whatever follows is read and dropped, so that the command can end.
void Command::Keep(const char* data, std::size_t len, std::size_t* used, bool* ended)
{
    if (*ended)
        return;
    std::size_t room = sizeof(output) - 1 - *used;
    if (len > room)
        len = room;
    if (const void* zero = std::memchr(data, '\0', len)) {
        len = static_cast<std::size_t>(static_cast<const char*>(zero) - data);
        *ended = true;
    }
    std::memcpy(output + *used, data, len);
    *used += len;
    output[*used] = '\0';
}

// Traces the output in the pieces that a line read into a 256-byte buffer
// gives: each ends after a line feed or at 255 characters.
void Command::TracePieces(const char* data, std::size_t len, Pieces* pieces) const
{
    for (std::size_t i = 0; i < len; i++) {
        pieces->text[pieces->used++] = data[i];
        if (data[i] == '\n' || pieces->used == sizeof(pieces->text) - 1)
            TracePiece(pieces);
    }
}

// Traces the piece gathered so far, if any: as a line read, it shows up to
// its first zero byte.
void Command::TracePiece(Pieces* pieces) const
{
    if (pieces->used == 0)
        return;
    pieces->text[pieces->used] = '\0';
    FwCompLibUtil::Trace(debug, "Command::Execute(): Line is %s", pieces->text);
    pieces->used = 0;
}

const char* Command::Output() const
{
    return output;
}

void Command::SetFieldSeparator(const char* sep)
{
    std::size_t len = std::strlen(sep);
    if (len > 1) {
        FwCompLibUtil::Trace(
            debug, "Command::SetFieldSeparator(): field_separator lenth is greater than %zu\n",
            len);
        return;
    }
    FwCompLibUtil::Trace(debug, "Command::SetFieldSeparator(): Setting field_separator to \"%s\"\n",
                         sep);
    field_separator = sep[0];
}

void Command::ResetIterator()
{
    FwCompLibUtil::Trace(debug, "Command::ResetIterator(): Setting new_iterator to TRUE\n");
    new_iterator = 1;
}

char* Command::IteratorGetNext()
{
    int output_length = static_cast<int>(std::strlen(output));
    if (new_iterator == 1) {
        FwCompLibUtil::Trace(debug, "Command::IteratorGetNext(): Resetting iterator\n");
        current_char = 0;
        new_iterator = 0;
    }
    FwCompLibUtil::Trace(debug,
                         "Command::IteratorGetNext(): current_char = %d, output_length = %d\n",
                         current_char, output_length);
    if (current_char >= output_length) {
        FwCompLibUtil::Trace(
            debug, "Command::IteratorGetNext(): We've exceeded the output length, return NULL\n");
        return nullptr;
    }

    int original_char = current_char;
    while (current_char < output_length && output[current_char] != field_separator)
        current_char++;
    FwCompLibUtil::Trace(debug,
                         "Command::IteratorGetNext(): original_char = %d, current_char = %d\n",
                         original_char, current_char);

    std::size_t len = static_cast<std::size_t>(current_char - original_char);
    std::memcpy(substring, output + original_char, len);
    substring[len] = '\0';
    FwCompLibUtil::Trace(debug, "Command::IteratorGetNext(): substring is \"%s\"\n", substring);

    current_char++;
    return substring;
}
