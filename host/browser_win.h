#pragma once

#include <string>

// Opens the URL in the user's default browser. For tests only: when
// TONVIK_TEST_BROWSER_LOG names a file (read once, at the first call), the
// URL is appended to it as a line instead, so a test under Wine sees what the
// launcher would open without a browser. Window thread.
void OpenInBrowser(const std::string& url);
