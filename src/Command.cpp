// SPDX-License-Identifier: Apache-2.0
// Command: runs one shell pipeline under a time limit and walks its output.
#include "Command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

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
// The command line that gave no answer, empty while none failed; what
// became of it; and whether that was the time limit.
char failed_line[kLineWidth];
char failure_text[96];
bool failed_at_limit = false;

// Variables that change what the shell tools print (ls quoting, grep
// colours and options, GNU tools' POSIX mode, block sizes, message
// languages) or what the shell runs before the pipeline (ENV, BASH_ENV) or
// where cd goes (CDPATH). LC_ALL is replaced by LC_ALL=C.
const char* const kDroppedVariables[] = {
    "LC_ALL",       "QUOTING_STYLE", "LANGUAGE",      "POSIXLY_CORRECT",
    "GREP_OPTIONS", "GREP_COLOR",    "GREP_COLORS",   "LS_COLORS",
    "TIME_STYLE",   "BLOCK_SIZE",    "LS_BLOCK_SIZE", "BLOCKSIZE",
    "ENV",          "BASH_ENV",      "CDPATH",        "IFS",
};

bool Dropped(const char* entry)
{
    for (const char* name : kDroppedVariables) {
        const std::size_t len = std::strlen(name);
        if (std::strncmp(entry, name, len) == 0 && entry[len] == '=')
            return true;
    }
    return false;
}

// The absolute entries of a search path, in order: an empty or relative
// entry would make the shell run a program of the working directory (the
// component's, or one put there) under a tool's name.
std::string AbsoluteEntries(const char* path)
{
    std::string kept;
    while (*path != '\0') {
        const std::size_t len = std::strcspn(path, ":");
        if (path[0] == '/') {
            if (!kept.empty())
                kept += ':';
            kept.append(path, len);
        }
        path += len;
        if (*path == ':')
            path++;
    }
    return kept;
}

// The environment the commands run in: the tool's own, less the dropped
// variables, with PATH of its absolute entries only (left out when none
// remains: the shell's default search path applies), and LC_ALL=C, so that
// the tools print what the pipelines expect whatever the caller's locale.
class PlainEnvironment {
public:
    PlainEnvironment() : texts(), pointers()
    {
        for (char** entry = environ; entry != nullptr && *entry != nullptr; entry++) {
            if (Dropped(*entry))
                continue;
            if (std::strncmp(*entry, "PATH=", 5) == 0) {
                const std::string path = AbsoluteEntries(*entry + 5);
                if (!path.empty())
                    texts.push_back("PATH=" + path);
                continue;
            }
            texts.emplace_back(*entry);
        }
        texts.emplace_back("LC_ALL=C");
        for (std::string& text : texts)
            pointers.push_back(&text[0]);
        pointers.push_back(nullptr);
    }
    char* const* Entries() { return pointers.data(); }

private:
    std::vector<std::string> texts;
    std::vector<char*> pointers;
};

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
// been reaped, with its wait status, or cannot be waited for at all (the
// status is then 0: the tool sets SIGCHLD to its default, so this does not
// happen to it).
bool Reap(pid_t pid, int pidfd, long long deadline, int* status)
{
    for (;;) {
        int wait_status = 0;
        pid_t done = waitpid(pid, &wait_status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            *status = done == pid ? wait_status : 0;
            return true;
        }
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
// with standard input from /dev/null, standard output to out, the
// environment given, the signal mask given, SIGPIPE at its default and
// everything else as the caller has it; returns 0, or the system's error
// number of the first step that failed.
int Spawn(char* line, const sigset_t* mask, int out, char* const* environment, pid_t* pid)
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
        error = posix_spawn_file_actions_addopen(&options.actions, STDIN_FILENO, "/dev/null",
                                                 O_RDONLY, 0);
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
    return posix_spawn(pid, "/bin/sh", &options.actions, &options.attributes, argv, environment);
}

// Spawn with standard output into a close-on-exec pipe: no child keeps a
// copy of either end beyond its standard output, so the end of the output
// is the end of the command. Returns 0 and the pipe's read end, or the
// system's error number.
int Start(char* line, const sigset_t* mask, char* const* environment, int* fd, pid_t* pid)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0)
        return errno;
    const int error = Spawn(line, mask, pipe_fds[1], environment, pid);
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
    return RunFailures{start_failures, last_start_error, TimedOut(), Failed(), Failure()};
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
    return failed_at_limit ? failed_line : nullptr;
}

const char* Command::Failed()
{
    return failed_line[0] != '\0' ? failed_line : nullptr;
}

const char* Command::Failure()
{
    return failed_line[0] != '\0' ? failure_text : nullptr;
}

void Command::KillRunning()
{
    const pid_t group = running_group;
    if (group > 0)
        (void)kill(-group, SIGKILL);
}

Command::Command(const char* text, int debug_value)
    : command_text(), output(), operating_dir(), field_separator('\0'), substring(),
      current_char(0), debug(debug_value), new_iterator(1), command_stored(false),
      accepted_status(0)
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

void Command::AcceptExitStatus(int status)
{
    accepted_status = status;
}

int Command::Execute()
{
    if (!command_stored) {
        FwCompLibUtil::Trace(
            debug, "Command::Execute(): Command text was not stored, nothing to execute\n");
        return 0;
    }

    // After a command was stopped at its limit, or gave no answer otherwise,
    // the run's answer is lost: nothing more is started.
    if (failed_at_limit) {
        FwCompLibUtil::Trace(
            debug, "Command::Execute(): A command was stopped at the time limit, nothing more "
                   "is executed\n");
        return 0;
    }
    if (failed_line[0] != '\0') {
        FwCompLibUtil::Trace(
            debug, "Command::Execute(): A command gave no answer, nothing more is executed\n");
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
    int status = 0;
    bool overflow = false;
    const bool finished = Collect(fd, pid, pidfd, deadline, &status, &overflow);
    if (!finished)
        StopOverdue(line, pid, pidfd);
    running_group = 0;
    (void)close(fd);
    if (pidfd >= 0)
        (void)close(pidfd);
    if (!finished)
        return 0;

    // A probe that finds nothing prints nothing and still ends with 0, its
    // last command being a filter: any other end means the pipeline did not
    // run (or, past the buffer, its output would be cut).
    char failure[sizeof(failure_text)] = "";
    if (overflow)
        (void)FwCompLibUtil::FormatBounded(failure, sizeof(failure),
                                           "printed more than %d characters", kOutputWidth - 1);
    else if (WIFSIGNALED(status))
        (void)FwCompLibUtil::FormatBounded(failure, sizeof(failure), "was ended by signal %d (%s)",
                                           WTERMSIG(status), strsignal(WTERMSIG(status)));
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0 &&
             WEXITSTATUS(status) != accepted_status)
        (void)FwCompLibUtil::FormatBounded(failure, sizeof(failure), "ended with exit status %d",
                                           WEXITSTATUS(status));
    if (failure[0] != '\0') {
        FwCompLibUtil::Trace(debug, "Command::Execute(): The command %s\n", failure);
        GiveUp(line, failure);
        return 0;
    }
    FwCompLibUtil::Trace(debug, "Command::Execute(): Return TRUE\n");
    return 1;
}

void Command::GiveUp(const char* line, const char* failure)
{
    output[0] = '\0';
    FwCompLibUtil::CopyBounded(failed_line, line);
    FwCompLibUtil::CopyBounded(failure_text, failure);
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
    const int error = Start(line, &caller_mask, environment.Entries(), fd, pid);
    if (ttou_set)
        (void)sigaction(SIGTTOU, &caller_ttou, nullptr);
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
    int status = 0;
    (void)Reap(pid, pidfd, NowMs() + kReapGraceMs, &status);
    char failure[sizeof(failure_text)];
    (void)FwCompLibUtil::FormatBounded(failure, sizeof(failure),
                                       "did not finish within %d s and was stopped", time_limit);
    GiveUp(line, failure);
    failed_at_limit = true;
}

// Reads the command's output until its end or the deadline and waits for
// the shell to end; true when both happened in time, with the shell's wait
// status, and overflow set when the output did not fit the buffer.
bool Command::Collect(int fd, pid_t pid, int pidfd, long long deadline, int* status, bool* overflow)
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
        Keep(chunk, static_cast<std::size_t>(got), &used, &ended, overflow);
        if (debug)
            TracePieces(chunk, static_cast<std::size_t>(got), &pieces);
    }
    if (debug)
        TracePiece(&pieces);
    return Reap(pid, pidfd, deadline, status);
}

// The value ends at the first zero byte of the output; one that does not
// fit the buffer sets overflow. Whatever follows is read and dropped, so
// that the command can end.
void Command::Keep(const char* data, std::size_t len, std::size_t* used, bool* ended,
                   bool* overflow)
{
    if (*ended)
        return;
    const std::size_t room = sizeof(output) - 1 - *used;
    // A zero byte right after the room still ends a value that fits.
    const std::size_t looked_at = len < room + 1 ? len : room + 1;
    if (const void* zero = std::memchr(data, '\0', looked_at)) {
        len = static_cast<std::size_t>(static_cast<const char*>(zero) - data);
        *ended = true;
    } else if (len > room) {
        len = room;
        *ended = true;
        *overflow = true;
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
