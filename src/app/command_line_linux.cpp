#include "app/command_line.h"

#include <arpa/inet.h>
#include <getopt.h>

namespace {

enum LongOnly { kListenAddress = 256, kVersion };

const option kOptions[] = {
    {"verbose", no_argument, nullptr, 'v'},
    {"listen-address", required_argument, nullptr, kListenAddress},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

CommandLine UsageError(std::string error)
{
    CommandLine line;
    line.action = CommandLine::Action::UsageError;
    line.error = std::move(error);
    return line;
}

}  // namespace

CommandLine ParseCommandLine(int argc, char* argv[])
{
    CommandLine line;
    // Our own messages instead of getopt's, which name the program by its path.
    opterr = 0;
    optind = 0;
    // "+": options come first and nothing is reordered, so the word an
    // option came in is the one before optind; ":" reports a missing value.
    for (;;) {
        const int option = getopt_long(argc, argv, "+:vh", kOptions, nullptr);
        if (option == -1) {
            break;
        }
        const std::string word = argv[optind - 1];
        const std::string name = word.substr(0, word.find('='));
        switch (option) {
        case 'v':
            line.verbose = true;
            break;
        case 'h':
            line.action = CommandLine::Action::Help;
            break;
        case kVersion:
            line.action = CommandLine::Action::Version;
            break;
        case kListenAddress: {
            in_addr address{};
            if (::inet_pton(AF_INET, optarg, &address) != 1) {
                // Appended rather than "'" + text: GCC 12's -Wrestrict misfires on that at -O3.
                std::string reason = "'";
                reason += optarg;
                reason += "' is not an IPv4 address such as 127.0.0.1 or 0.0.0.0";
                return UsageError(reason);
            }
            line.listenAddress = ntohl(address.s_addr);
            break;
        }
        case ':':
            return UsageError("option '" + name + "' needs a value");
        default:
            if (word.rfind("--", 0) != 0) {
                return UsageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
            }
            // A known long option given a value it does not take still names itself in optopt.
            return UsageError(optopt != 0 ? "option '" + name + "' takes no value" : "unknown option '" + name + "'");
        }
    }
    if (optind < argc) {
        return UsageError("unexpected argument '" + std::string(argv[optind]) + "'");
    }
    return line;
}

std::string UsageText()
{
    return "Usage: tonvik [OPTION]...\n"
           "Lights an RGB keyboard to the sound the computer plays, and serves the key\n"
           "colours to a host front-end over a local HTTP API (first free port of 9191-9199).\n"
           "\n"
           "  -v, --verbose              also log debug lines (as TONVIK_DEBUG=1 does)\n"
           "      --listen-address ADDR  the IPv4 address the API listens on (default 127.0.0.1;\n"
           "                             0.0.0.0: every address, reachable from the network)\n"
           "  -h, --help                 show this help and exit\n"
           "      --version              show the version and exit\n"
           "\n"
           "Log lines go to standard error. SIGINT, SIGTERM or SIGHUP stop the daemon.\n"
           "See tonvik(1).\n";
}
