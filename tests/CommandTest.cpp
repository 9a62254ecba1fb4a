// SPDX-License-Identifier: Apache-2.0
// Unit tests of Command: stored texts, output, fields, time limits, start failures.
#include "Command.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <sys/resource.h>
#include <unistd.h>

namespace {

std::vector<std::string> AllFields(Command& command)
{
    std::vector<std::string> fields;
    for (char* field = command.IteratorGetNext(); field != nullptr;
         field = command.IteratorGetNext())
        fields.push_back(field);
    return fields;
}

// Constructs a tracing runner without showing its constructor's lines.
std::unique_ptr<Command> Tracing(const std::string& text)
{
    std::unique_ptr<Command> command;
    CaptureStdout([&] { command.reset(new Command(text.c_str(), 1)); });
    return command;
}

TEST(CommandTest, IteratorCutsTheOutputAtTheSeparator)
{
    const struct {
        const char* printed; // printf format, as the shell sees it
        const char* separator;
        std::vector<std::string> fields;
    } cases[] = {
        {"0a:00.0\\n0a:00.1\\n", "\n", {"0a:00.0", "0a:00.1"}},
        {"0a:00.0\\n0a:00.1", "\n", {"0a:00.0", "0a:00.1"}},
        {"\\n", "\n", {""}},
        {"a\\n\\nb\\n", "\n", {"a", "", "b"}},
        {"\\nx\\n", "\n", {"", "x"}},
        {"", "\n", {}},
        {"a b\\n", " ", {"a", "b\n"}},
        {"a\\nb\\n", "", {"a\nb\n"}},
    };
    for (const auto& c : cases) {
        const std::string text = std::string("printf '") + c.printed + "'";
        Command command(text.c_str(), 0);
        EXPECT_EQ(1, command.Execute());
        command.SetFieldSeparator(c.separator);
        command.ResetIterator();
        EXPECT_EQ(c.fields, AllFields(command)) << text;
        EXPECT_EQ(nullptr, command.IteratorGetNext()) << "used up stays used up: " << text;
    }
}

TEST(CommandTest, TracesTheWalkOfTwoAddresses)
{
    std::string trace = CaptureStdout([] {
        Command command("printf '0a:00.0\\n0a:00.1\\n'", 1);
        command.Execute();
        command.SetFieldSeparator("\n");
        command.ResetIterator();
        EXPECT_STREQ("0a:00.0", command.IteratorGetNext());
        EXPECT_STREQ("0a:00.1", command.IteratorGetNext());
        EXPECT_EQ(nullptr, command.IteratorGetNext());
    });
    EXPECT_EQ("Command::Command(): Command text length is 27\n"
              "Command::Command(): Command is \"printf '0a:00.0\\n0a:00.1\\n'\"\n"
              "Command::Execute(): Command to execute is \"printf '0a:00.0\\n0a:00.1\\n'\"\n"
              "Command::Execute(): Line is 0a:00.0\n"
              "Command::Execute(): Line is 0a:00.1\n"
              "Command::Execute(): Return TRUE\n"
              "Command::SetFieldSeparator(): Setting field_separator to \"\n\"\n"
              "Command::ResetIterator(): Setting new_iterator to TRUE\n"
              "Command::IteratorGetNext(): Resetting iterator\n"
              "Command::IteratorGetNext(): current_char = 0, output_length = 16\n"
              "Command::IteratorGetNext(): original_char = 0, current_char = 7\n"
              "Command::IteratorGetNext(): substring is \"0a:00.0\"\n"
              "Command::IteratorGetNext(): current_char = 8, output_length = 16\n"
              "Command::IteratorGetNext(): original_char = 8, current_char = 15\n"
              "Command::IteratorGetNext(): substring is \"0a:00.1\"\n"
              "Command::IteratorGetNext(): current_char = 16, output_length = 16\n"
              "Command::IteratorGetNext(): We've exceeded the output length, return NULL\n",
              trace);
}

TEST(CommandTest, TwoCharacterSeparatorIsRefusedAndTheOldOneStays)
{
    std::unique_ptr<Command> command = Tracing("printf 'a\\nb c\\n'");
    std::string trace = CaptureStdout([&] {
        command->Execute();
        command->SetFieldSeparator("\n");
        command->SetFieldSeparator(" \n");
    });
    EXPECT_NE(
        std::string::npos,
        trace.find("Command::SetFieldSeparator(): field_separator lenth is greater than 2\n"));
    CaptureStdout([&] { EXPECT_EQ(std::vector<std::string>({"a", "b c"}), AllFields(*command)); });
}

TEST(CommandTest, ResetStartsAgainAndASecondExecuteContinuesFromTheOldPosition)
{
    ScratchDir dir;
    const std::string file = dir.File("list");
    WriteFile(file, "a\n");
    Command command(("cat " + file).c_str(), 0);
    command.Execute();
    command.SetFieldSeparator("\n");
    EXPECT_STREQ("a", command.IteratorGetNext());
    EXPECT_EQ(nullptr, command.IteratorGetNext());
    EXPECT_EQ(nullptr, command.IteratorGetNext());

    WriteFile(file, "a\nbb\ncc\n");
    command.Execute();
    char* first = command.IteratorGetNext();
    EXPECT_STREQ("bb", first);
    EXPECT_STREQ("cc", command.IteratorGetNext());
    EXPECT_STREQ("cc", first) << "the field lives in the runner and is overwritten";

    command.ResetIterator();
    EXPECT_EQ(std::vector<std::string>({"a", "bb", "cc"}), AllFields(command));
}

TEST(CommandTest, CommandOf255CharactersRunsAndOneOf256RunsNothing)
{
    ScratchDir dir;
    const std::string marker = dir.File("ran");
    std::string text = "touch " + marker + " #";
    text += std::string(255 - text.size(), 'x');
    {
        Command command(text.c_str(), 0);
        EXPECT_EQ(1, command.Execute());
        EXPECT_TRUE(FileExists(marker));
    }
    std::remove(marker.c_str());

    text += "x";
    std::unique_ptr<Command> command = Tracing(text);
    int result = -1;
    std::string trace = CaptureStdout([&] { result = command->Execute(); });
    EXPECT_EQ(0, result);
    EXPECT_FALSE(FileExists(marker)) << "a cut command must not run";
    EXPECT_EQ(std::string::npos, trace.find("Command to execute")) << trace;
    EXPECT_STREQ("", command->Output());
}

TEST(CommandTest, OperatingDirectoryOf255CharactersIsTakenAndOneOf256Refused)
{
    ScratchDir dir;
    const std::string dir256 = "/" + std::string(255, 'd');
    std::unique_ptr<Command> command = Tracing("pwd");
    int results[3] = {-1, -1, -1};
    std::string trace = CaptureStdout([&] {
        results[0] = command->ChangeOperatingDir(dir.Path().c_str());
        results[1] = command->ChangeOperatingDir(dir256.c_str());
        results[2] = command->Execute();
    });
    EXPECT_EQ(1, results[0]);
    EXPECT_EQ(0, results[1]);
    EXPECT_EQ(1, results[2]);
    EXPECT_EQ(dir.Path() + "\n", command->Output()) << "the refused directory leaves the old one";
    EXPECT_NE(std::string::npos,
              trace.find("Command::ChangeOperatingDir(): Directory length is 256\n"
                         "Command::ChangeOperatingDir(): Directory is " +
                         dir256 +
                         "\n"
                         "Command::ChangeOperatingDir(): Failed to store execution directory\n"));
    EXPECT_NE(std::string::npos, trace.find("Command::Execute(): Command to execute is \"cd " +
                                            dir.Path() + ";pwd\"\n"));
    CaptureStdout(
        [&] { EXPECT_EQ(1, command->ChangeOperatingDir(("/" + std::string(254, 'd')).c_str())); });
}

TEST(CommandTest, LongLineArrivesInPiecesAndIsRejoined)
{
    std::unique_ptr<Command> command = Tracing("head -c 300 /dev/zero | tr '\\0' y; echo");
    std::string trace = CaptureStdout([&] { command->Execute(); });
    EXPECT_EQ(std::string(300, 'y') + "\n", command->Output());
    EXPECT_NE(std::string::npos,
              trace.find("Command::Execute(): Line is " + std::string(255, 'y') +
                         "Command::Execute(): Line is " + std::string(45, 'y') + "\n"));
}

TEST(CommandTest, OutputThatFillsTheBufferIsKeptWholeAndTheCommandFinishes)
{
    ScratchDir dir;
    const std::string marker = dir.File("finished");
    // A zero byte right after the room ends the value: it fits. The rest is
    // read and dropped; touch runs only when the pipeline was read to its end.
    const std::string text =
        "{ head -c 16352 /dev/zero | tr '\\0' x; head -c 100000 /dev/zero; } && touch " + marker;
    Command command(text.c_str(), 0);
    EXPECT_EQ(1, command.Execute());
    EXPECT_EQ(std::string(16352, 'x'), command.Output());
    EXPECT_TRUE(FileExists(marker));
}

double SecondsOf(const std::function<void()>& fn)
{
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Gone, or a zombie not yet reaped by whoever inherited it; a killed
// process may take a moment to get there (up to 10 s on a busy machine).
bool ProcessEnded(const std::string& pid_file)
{
    std::ifstream pid_in(pid_file);
    std::string pid;
    pid_in >> pid;
    for (int tries = 0; !pid.empty() && tries < 1000; tries++) {
        std::ifstream stat("/proc/" + pid + "/stat");
        std::string field;
        for (int i = 0; i < 3 && stat >> field; i++) {
        }
        if (!stat || field == "Z")
            return true;
        usleep(10000);
    }
    return false;
}

// A command stopped at the limit stops every later one of the process, so
// each case runs in a child process of its own (a death test that exits 0,
// silently, when every check held).
TEST(CommandTest, CommandPastTheTimeLimitIsKilledWithItsChildrenAndNothingRunsAfterIt)
{
    ScratchDir dir;
    const std::string pid_file = dir.File("pid");
    const std::string printer_file = dir.File("printer");
    const std::string after = dir.File("after");
    const struct {
        std::string text;
        const char* why;
    } cases[] = {
        {"printf partial; sleep 600", "the shell does not end"},
        // The shell ends at once, but a child keeps its standard output open.
        {"printf partial; sh -c 'echo $$ > " + pid_file + "; exec sleep 600' &",
         "a child holds the pipe"},
        // The shell ends at once, and a child prints until it is stopped.
        {"sh -c 'echo $$ > " + printer_file + "; exec yes' &", "a child prints without end"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                Command::SetTimeLimit(1);
                Command command(c.text.c_str(), 0);
                int result = -1;
                double seconds = SecondsOf([&] { result = command.Execute(); });
                Command later(("touch " + after).c_str(), 0);
                const char* stopped = Command::Failures().failed;
                const std::string failure = stopped != nullptr ? Command::Failures().failure : "";
                // The limit of 1 s plus far more than a kill takes on a busy
                // machine, and well below the default limit of 30 s.
                bool held = result == 0 && command.Output()[0] == '\0' && seconds < 15.0 &&
                            stopped != nullptr && c.text == stopped &&
                            failure == "did not finish within 1 s and was stopped" &&
                            later.Execute() == 0 && !FileExists(after);
                std::exit(held ? 0 : 1);
            },
            // Nothing said: the caller tells of the stopped command.
            testing::ExitedWithCode(0), "^$")
            << c.why;
    }
    EXPECT_TRUE(ProcessEnded(pid_file)) << "the child holding the pipe was killed too";
    EXPECT_TRUE(ProcessEnded(printer_file)) << "the printing child was killed too";
    EXPECT_EQ(nullptr, Command::Failures().failed) << "no command of this process was stopped";
}

// A command that gives no answer (its shell failed, or its output does not
// fit) is given up like one stopped at the limit: output dropped, line and
// reason kept, nothing run after it. Each row runs in a child process.
TEST(CommandTest, CommandThatGivesNoAnswerStopsEveryLaterOne)
{
    ScratchDir dir;
    const std::string after = dir.File("after");
    const struct {
        std::string text;
        int accepted;
        const char* failure; // nullptr: the command ran
    } cases[] = {
        {"printf partial; hba_discovery_no_such_tool_4711", 0, "ended with exit status 127"},
        {"printf partial; exit 2", 0, "ended with exit status 2"},
        {"printf partial; kill -9 $$", 0, "was ended by signal 9 (Killed)"},
        {"head -c 16353 /dev/zero | tr '\\0' x", 0, "printed more than 16352 characters"},
        {"cat " + dir.File("missing"), 0, "ended with exit status 1"},
        {"cat " + dir.File("missing"), 1, nullptr},
        {"printf '' | sed 's/x//'", 0, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                Command command(c.text.c_str(), 0);
                command.AcceptExitStatus(c.accepted);
                const int result = command.Execute();
                Command later(("touch " + after).c_str(), 0);
                const int later_result = later.Execute();
                const char* failed = Command::Failures().failed;
                const char* failure = Command::Failures().failure;
                bool held = c.failure == nullptr
                                ? result == 1 && later_result == 1 && failed == nullptr
                                : result == 0 && command.Output()[0] == '\0' && failed != nullptr &&
                                      c.text == failed && std::string(c.failure) == failure &&
                                      later_result == 0 && !FileExists(after);
                std::exit(held ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << c.text;
        (void)std::remove(after.c_str());
    }
    EXPECT_EQ(nullptr, Command::Failures().failed) << "no command of this process failed";
}

// The pipelines run with LC_ALL=C, none of the variables that change the
// tools' output, absolute PATH entries only, standard input from /dev/null
// and SIGTTOU ignored; everything else passes.
TEST(CommandTest, CommandsRunInAPlainEnvironment)
{
    EXPECT_EXIT(
        {
            setenv("LC_ALL", "C.UTF-8", 1);
            setenv("QUOTING_STYLE", "c", 1);
            setenv("GREP_OPTIONS", "-v", 1);
            setenv("BASH_ENV", "/etc/passwd", 1);
            setenv("HBA_KEPT", "kept", 1);
            setenv("PATH", "::/usr/bin:relative:.:/bin:", 1);
            Command command("printf '%s|' \"$LC_ALL\" \"${QUOTING_STYLE-unset}\" "
                            "\"${GREP_OPTIONS-unset}\" \"${BASH_ENV-unset}\" \"$HBA_KEPT\" "
                            "\"$PATH\"; grep SigIgn /proc/self/status | cut -f2; wc -c",
                            0);
            const bool ran = command.Execute() == 1;
            // SIGTTOU is signal 22: bit 21 of the ignored set.
            const std::string expected = "C|unset|unset|unset|kept|/usr/bin:/bin|";
            const std::string output = command.Output();
            unsigned long long ignored = 0;
            const bool parsed =
                output.compare(0, expected.size(), expected) == 0 &&
                std::sscanf(output.c_str() + expected.size(), "%llx", &ignored) == 1;
            const bool held = ran && parsed && (ignored & (1ULL << (SIGTTOU - 1))) != 0 &&
                              output.substr(output.size() - 2) == "0\n";
            if (!held)
                std::fprintf(stderr, "%s", output.c_str());
            std::exit(held ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(CommandTest, CommandThatCannotStartIsCountedApartFromOneThatPrintsNothing)
{
    Command command("printf before", 0);
    ASSERT_EQ(1, command.Execute());
    const int failures = Command::Failures().start_failures;
    Command silent("true", 0);
    EXPECT_EQ(1, silent.Execute());
    EXPECT_EQ(failures, Command::Failures().start_failures)
        << "printing nothing is no start failure";

    // No descriptor left for the pipe.
    struct rlimit files = {0, 0};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &files));
    struct rlimit none = files;
    none.rlim_cur = 0;
    std::unique_ptr<Command> tracing = Tracing("printf after");
    int result = -1;
    int traced_result = -1;
    std::string trace = CaptureStdout([&] {
        EXPECT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
        result = command.Execute();
        traced_result = tracing->Execute();
        EXPECT_EQ(0, setrlimit(RLIMIT_NOFILE, &files));
    });
    EXPECT_EQ(0, result);
    EXPECT_EQ(0, traced_result);
    EXPECT_EQ(failures + 2, Command::Failures().start_failures);
    EXPECT_EQ(EMFILE, Command::Failures().last_start_error);
    EXPECT_STREQ("pipe2", Command::Failures().last_start_step) << "the failed step is named";
    EXPECT_STREQ("before", command.Output()) << "the output keeps what it had";
    EXPECT_EQ("Command::Execute(): Command to execute is \"printf after\"\n"
              "Command::Execute(): Failed to open pipe\n",
              trace);
}

// The killed command gives no answer and stops every later one: in a child.
TEST(CommandTest, KillRunningFromASignalHandlerEndsTheCommand)
{
    EXPECT_EXIT(
        {
            struct sigaction kill_running = {};
            kill_running.sa_handler = [](int) { Command::KillRunning(); };
            ASSERT_EQ(0, sigaction(SIGALRM, &kill_running, nullptr));
            Command command("sleep 600", 0);
            alarm(1);
            int result = -1;
            double seconds = SecondsOf([&] { result = command.Execute(); });
            alarm(0);
            const char* failure = Command::Failures().failure;
            std::exit(result == 0 && seconds < 60.0 && failure != nullptr &&
                              std::string(failure) == "was ended by signal 9 (Killed)"
                          ? 0
                          : 1);
        },
        testing::ExitedWithCode(0), "");
    Command::KillRunning(); // nothing runs: nothing happens
}

TEST(CommandTest, ValueEndsAtTheFirstZeroByteAndTheTraceShowsTheLinesAsRead)
{
    std::unique_ptr<Command> command = Tracing("printf 'AB\\000CD\\nEF'");
    std::string trace = CaptureStdout([&] { command->Execute(); });
    EXPECT_STREQ("AB", command->Output());
    EXPECT_NE(std::string::npos, trace.find("Command::Execute(): Line is AB"
                                            "Command::Execute(): Line is EF"
                                            "Command::Execute(): Return TRUE\n"))
        << trace;
}

} // namespace
