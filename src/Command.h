// SPDX-License-Identifier: Apache-2.0
// Command: the shell command runner, its fixed output buffer and field iterator.
#ifndef COMMAND_H
#define COMMAND_H

#include <csignal>
#include <cstddef>

#include <sys/types.h>

// Runs one shell command line, keeps its standard output in a fixed buffer
// and walks that output field by field at a one-character separator.
// The object is large; create it on the free store.
//
// Every command gets at most the time limit (SetTimeLimit, 30 s unless set):
// one that has not finished by then is killed with everything it started,
// its output is dropped and Execute reports failure. Its command line is
// kept for the whole process, and from then on no command of the process is
// started at all: an answer missing one value is no answer, and waiting out
// every further limit would only delay saying so. A command that could not
// be started at all (no pipe, no process) is counted for the whole process,
// so that a caller can tell it from a command that ran and printed nothing.
// Failures() gives both at once.
class Command {
public:
    static const int kTextWidth = 256;
    static const int kOutputWidth = 16353;
    static const int kDirWidth = 256;
    static const int kSubstringWidth = 16354;
    static const int kDefaultTimeLimit = 30;

    Command(const char* text, int debug);

    int ChangeOperatingDir(const char* dir);
    int Execute();
    const char* Output() const;
    void SetFieldSeparator(const char* sep);
    void ResetIterator();
    char* IteratorGetNext();

    // What has kept this process's commands from giving their output.
    struct RunFailures {
        // Commands that could not be started, and the system's error number
        // of the latest such failure (0 when none).
        int start_failures;
        int last_start_error;
        // The command line stopped at the time limit, or nullptr.
        const char* timed_out;

        // True when a command was stopped at the limit or more could not be
        // started than at the earlier reading: the commands run since then
        // gave no answer.
        bool Since(const RunFailures& earlier) const
        {
            return timed_out != nullptr || start_failures != earlier.start_failures;
        }
    };
    static RunFailures Failures();

    // The time limit of every later Execute, in whole seconds (at least 1).
    static void SetTimeLimit(int seconds);
    static int TimeLimit();
    // Failures()' parts one at a time.
    static int StartFailures();
    static int LastStartError();
    static const char* TimedOut();
    // Kills the process group of the command running now, if any.
    // Async-signal-safe: meant for a signal handler.
    static void KillRunning();

private:
    // The output cut into the pieces the trace shows, one at a time.
    struct Pieces {
        char text[256];
        std::size_t used;
    };

    static bool Launch(char* line, int* fd, pid_t* pid);
    void StopOverdue(const char* line, pid_t pid, int pidfd);
    bool Collect(int fd, pid_t pid, int pidfd, long long deadline);
    void Keep(const char* data, std::size_t len, std::size_t* used, bool* ended);
    void TracePieces(const char* data, std::size_t len, Pieces* pieces) const;
    void TracePiece(Pieces* pieces) const;

    char command_text[kTextWidth];
    char output[kOutputWidth];
    char operating_dir[kDirWidth];
    char field_separator;
    char substring[kSubstringWidth];
    int current_char;
    int debug;
    int new_iterator;
    // False when the text given to the constructor did not fit: nothing runs.
    bool command_stored;

    static volatile std::sig_atomic_t running_group;
};

#endif
