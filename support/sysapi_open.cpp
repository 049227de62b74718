#include "support/sysapi_open.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nimbra::support {

// Starts the opener without waiting for it: a grandchild runs it so that no zombie is
// left behind and the window does not wait for the browser.
void launch_opener(const char* opener, const char* address)
{
    if (!opener)
        opener = "xdg-open";
    pid_t child = fork();
    if (child < 0)
        return;
    if (child == 0) {
        pid_t grandchild;
        char* argv[] = {const_cast<char*>(opener), const_cast<char*>(address), nullptr};
        int status = posix_spawnp(&grandchild, opener, nullptr, nullptr, argv, environ);
        _exit(status == 0 ? 0 : 127);
    }
    int ignored;
    waitpid(child, &ignored, 0);
}

}  // namespace nimbra::support
