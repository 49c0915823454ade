#include "app/startup.h"

#include <cstdlib> // before the test below: it defines __GLIBC__

#if defined(__linux__) && defined(__GLIBC__)
#include <string>

#include <unistd.h>

namespace {

// A transfer moves its bytes through buffers of a megabyte each, a few dozen on each side, which the process takes
// fresh from the system at the start of every download and lets go at its end. On a virtual machine, first touch
// of such memory in 4 KB pages costs over a millisecond per megabyte, more than encrypting it; in 2 MB transparent
// huge pages it costs a few hundredths of that. glibc keeps megabyte blocks on its heap and backs that heap with
// huge pages only when told so before the process starts. So the program starts itself again, once, with those
// settings, and then puts the variable back as the user had it, so that programs it opens do not inherit them.
constexpr const char* kTunables = "GLIBC_TUNABLES";
constexpr const char* kRestarted = "VESK_MALLOC_RESTARTED"; // "-" when the user had no tunables, else "=" and theirs
constexpr const char* kHugePages = "glibc.malloc.hugetlb=1:glibc.malloc.mmap_threshold=4194304";

void restartWithHugePages(char** argv)
{
    if (const char* restarted = std::getenv(kRestarted)) {
        const std::string theirs = restarted;
        if (theirs.size() > 1 && theirs[0] == '=')
            setenv(kTunables, theirs.c_str() + 1, 1);
        else
            unsetenv(kTunables);
        unsetenv(kRestarted);
        return;
    }
    const char* theirs = std::getenv(kTunables);
    // A user who set the malloc tunables themselves keeps them as they are. A tool that preloads itself into the
    // process (valgrind, heaptrack) must keep seeing the process it started, which a restart would leave behind.
    if ((theirs && std::string(theirs).find("glibc.malloc.") != std::string::npos) || std::getenv("LD_PRELOAD"))
        return;
    const std::string kept = theirs ? std::string("=") + theirs : std::string("-");
    const std::string tunables = theirs && *theirs ? std::string(theirs) + ":" + kHugePages : std::string(kHugePages);
    setenv(kRestarted, kept.c_str(), 1);
    setenv(kTunables, tunables.c_str(), 1);
    execv("/proc/self/exe", argv);
    // Not restarted (no /proc, say): run as it is, with the environment as it was.
    unsetenv(kRestarted);
    if (theirs)
        setenv(kTunables, kept.c_str() + 1, 1);
    else
        unsetenv(kTunables);
}

} // namespace
#endif

int main(int argc, char** argv)
{
#if defined(__linux__) && defined(__GLIBC__)
    restartWithHugePages(argv);
#endif
    return Vesk::runApplication(argc, argv);
}
