#pragma once

#include <cstdint>

#include "base/api_contract.h"
#include "base/socket.h"
#include "stop_signal.h"
#include "web_site.h"

// Serves a WebSite on 127.0.0.1 from one thread: every connection is waited
// on at once and carries one request (the reply closes it). A request head
// may be at most kMaxWebHeadBytes and must be whole within kWebHeadLimitMs of
// the connection; its body (announced by Content-Length) at most
// kMaxWebBodyBytes, whole within kWebRequestLimitMs; a reply that makes no
// progress for kWebSendLimitMs is given up. A client that trickles bytes
// therefore holds a slot for two seconds at most, and when all
// kMaxWebConnections are taken, a new connection takes the slot of the one
// idle longest: no crowd of slow clients keeps the console from answering.
constexpr size_t kMaxWebHeadBytes = 16384;
// A layout upload is the largest body, and no layout larger than the
// daemon's one request could be used.
constexpr size_t kMaxWebBodyBytes = api_contract::kRequestCap;
constexpr int kWebHeadLimitMs = 2000;
constexpr int kWebRequestLimitMs = 5000;
constexpr int kWebSendLimitMs = 5000;
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
