#pragma once

#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "base/log.h"

// Starts a standard thread on the function. When the system cannot create one
// (std::thread throws: no memory for its stack, too many threads), logs one
// line naming the worker and returns an empty thread, so that start-up goes on
// without that worker instead of ending the process.
template <typename Function, typename... Args>
std::thread TryStartThread(const char* worker, Function&& function, Args&&... args)
{
    try {
        return std::thread(std::forward<Function>(function), std::forward<Args>(args)...);
    } catch (const std::exception& error) {
        LogError(std::string("cannot start the ") + worker + " thread (" + error.what() + "); going on without it");
        return std::thread();
    }
}
