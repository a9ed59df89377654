#include "e2e/spawn.h"

#include <fcntl.h>
#include <spawn.h>

#include <set>

extern char** environ;

pid_t SpawnProcess(const std::vector<std::string>& argv, const EnvOverrides& env, const std::string& stdoutPath,
                   const std::string& stderrPath)
{
    if (argv.empty()) {
        return -1;
    }
    std::set<std::string> replaced;
    std::vector<std::string> envText;
    for (const auto& [name, value] : env) {
        replaced.insert(name);
        envText.push_back(name + "=" + value);
    }
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        if (replaced.count(text.substr(0, text.find('='))) == 0) {
            envText.push_back(text);
        }
    }
    std::vector<char*> args;
    for (const auto& word : argv) {
        args.push_back(const_cast<char*>(word.c_str()));
    }
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& text : envText) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? pid : -1;
}
