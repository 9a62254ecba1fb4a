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

TEST(CommandTest, CommandNotFoundStillSucceedsWithEmptyOutput)
{
    Command command("hba_discovery_no_such_tool_4711", 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, command.Execute());
    EXPECT_NE("", testing::internal::GetCapturedStderr())
        << "the shell complains on standard error";
    EXPECT_STREQ("", command.Output());
    command.SetFieldSeparator("\n");
    EXPECT_EQ(nullptr, command.IteratorGetNext());
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

TEST(CommandTest, OutputBeyondTheBufferIsDroppedAndTheCommandFinishes)
{
    ScratchDir dir;
    const std::string marker = dir.File("finished");
    // tr dies of a broken pipe, and touch does not run, if reading stops early.
    const std::string text = "head -c 100000 /dev/zero | tr '\\0' x && touch " + marker;
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
    const std::string after = dir.File("after");
    const struct {
        std::string text;
        const char* why;
    } cases[] = {
        {"printf partial; sleep 600", "the shell does not end"},
        // The shell ends at once, but a child keeps its standard output open.
        {"printf partial; sh -c 'echo $$ > " + pid_file + "; exec sleep 600' &",
         "a child holds the pipe"},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(
            {
                Command::SetTimeLimit(1);
                Command command(c.text.c_str(), 0);
                int result = -1;
                double seconds = SecondsOf([&] { result = command.Execute(); });
                Command later(("touch " + after).c_str(), 0);
                const char* stopped = Command::TimedOut();
                // The limit of 1 s plus far more than a kill takes on a busy
                // machine, and well below the default limit of 30 s.
                bool held = result == 0 && command.Output()[0] == '\0' && seconds < 15.0 &&
                            stopped != nullptr && c.text == stopped && later.Execute() == 0 &&
                            !FileExists(after);
                std::exit(held ? 0 : 1);
            },
            // Nothing said: the caller tells of the stopped command.
            testing::ExitedWithCode(0), "^$")
            << c.why;
    }
    EXPECT_TRUE(ProcessEnded(pid_file)) << "the child holding the pipe was killed too";
    EXPECT_EQ(nullptr, Command::TimedOut()) << "no command of this process was stopped";
}

TEST(CommandTest, CommandThatCannotStartIsCountedApartFromOneThatPrintsNothing)
{
    Command command("printf before", 0);
    ASSERT_EQ(1, command.Execute());
    const int failures = Command::StartFailures();
    Command silent("true", 0);
    EXPECT_EQ(1, silent.Execute());
    EXPECT_EQ(failures, Command::StartFailures()) << "printing nothing is no start failure";

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
    EXPECT_EQ(failures + 2, Command::StartFailures());
    EXPECT_EQ(EMFILE, Command::LastStartError());
    EXPECT_STREQ("before", command.Output()) << "the output keeps what it had";
    EXPECT_EQ("Command::Execute(): Command to execute is \"printf after\"\n"
              "Command::Execute(): Failed to open pipe\n",
              trace);
}

TEST(CommandTest, KillRunningFromASignalHandlerEndsTheCommand)
{
    struct sigaction kill_running = {};
    kill_running.sa_handler = [](int) { Command::KillRunning(); };
    struct sigaction previous = {};
    ASSERT_EQ(0, sigaction(SIGALRM, &kill_running, &previous));
    Command command("sleep 600", 0);
    alarm(1);
    double seconds = SecondsOf([&] { (void)command.Execute(); });
    alarm(0);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_LT(seconds, 60.0) << "the command (600 s) ran on after the signal at 1 s";
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
