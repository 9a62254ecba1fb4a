// SPDX-License-Identifier: Apache-2.0
// Command: the shell command runner, its fixed output buffer and field iterator.
#ifndef COMMAND_H
#define COMMAND_H

#include <cstddef>

#include "ShellProcess.h"

// The object is large; create it on the free store. The process itself,
// its plain environment, time limit and end, is a ShellProcess.
//
// A command that has not finished within the time limit (SetTimeLimit, 30 s
// unless set) is killed with everything it started, its output is dropped
// and Execute reports failure. The same holds for a command whose shell
// ends with a status other than 0 (or the one accepted, AcceptExitStatus)
// or by a signal, which did not run its pipeline (every pipeline ends in a
// filter that exits 0 on empty input; "sh: Cannot fork" exits 2), and for
// one that prints more than the output buffer holds. Such a command line is
// kept for the whole process, with what became of it, and from then on no
// command of the process is started at all: an answer missing one value is
// no answer, and waiting out every further limit would only delay saying
// so. A command that could not be started at all (no pipe, no process) is
// counted for the whole process, with the step that failed, so that a
// caller can tell it from a command that ran and printed nothing.
// Failures() gives all of it at once.
class Command {
public:
    static const int kTextWidth = 256;
    static const int kOutputWidth = 16353;
    static const int kDirWidth = 256;
    static const int kSubstringWidth = 16354;
    static const int kDefaultTimeLimit = ShellProcess::kDefaultTimeLimit;

    Command(const char* text, int debug);

    // No caller of the tool sets a directory: every pipeline runs in the
    // component's directory. Kept, with its trace, as the runner's interface
    // that its tests cover.
    int ChangeOperatingDir(const char* dir);
    // An exit status other than 0 with which this command still ran: a lone
    // "cat" of a sysfs attribute exits 1 when the attribute is missing.
    void AcceptExitStatus(int status);
    int Execute();
    const char* Output() const;
    void SetFieldSeparator(const char* sep);
    void ResetIterator();
    char* IteratorGetNext();

    // What has kept this process's commands from giving their output.
    struct RunFailures {
        // Commands that could not be started; the system call that failed
        // in the latest such start ("pipe2", "posix_spawn", ...; nullptr
        // when none) and its error number (0 when none).
        int start_failures;
        const char* last_start_step;
        int last_start_error;
        // The command line that gave no answer (stopped at the limit, failed,
        // or printed more than the buffer holds), or nullptr; and what became
        // of it, as said after the quoted line ("did not finish within 30 s
        // and was stopped").
        const char* failed;
        const char* failure;

        // True when a command gave no answer or more could not be started
        // than at the earlier reading: the commands run since then gave no
        // answer.
        bool Since(const RunFailures& earlier) const
        {
            return failed != nullptr || start_failures != earlier.start_failures;
        }
    };
    static RunFailures Failures();

    // The time limit of every later Execute, in whole seconds (at least 1).
    static void SetTimeLimit(int seconds);
    // Kills the process group of the command running now, if any.
    // Async-signal-safe: meant for a signal handler.
    static void KillRunning();

private:
    // The output cut into the pieces the trace shows, one at a time.
    struct Pieces {
        char text[256];
        std::size_t used;
    };

    bool MayRun() const;
    bool Launch(ShellProcess& process, char* line);
    bool Collect(ShellProcess& process, int* status, bool* overflow);
    // Drops the output and keeps the command line with what became of it.
    void DropOutputAndRecordFailure(const char* line, const char* failure);
    void AppendOutput(const char* data, std::size_t len, std::size_t* used, bool* ended,
                      bool* overflow);
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
    int accepted_status;
};

#endif
