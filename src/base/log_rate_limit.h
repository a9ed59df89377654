#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// The once-a-minute rule of LogLimited (base/log.h), on a clock the caller
// gives. Not locked: its one user holds a lock around it.
class LogRateLimit {
public:
    static constexpr uint64_t kIntervalMs = 60000;

    // Nothing when a line for this cause passed less than a minute ago (it is
    // counted as held back); otherwise the number held back since that line.
    std::optional<unsigned> Admit(const std::string& cause, uint64_t nowMs);

private:
    struct Cause {
        uint64_t lastMs = 0;
        unsigned held = 0;
    };
    std::map<std::string, Cause> m_causes;
};
