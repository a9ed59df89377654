#pragma once

// Names the calling thread, so that `top -H` and a debugger tell the workers
// apart. Names are "tonvik-" and a word, within the 15 bytes Linux allows.
// Best effort: where the system has no thread names, nothing happens.
// The platform's (thread_name_linux.cpp, thread_name_win.cpp).
void NameCurrentThread(const char* name);
