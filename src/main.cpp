// SPDX-License-Identifier: Apache-2.0
// The entry point: standard descriptors, signals, the two variables, one discovery.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "Command.h"
#include "Diagnostics.h"
#include "DocumentFile.h"
#include "HBAScanB.h"

namespace {

const char kTimeoutVariable[] = "HBA_DISCOVERY_TIMEOUT";
const char kDebugVariable[] = "HBA_DISCOVERY_DEBUG";
const long kLongestTimeLimit = 3600;

const char kUsage[] =
    "Usage: hba-discovery\n"
    "       hba-discovery --version | --help\n"
    "\n"
    "Run in the directory of a Durozaz boot BIOS update component: finds the\n"
    "Durozaz Fibre Channel adapters, compares each one's installed boot BIOS\n"
    "version with the component's, and writes the discovery document there\n"
    "(named after the component's file name, ending in _disc.xml). Nothing on\n"
    "the adapters is changed; the exit status is always 0. Any other arguments\n"
    "are ignored.\n"
    "\n"
    "Environment:\n"
    "  HBA_DISCOVERY_TIMEOUT  time limit of each probe in seconds, 1 to 3600 (default %d)\n"
    "  HBA_DISCOVERY_DEBUG    a non-zero number traces every step on standard output\n"
    "\n"
    "See hba-discovery(1).\n";

// The whole text as a decimal number from min to max: an optional sign and
// digits, nothing before or after them.
bool DecimalNumber(const char* text, long min, long max, long* value)
{
    if (text == nullptr || text[0] == '\0' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < min || number > max)
        return false;
    *value = number;
    return true;
}

// Every command's time limit: HBA_DISCOVERY_TIMEOUT whole seconds, 1 to
// 3600; unset or empty keeps the default, anything else is said and ignored.
void SetTimeLimitFromEnvironment()
{
    const char* text = std::getenv(kTimeoutVariable);
    if (text == nullptr || text[0] == '\0')
        return;
    long seconds = 0;
    if (DecimalNumber(text, 1, kLongestTimeLimit, &seconds))
        Command::SetTimeLimit(static_cast<int>(seconds));
    else
        Diagnostics::StderrLine(
            "%s is not a whole number of seconds from 1 to %ld; it is ignored and "
            "the default of %d s is used",
            kTimeoutVariable, kLongestTimeLimit, Command::kDefaultTimeLimit);
}

// The debug value: HBA_DISCOVERY_DEBUG as a decimal number; unset, empty or
// not a number is 0, no trace.
int DebugFromEnvironment()
{
    long value = 0;
    if (!DecimalNumber(std::getenv(kDebugVariable), INT_MIN, INT_MAX, &value))
        return 0;
    return static_cast<int>(value);
}

// A standard descriptor that the caller left closed would be taken by the
// first file the tool opens (the document), and whatever is said on it
// would land in that file: each closed one is opened on /dev/null first.
void OpenClosedStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is fd itself, since the lower ones are open.
        int opened = open("/dev/null", O_RDWR);
        if (opened != -1 && opened != fd) {
            (void)dup2(opened, fd);
            (void)close(opened);
        }
    }
}

// A run stopped by a signal leaves no temporary document and no pipeline
// behind, and then ends as that signal would have ended it.
extern "C" void StopOnSignal(int signo)
{
    DocumentFile::RemovePending();
    Command::KillRunning();
    (void)signal(signo, SIG_DFL);
    (void)raise(signo);
}

// Every catchable signal whose default ends the process. One that the
// caller ignores (nohup ignores SIGHUP) stays ignored. While one of them is
// handled, the others wait.
void StopCleanlyOnSignals()
{
    const int stop_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                                SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};
    struct sigaction action = {};
    action.sa_handler = StopOnSignal;
    (void)sigemptyset(&action.sa_mask);
    for (int signo : stop_signals)
        (void)sigaddset(&action.sa_mask, signo);
    for (int signo : stop_signals) {
        struct sigaction current = {};
        if (sigaction(signo, nullptr, &current) == 0 && current.sa_handler != SIG_IGN)
            (void)sigaction(signo, &action, nullptr);
    }
    // A trace reader that goes away (| head) must not end the run with the
    // old document removed and no new one: writes to it fail instead, as
    // they do to a closed standard output. The pipelines get SIGPIPE back.
    (void)signal(SIGPIPE, SIG_IGN);
    // A caller that ignores SIGCHLD would have the pipelines' shells reaped
    // unseen, and their exit statuses, which tell a pipeline that ran from
    // one that could not, lost.
    (void)signal(SIGCHLD, SIG_DFL);
}

} // namespace

// Run in the component's directory: writes the discovery document there.
// The outcome is the document; the exit status is always 0. Arguments are
// ignored, but for a lone --version or --help, which only prints; two
// environment variables serve the administrator.
int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        (void)std::fputs("hba-discovery " HBA_DISCOVERY_VERSION "\n", stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        (void)std::printf(kUsage, Command::kDefaultTimeLimit);
        return 0;
    }
    OpenClosedStandardDescriptors();
    StopCleanlyOnSignals();
    SetTimeLimitFromEnvironment();
    HBAScanB scanner("KT582304.xml", DebugFromEnvironment());
    // Whatever the outcome, it is the document (or the line on standard
    // error that says why there is none), never the exit status.
    (void)scanner.CreateXmlFile();
    return 0;
}
