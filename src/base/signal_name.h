#pragma once

// The name of a stop signal for the log: "SIGINT", "SIGTERM", "SIGHUP", or
// "a signal" for any other. Linux only (signal_name_linux.cpp).
const char* SignalName(int signal);
