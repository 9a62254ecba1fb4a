// SPDX-License-Identifier: Apache-2.0
#include "ShellProcess.h"

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

#include "BoundedText.h"
#include "PlainEnvironment.h"

namespace {

int time_limit = ShellProcess::kDefaultTimeLimit;

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

// posix_spawn's file actions and attributes, each destroyed with the holder
// when its init succeeded.
struct SpawnOptions {
    SpawnOptions()
        : actions(),
          attributes(),
          actions_error(posix_spawn_file_actions_init(&actions)),
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

// True, with the step kept, when a step's result is an error number.
bool RecordIfFailed(int result, const char* step, ShellProcess::StartFailure* failure)
{
    if (result == 0)
        return false;
    *failure = {step, result};
    return true;
}

// Starts "/bin/sh -c line" as the leader of a process group of its own,
// with standard input from /dev/null, standard output to out, the
// environment given, the signal mask given, SIGPIPE at its default and
// everything else as the caller has it; the first step that failed, if any,
// is kept in failure.
bool Spawn(char* line, const sigset_t* mask, int out, char* const* environment, pid_t* pid,
           ShellProcess::StartFailure* failure)
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
    // Every probe is a shell pipeline: running it through the shell is the
    // point.
    char shell[] = "sh";
    char option[] = "-c";
    char* argv[] = {shell, option, line, nullptr};
    posix_spawn_file_actions_t* actions = &options.actions;
    posix_spawnattr_t* attributes = &options.attributes;
    return !(RecordIfFailed(options.actions_error, "posix_spawn_file_actions_init", failure) ||
             RecordIfFailed(options.attributes_error, "posix_spawnattr_init", failure) ||
             RecordIfFailed(
                 posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0),
                 "posix_spawn_file_actions_addopen", failure) ||
             RecordIfFailed(posix_spawn_file_actions_adddup2(actions, out, STDOUT_FILENO),
                            "posix_spawn_file_actions_adddup2", failure) ||
             RecordIfFailed(posix_spawnattr_setflags(attributes, flags), "posix_spawnattr_setflags",
                            failure) ||
             RecordIfFailed(posix_spawnattr_setpgroup(attributes, 0), "posix_spawnattr_setpgroup",
                            failure) ||
             RecordIfFailed(posix_spawnattr_setsigmask(attributes, mask),
                            "posix_spawnattr_setsigmask", failure) ||
             RecordIfFailed(posix_spawnattr_setsigdefault(attributes, &pipe_default),
                            "posix_spawnattr_setsigdefault", failure) ||
             RecordIfFailed(posix_spawn(pid, "/bin/sh", actions, attributes, argv, environment),
                            "posix_spawn", failure));
}

// Spawn with standard output into a close-on-exec pipe: no child keeps a
// copy of either end beyond its standard output, so the end of the output
// is the end of the command. True with the pipe's read end.
bool SpawnPiped(char* line, const sigset_t* mask, char* const* environment, int* fd, pid_t* pid,
                ShellProcess::StartFailure* failure)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return !RecordIfFailed(errno, "pipe2", failure);
    const bool spawned = Spawn(line, mask, pipe_fds[1], environment, pid, failure);
    (void)close(pipe_fds[1]);
    if (!spawned) {
        (void)close(pipe_fds[0]);
        return false;
    }
    *fd = pipe_fds[0];
    return true;
}

} // namespace

volatile std::sig_atomic_t ShellProcess::running_group = 0;

void ShellProcess::SetTimeLimit(int seconds)
{
    if (seconds >= 1)
        time_limit = seconds;
}

void ShellProcess::KillRunning()
{
    const pid_t group = running_group;
    if (group > 0)
        (void)kill(-group, SIGKILL);
}

ShellProcess::ShellProcess() : fd(-1), pid(0), pidfd(-1), deadline(0), failure{nullptr, 0}
{
}

ShellProcess::~ShellProcess()
{
    if (pid > 0 && running_group == pid)
        running_group = 0;
    if (fd >= 0)
        (void)close(fd);
    if (pidfd >= 0)
        (void)close(pidfd);
}

// Starts the command line and makes its process group the one that
// KillRunning kills. A signal that stops the tool kills the running
// command's group: from the start until that group is known, signals wait.
// The command itself starts with the caller's mask.
bool ShellProcess::Start(char* line)
{
    // Anything buffered for standard output must go out before the child
    // inherits it, so that trace lines keep their order.
    (void)fflush(stdout);
    PlainEnvironment environment;
    sigset_t all;
    sigset_t caller_mask;
    (void)sigfillset(&all);
    (void)sigprocmask(SIG_BLOCK, &all, &caller_mask);
    // An ignored signal stays ignored across exec: the pipeline starts with
    // SIGTTOU ignored, and the tool has its own disposition back at once.
    struct sigaction ignore = {};
    struct sigaction caller_ttou = {};
    ignore.sa_handler = SIG_IGN;
    (void)sigemptyset(&ignore.sa_mask);
    const bool ttou_set = sigaction(SIGTTOU, &ignore, &caller_ttou) == 0;
    const bool started = SpawnPiped(line, &caller_mask, environment.Entries(), &fd, &pid, &failure);
    if (ttou_set)
        (void)sigaction(SIGTTOU, &caller_ttou, nullptr);
    if (started)
        running_group = pid;
    (void)sigprocmask(SIG_SETMASK, &caller_mask, nullptr);
    if (!started)
        return false;
    // Without a descriptor for the child (a kernel before 5.3), Reap checks
    // on it every millisecond instead.
    pidfd = OpenPidFd(pid);
    deadline = NowMs() + 1000LL * time_limit;
    return true;
}

long ShellProcess::Read(char* buffer, std::size_t size)
{
    for (;;) {
        int left = MsUntil(deadline);
        if (left == 0)
            return -1;
        struct pollfd wait_for = {fd, POLLIN, 0};
        int ready = poll(&wait_for, 1, left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return -1;
        if (ready < 0)
            return 0;
        ssize_t got = read(fd, buffer, size);
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 ? 0 : static_cast<long>(got);
    }
}

// A process stuck in an uninterruptible read dies only when the read ends;
// it is given a short grace and then left behind.
void ShellProcess::Stop()
{
    (void)kill(-pid, SIGKILL);
    int status = 0;
    (void)Reap(NowMs() + kReapGraceMs, &status);
    running_group = 0;
}

// Waits for the shell to end, at most until the given time; true once it
// has been reaped, with its wait status, or cannot be waited for at all
// (the status is then 0: the tool sets SIGCHLD to its default, so this does
// not happen to it).
bool ShellProcess::Reap(long long until, int* status)
{
    for (;;) {
        int wait_status = 0;
        pid_t done = waitpid(pid, &wait_status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            *status = done == pid ? wait_status : 0;
            running_group = 0;
            return true;
        }
        if (done < 0)
            continue;
        int left = MsUntil(until);
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

bool ShellProcess::DescribeEnd(int status, int accepted, char* text, std::size_t width)
{
    if (WIFSIGNALED(status)) {
        (void)BoundedText::FormatBounded(text, width, "was ended by signal %d (%s)",
                                         WTERMSIG(status), strsignal(WTERMSIG(status)));
        return true;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != accepted) {
        (void)BoundedText::FormatBounded(text, width, "ended with exit status %d",
                                         WEXITSTATUS(status));
        return true;
    }
    return false;
}

void ShellProcess::DescribeOverdue(char* text, std::size_t width)
{
    (void)BoundedText::FormatBounded(text, width, "did not finish within %d s and was stopped",
                                     time_limit);
}
