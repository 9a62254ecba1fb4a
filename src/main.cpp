#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "HBAScanB.h"

namespace {

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

} // namespace

// Run in the component's directory: writes the discovery document there.
// The outcome is the document; the exit status is always 0.
int main()
{
    OpenClosedStandardDescriptors();
    HBAScanB scanner("KT582304.xml", 0);
    scanner.CreateXmlFile();
    return 0;
}
