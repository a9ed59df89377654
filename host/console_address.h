#pragma once

#include <cstdint>
#include <optional>
#include <string>

// How `tonvik-host --open` finds the console of the host that runs: the
// running host publishes its address in a file of the user's runtime
// directory, $XDG_RUNTIME_DIR/tonvik/console (0600).

// The file; empty when XDG_RUNTIME_DIR is not set.
std::string ConsoleAddressPath();

// Writes the address into the file (its directory made as needed, for this
// user alone); false when there is no runtime directory or the write failed.
bool PublishConsoleAddress(const std::string& url);

// Removes the file while it still holds this address (a host started since
// keeps its own).
void WithdrawConsoleAddress(const std::string& url);

// The port of a published address, which must read "http://127.0.0.1:<port>/"
// (a line end after it allowed); nullopt for anything else.
std::optional<uint16_t> ConsolePortOf(const std::string& text);

// --open: opens the published console in the default browser (xdg-open) and
// returns 0; without a running host (no file, or nothing listening at its
// address) says how to start one on standard error and returns 1, as it does
// when xdg-open cannot be run or fails.
int OpenPublishedConsole();
