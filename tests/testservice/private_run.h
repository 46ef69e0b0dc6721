// A /run of the test's own. The service and the listener meet at the fixed
// endpoint /run/platewise/PlatewisePipe; a test that runs the real programs
// there gives itself a mount namespace with an empty tmpfs on /run first, so
// that another test run on the same machine, or an installed service or
// listener, never meets them. Linux only.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

// Moves the calling thread, and every process it starts from now on, into a
// private mount namespace whose /run is a fresh tmpfs. False, with the
// reason to skip, where that cannot be done (not root, or a container that
// forbids new namespaces).
inline bool enter_private_run(std::string* reason)
{
    if (::geteuid() != 0) {
        *reason = "a private /run needs root (a mount namespace of the test's own)";
        return false;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
        *reason = std::string("no mount namespace of the test's own: unshare: ") + std::strerror(errno);
        return false;
    }
    // Nothing mounted from here on reaches the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0755") != 0) {
        *reason = std::string("no private /run: mount: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// The variable's "NAME=value" entry when it is set, for the environment of a
// program the test starts (sanitizer options reach the service this way).
inline std::string environment_entry(const char* name)
{
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(name) + "=" + value;
}
