#pragma once

#include <string>

namespace ravelin {

/// What LockDown managed; the helper reports it on stderr when something could not be applied.
struct LockDownResult {
    bool capabilitiesDropped = false;  // effective, permitted, inheritable and ambient sets empty
    bool noNewPrivileges = false;      // PR_SET_NO_NEW_PRIVS
    bool fileSystemClosed = false;  // Landlock ruleset enforced (false where the kernel lacks it)
    int landlockAbi = 0;            // 0 = none
    bool systemCallsFiltered = false;  // seccomp allow-list loaded
    std::string problem;               // empty, or what failed and why (errno text)
};

/// Drops every capability, sets no-new-privileges, closes the file system with Landlock where
/// the kernel has it, and loads a seccomp allow-list. Returns false (with result.problem set)
/// when capabilities could not be dropped or the filter could not be loaded; Landlock missing
/// from the kernel is not a failure, and Landlock failing otherwise sets result.problem but
/// leaves the return to the other steps (the filter refuses every call that opens a file).
///
/// Call once, after the capture, the eBPF programs and their maps are open, from the process's
/// only thread: capabilities, no-new-privileges, Landlock and the filter all bind the calling
/// thread alone, so LockDown refuses to run while /proc shows other threads.
///
/// Built with AddressSanitizer or ThreadSanitizer, only capabilities and no-new-privileges are
/// applied: the sanitizer runtimes read /proc/self/maps and make calls of their own at exit.
bool LockDown(LockDownResult& result);

}  // namespace ravelin
