#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

using EnvOverrides = std::vector<std::pair<std::string, std::string>>;

// Starts argv (looked up on PATH) with the inherited environment, the given
// variables added or replacing theirs; standard input from /dev/null, standard
// output and error appended to the given files. The child's pid, or -1.
pid_t SpawnProcess(const std::vector<std::string>& argv, const EnvOverrides& env, const std::string& stdoutPath,
                   const std::string& stderrPath);
