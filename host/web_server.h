#pragma once

#include <cstdint>

#include "base/api_contract.h"
#include "base/socket.h"
#include "stop_signal.h"
#include "web_site.h"

// Serves a WebSite on 127.0.0.1 from one thread: every connection is waited
// on at once, each request head may be at most kMaxWebHeadBytes and its body
// (announced by Content-Length) at most kMaxWebBodyBytes, a connection gets
// kWebIdleLimitMs of no progress before it is dropped, and each carries one
// request (the reply closes it).
constexpr size_t kMaxWebHeadBytes = 16384;
// A layout upload is the largest body, and no layout larger than the
// daemon's one request could be used.
constexpr size_t kMaxWebBodyBytes = api_contract::kRequestCap;
constexpr int kWebIdleLimitMs = 5000;
constexpr size_t kMaxWebConnections = 32;
// The default port sits just below the daemon's range, and the search goes down from it.
constexpr uint16_t kDefaultWebPort = 9190;
constexpr uint16_t kLowestWebPort = 9100;

// The listening socket on `port`, or (port 0) on the first free one from 9190
// down to 9100; kInvalidSocket when none could be had.
net::Socket OpenWebListener(uint16_t port);

// Serves until the stop is requested (noticed within about 100 ms); closes
// every connection and the listener, which it owns.
void ServeWeb(net::Socket listener, WebSite& site, const StopSignal& stop);
