// SPDX-License-Identifier: Apache-2.0
#include "Command.h"

#include <cstdio>
#include <cstring>

#include "BoundedText.h"
#include "Diagnostics.h"

namespace {

// "cd " + directory + ";" + text, and the terminator: both parts are
// bounded, so every command line fits.
const std::size_t kLineWidth = Command::kTextWidth + 1 + Command::kDirWidth + 3;

int start_failures = 0;
const char* last_start_step = nullptr;
int last_start_error = 0;
// The command line that gave no answer, empty while none failed; what
// became of it; and whether that was the time limit.
char failed_line[kLineWidth];
char failure_text[96];
bool failed_at_limit = false;

} // namespace

Command::RunFailures Command::Failures()
{
    const bool failed = failed_line[0] != '\0';
    return RunFailures{start_failures, last_start_step, last_start_error,
                       failed ? failed_line : nullptr, failed ? failure_text : nullptr};
}

void Command::SetTimeLimit(int seconds)
{
    ShellProcess::SetTimeLimit(seconds);
}

void Command::KillRunning()
{
    ShellProcess::KillRunning();
}

Command::Command(const char* text, int debug_value)
    : command_text(),
      output(),
      operating_dir(),
      field_separator('\0'),
      substring(),
      current_char(0),
      debug(debug_value),
      new_iterator(1),
      command_stored(false),
      accepted_status(0)
{
    std::size_t len = std::strlen(text);
    Diagnostics::Trace(debug, "Command::Command(): Command text length is %zu\n", len);
    Diagnostics::Trace(debug, "Command::Command(): Command is \"%s\"\n", text);
    // A longer text is not stored at all: a cut command line could do
    // something other than what was asked.
    command_stored = BoundedText::CopyIfFits(command_text, text);
}

int Command::ChangeOperatingDir(const char* dir)
{
    std::size_t len = std::strlen(dir);
    Diagnostics::Trace(debug, "Command::ChangeOperatingDir(): Directory length is %zu\n", len);
    Diagnostics::Trace(debug, "Command::ChangeOperatingDir(): Directory is %s\n", dir);
    // A refused directory leaves the one stored before.
    if (!BoundedText::CopyIfFits(operating_dir, dir)) {
        Diagnostics::Trace(debug,
                           "Command::ChangeOperatingDir(): Failed to store execution directory\n");
        return 0;
    }
    return 1;
}

void Command::AcceptExitStatus(int status)
{
    accepted_status = status;
}

// False, with the reason traced, when nothing may run: the text was not
// stored, or a command of this process gave no answer.
bool Command::MayRun() const
{
    if (!command_stored) {
        Diagnostics::Trace(debug,
                           "Command::Execute(): Command text was not stored, nothing to execute\n");
        return false;
    }

    // After a command was stopped at its limit, or gave no answer otherwise,
    // the run's answer is lost: nothing more is started.
    if (failed_at_limit) {
        Diagnostics::Trace(
            debug, "Command::Execute(): A command was stopped at the time limit, nothing more "
                   "is executed\n");
        return false;
    }
    if (failed_line[0] != '\0') {
        Diagnostics::Trace(
            debug, "Command::Execute(): A command gave no answer, nothing more is executed\n");
        return false;
    }
    return true;
}

int Command::Execute()
{
    if (!MayRun())
        return 0;
    char line[kLineWidth];
    if (operating_dir[0] != '\0')
        (void)BoundedText::FormatBounded(line, sizeof(line), "cd %s;%s", operating_dir,
                                         command_text);
    else
        BoundedText::CopyBounded(line, command_text);
    Diagnostics::Trace(debug, "Command::Execute(): Command to execute is \"%s\"\n", line);

    ShellProcess process;
    if (!Launch(process, line)) {
        Diagnostics::Trace(debug, "Command::Execute(): Failed to open pipe\n");
        return 0;
    }

    output[0] = '\0';
    int status = 0;
    bool overflow = false;
    char failure[sizeof(failure_text)] = "";
    if (!Collect(process, &status, &overflow)) {
        // Everything the shell started is in its process group, and all of
        // it is killed. Its output is dropped, and its command line kept:
        // from now on nothing more runs.
        process.Stop();
        ShellProcess::DescribeOverdue(failure, sizeof(failure));
        DropOutputAndRecordFailure(line, failure);
        failed_at_limit = true;
        return 0;
    }

    // A probe that finds nothing prints nothing and still ends with 0, its
    // last command being a filter: any other end means the pipeline did not
    // run (or, past the buffer, its output would be cut).
    if (overflow)
        (void)BoundedText::FormatBounded(failure, sizeof(failure),
                                         "printed more than %d characters", kOutputWidth - 1);
    else
        (void)ShellProcess::DescribeEnd(status, accepted_status, failure, sizeof(failure));
    if (failure[0] != '\0') {
        Diagnostics::Trace(debug, "Command::Execute(): The command %s\n", failure);
        DropOutputAndRecordFailure(line, failure);
        return 0;
    }
    Diagnostics::Trace(debug, "Command::Execute(): Return TRUE\n");
    return 1;
}

void Command::DropOutputAndRecordFailure(const char* line, const char* failure)
{
    output[0] = '\0';
    BoundedText::CopyBounded(failed_line, line);
    BoundedText::CopyBounded(failure_text, failure);
}

// Starts the command line; a start that fails is counted, with the step
// that failed.
bool Command::Launch(ShellProcess& process, char* line)
{
    if (process.Start(line))
        return true;
    start_failures++;
    last_start_step = process.Failure().step;
    last_start_error = process.Failure().error;
    return false;
}

// Reads the command's output until its end or the deadline and waits for
// the shell to end; true when both happened in time, with the shell's wait
// status, and overflow set when the output did not fit the buffer.
bool Command::Collect(ShellProcess& process, int* status, bool* overflow)
{
    std::size_t used = 0;
    bool ended = false;
    Pieces pieces{};
    char chunk[4096];
    long got = 0;
    while ((got = process.Read(chunk, sizeof(chunk))) > 0) {
        AppendOutput(chunk, static_cast<std::size_t>(got), &used, &ended, overflow);
        if (debug)
            TracePieces(chunk, static_cast<std::size_t>(got), &pieces);
    }
    if (got < 0)
        return false;
    if (debug)
        TracePiece(&pieces);
    return process.Wait(status);
}

// The value ends at the first zero byte of the output; one that does not
// fit the buffer sets overflow. Whatever follows is read and dropped, so
// that the command can end.
void Command::AppendOutput(const char* data, std::size_t len, std::size_t* used, bool* ended,
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
    Diagnostics::Trace(debug, "Command::Execute(): Line is %s", pieces->text);
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
        Diagnostics::Trace(
            debug, "Command::SetFieldSeparator(): field_separator lenth is greater than %zu\n",
            len);
        return;
    }
    Diagnostics::Trace(debug, "Command::SetFieldSeparator(): Setting field_separator to \"%s\"\n",
                       sep);
    field_separator = sep[0];
}

void Command::ResetIterator()
{
    Diagnostics::Trace(debug, "Command::ResetIterator(): Setting new_iterator to TRUE\n");
    new_iterator = 1;
}

char* Command::IteratorGetNext()
{
    int output_length = static_cast<int>(std::strlen(output));
    if (new_iterator == 1) {
        Diagnostics::Trace(debug, "Command::IteratorGetNext(): Resetting iterator\n");
        current_char = 0;
        new_iterator = 0;
    }
    Diagnostics::Trace(debug, "Command::IteratorGetNext(): current_char = %d, output_length = %d\n",
                       current_char, output_length);
    if (current_char >= output_length) {
        Diagnostics::Trace(
            debug, "Command::IteratorGetNext(): We've exceeded the output length, return NULL\n");
        return nullptr;
    }

    int original_char = current_char;
    while (current_char < output_length && output[current_char] != field_separator)
        current_char++;
    Diagnostics::Trace(debug, "Command::IteratorGetNext(): original_char = %d, current_char = %d\n",
                       original_char, current_char);

    std::size_t len = static_cast<std::size_t>(current_char - original_char);
    std::memcpy(substring, output + original_char, len);
    substring[len] = '\0';
    Diagnostics::Trace(debug, "Command::IteratorGetNext(): substring is \"%s\"\n", substring);

    current_char++;
    return substring;
}
