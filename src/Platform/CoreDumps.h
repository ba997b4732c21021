#pragma once

namespace tandrel {

// The program holds the account's token and both passwords in memory; a core file written
// by the system's crash collector would keep them on disk for anyone who reads it later.
class CoreDumps {
public:
    CoreDumps() = delete;

    // Turns core files off for this process and everything it starts: the core size limit
    // goes to zero and the process is marked not dumpable (which also keeps other programs
    // of the same user from attaching to it). Crash reports are written by our own signal
    // handlers and are not affected. Returns false when either could not be set.
    static bool disable();
};

}  // namespace tandrel
