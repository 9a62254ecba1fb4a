#include "Command.h"

#include <cstdio>
#include <cstring>

#include "FwCompLibUtil.h"

Command::Command(const char* text, int debug_value)
    : command_text(), output(), operating_dir(), field_separator('\0'), substring(),
      current_char(0), debug(debug_value), new_iterator(1), command_stored(false)
{
    std::size_t len = std::strlen(text);
    FwCompLibUtil::Trace(debug, "Command::Command(): Command text length is %zu\n", len);
    FwCompLibUtil::Trace(debug, "Command::Command(): Command is \"%s\"\n", text);
    // A longer text is not stored at all: a cut command line could do
    // something other than what was asked.
    if (len < sizeof(command_text)) {
        FwCompLibUtil::CopyBounded(command_text, text);
        command_stored = true;
    }
}

int Command::ChangeOperatingDir(const char* dir)
{
    std::size_t len = std::strlen(dir);
    FwCompLibUtil::Trace(debug, "Command::ChangeOperatingDir(): Directory length is %zu\n", len);
    FwCompLibUtil::Trace(debug, "Command::ChangeOperatingDir(): Directory is %s\n", dir);
    if (len >= sizeof(operating_dir)) {
        FwCompLibUtil::Trace(
            debug, "Command::ChangeOperatingDir(): Failed to store execution directory\n");
        return 0;
    }
    FwCompLibUtil::CopyBounded(operating_dir, dir);
    return 1;
}

int Command::Execute()
{
    if (!command_stored) {
        FwCompLibUtil::Trace(
            debug, "Command::Execute(): Command text was not stored, nothing to execute\n");
        return 0;
    }

    // "cd " + directory + ";" + text: both parts are bounded, so it always fits.
    char line[kTextWidth + 1 + kDirWidth + 3];
    if (operating_dir[0] != '\0')
        FwCompLibUtil::FormatBounded(line, sizeof(line), "cd %s;%s", operating_dir, command_text);
    else
        FwCompLibUtil::CopyBounded(line, command_text);
    FwCompLibUtil::Trace(debug, "Command::Execute(): Command to execute is \"%s\"\n", line);

    // Anything buffered for standard output must go out before the child
    // inherits it, so that trace lines keep their order.
    (void)fflush(stdout);
    // Every probe is a shell pipeline: running it through the shell is the point.
    FILE* pipe = popen(line, "r"); // NOLINT(cert-env33-c)
    if (pipe == nullptr) {
        FwCompLibUtil::Trace(debug, "Command::Execute(): Failed to open pipe\n");
        return 0;
    }

    output[0] = '\0';
    std::size_t used = 0;
    char piece[256];
    // Output beyond the buffer is still read to the end, so that the command
    // can finish, but it is dropped.
    while (fgets(piece, sizeof(piece), pipe) != nullptr) {
        FwCompLibUtil::Trace(debug, "Command::Execute(): Line is %s", piece);
        std::size_t len = std::strlen(piece);
        std::size_t room = sizeof(output) - 1 - used;
        if (len > room)
            len = room;
        std::memcpy(output + used, piece, len);
        used += len;
        output[used] = '\0';
    }
    // The command's exit status says nothing that its output does not: a
    // failed probe prints nothing, and that is what the caller sees.
    (void)pclose(pipe);

    FwCompLibUtil::Trace(debug, "Command::Execute(): Return TRUE\n");
    return 1;
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
