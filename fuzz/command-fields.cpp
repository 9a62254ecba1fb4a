// SPDX-License-Identifier: Apache-2.0
// Fuzzes the shell command runner's output buffer and field iterator. The
// first input byte is the field separator (zero: none), the rest is what the
// command prints: it is written to a file that `cat` prints. The stored
// output must be exactly what the runner keeps (the output up to its first
// zero byte; an output that does not fit the buffer is not tried), and the
// fields exactly the output cut at the separator.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "FuzzSupport.h"

namespace {

// What Execute keeps of a command's output: everything up to the first zero
// byte (which the caller makes sure fits the buffer).
std::string ExpectedOutput(const std::string& printed)
{
    return printed.substr(0, printed.find('\0'));
}

std::vector<std::string> ExpectedFields(const std::string& output, char separator)
{
    std::vector<std::string> fields;
    std::size_t pos = 0;
    while (pos < output.size()) {
        std::size_t end = separator == '\0' ? std::string::npos : output.find(separator, pos);
        if (end == std::string::npos)
            end = output.size();
        fields.push_back(output.substr(pos, end - pos));
        pos = end + 1;
    }
    return fields;
}

std::vector<std::string> Walk(Command& command)
{
    std::vector<std::string> fields;
    command.ResetIterator();
    for (char* field = command.IteratorGetNext(); field != nullptr;
         field = command.IteratorGetNext()) {
        fields.emplace_back(field);
        if (fields.size() > Command::kOutputWidth)
            fuzz::Fail("the iterator does not end");
    }
    return fields;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const fuzz::ScratchFile file("hba-fuzz-command");
    static const std::string command_text = std::string("cat ") + file.Path();
    if (size == 0)
        return 0;
    const char separator = static_cast<char>(data[0]);
    const std::string printed(reinterpret_cast<const char*>(data + 1), size - 1);
    // Output that does not fit fails the run and every later command of the
    // process: such inputs are left to the unit and bad-input tests.
    if (ExpectedOutput(printed).size() > Command::kOutputWidth - 1)
        return 0;
    file.Write(data + 1, size - 1);

    std::unique_ptr<Command> command(new Command(command_text.c_str(), static_cast<int>(size % 2)));
    // libFuzzer's once-a-second alarm (for -timeout) may interrupt the wait
    // for the command; the runner goes on waiting.
    const int executed = command->Execute();
    if (executed != 1)
        fuzz::Fail("the command did not run");
    const std::string output = ExpectedOutput(printed);
    if (output != command->Output())
        fuzz::Fail("the stored output is not what the command printed");

    const char separator_text[2] = {separator, '\0'};
    command->SetFieldSeparator(separator_text);
    if (Walk(*command) != ExpectedFields(output, separator))
        fuzz::Fail("the fields are not the output cut at the separator");

    // A separator text of two characters is refused and the old one kept;
    // a reset walk gives the same fields again.
    command->SetFieldSeparator("\n\n");
    if (Walk(*command) != ExpectedFields(output, separator))
        fuzz::Fail("a refused separator changed the fields");

    command->SetFieldSeparator("\n");
    if (Walk(*command) != ExpectedFields(output, '\n'))
        fuzz::Fail("the fields are not the output cut at line feeds");
    return 0;
}
