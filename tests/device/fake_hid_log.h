#pragma once

// Reading the emulated keyboard's call log and steering it, for tests.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct FakeHidEvent {
    uint64_t us = 0;    // CLOCK_MONOTONIC microseconds
    std::string kind;   // write, read, open, close, enumerate, init, exit
    int iface = -1;     // 0 keyboard page, 1 vendor page
    bool ok = false;    // write accepted
    long result = 0;    // read: bytes returned, 0 on time-out; enumerate: interfaces found
    int timeoutMs = 0;  // read: the time limit asked for
    std::vector<uint8_t> bytes;  // write: the report as handed over, report ID first
};

inline std::vector<FakeHidEvent> ReadFakeHidLog(const std::string& path)
{
    std::vector<FakeHidEvent> events;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        FakeHidEvent event;
        fields >> event.us >> event.kind;
        if (event.kind == "write") {
            std::string status, hex;
            fields >> event.iface >> status >> hex;
            event.ok = status == "ok";
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                event.bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
            }
        } else if (event.kind == "read") {
            fields >> event.iface >> event.result >> event.timeoutMs;
        } else if (event.kind == "open" || event.kind == "close") {
            fields >> event.iface;
        } else if (event.kind == "enumerate") {
            fields >> event.result;
        }
        events.push_back(event);
    }
    return events;
}

inline std::vector<FakeHidEvent> FakeHidEventsOf(const std::vector<FakeHidEvent>& events, const std::string& kind)
{
    std::vector<FakeHidEvent> picked;
    for (const auto& event : events) {
        if (event.kind == kind) {
            picked.push_back(event);
        }
    }
    return picked;
}

// Replaces the control file in one step, so the keyboard never reads half a word.
inline void SetFakeHidControl(const std::string& path, const std::string& text)
{
    const std::string staging = path + ".new";
    {
        std::ofstream out(staging, std::ios::trunc);
        out << text;
    }
    std::rename(staging.c_str(), path.c_str());
}
