// SPDX-License-Identifier: Apache-2.0
// ShellProcess: starting one shell command line, reading its output by a deadline, reaping it.
#ifndef SHELLPROCESS_H
#define SHELLPROCESS_H

#include <csignal>
#include <cstddef>

#include <sys/types.h>

// One run of "/bin/sh -c line": spawned as the leader of a process group of
// its own, its standard output read through a pipe until the time limit
// (SetTimeLimit, 30 s unless set), then reaped, or killed with everything
// it started.
//
// Commands run in a plain environment, whoever started the tool: LC_ALL=C,
// none of the variables that change what the shell tools print or how the
// shell starts, a PATH of its absolute entries only, standard input from
// /dev/null and SIGTTOU ignored (a terminal's "stty tostop" cannot stop a
// pipeline, which runs in a process group of its own).
class ShellProcess {
public:
    static const int kDefaultTimeLimit = 30;

    ShellProcess();
    // Closes the pipe and the child's descriptor; the process is no longer
    // the one that KillRunning kills.
    ~ShellProcess();
    ShellProcess(const ShellProcess&) = delete;
    ShellProcess& operator=(const ShellProcess&) = delete;

    // A start that failed: the system call that failed ("pipe2",
    // "posix_spawn", ...) and its error number.
    struct StartFailure {
        const char* step;
        int error;
    };

    // Starts the command line; its deadline is the time limit from now.
    // False when it could not be started, with Failure() saying why.
    bool Start(char* line);
    const StartFailure& Failure() const { return failure; }
    // The next part of the output, waiting at most until the deadline: the
    // number of bytes read into buffer, 0 at the end of the output (or when
    // it cannot be read), -1 once the deadline has passed.
    long Read(char* buffer, std::size_t size);
    // Waits for the shell to end, at most until the deadline; true with its
    // wait status.
    bool Wait(int* status) { return Reap(deadline, status); }
    // For a command past its deadline: kills its process group, everything
    // the shell started, and waits a short grace for the shell.
    void Stop();

    // What a wait status says went wrong, after the command line: "ended
    // with exit status 2", "was ended by signal 9 (Killed)"; false, with the
    // text untouched, for exit status 0 or the accepted one.
    static bool DescribeEnd(int status, int accepted, char* text, std::size_t width);
    // "did not finish within 30 s and was stopped", with the time limit.
    static void DescribeOverdue(char* text, std::size_t width);

    // The time limit of every later Start, in whole seconds (at least 1).
    static void SetTimeLimit(int seconds);
    // Kills the process group of the command running now, if any.
    // Async-signal-safe: meant for a signal handler.
    static void KillRunning();

private:
    bool Reap(long long until, int* status);

    int fd;
    pid_t pid;
    int pidfd;
    long long deadline;
    StartFailure failure;

    static volatile std::sig_atomic_t running_group;
};

#endif
