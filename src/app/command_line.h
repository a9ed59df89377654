#pragma once

#include <cstdint>
#include <string>

#include "base/socket.h"

// What the command line of the Linux daemon asks for. (The Windows program
// reads no command line.)
struct CommandLine {
    enum class Action { Run, Help, Version, UsageError };

    Action action = Action::Run;
    bool verbose = false;
    uint32_t listenAddress = net::kLoopbackIpv4;  // host byte order
    std::string error;                            // for UsageError: what was wrong, in a few words
};

// Options: -v/--verbose, --listen-address ADDR (a dotted IPv4 address),
// -h/--help, --version. Anything else, a missing or malformed address, or a
// word that is no option, is a usage error.
CommandLine ParseCommandLine(int argc, char* argv[]);

// The --help text, for standard output (help) or standard error (usage error).
std::string UsageText();
