#pragma once

#include <memory>

#include "screen/screen_sampler.h"

// Linux's two samplers, between which OpenScreenSampler chooses
// (screen_source_linux.cpp).

// The X server named by DISPLAY (screen_sampler_linux.cpp).
std::unique_ptr<ScreenSampler> OpenX11ScreenSampler();

// The desktop's ScreenCast portal and its PipeWire stream
// (portal_screen_sampler_linux.cpp).
std::unique_ptr<ScreenSampler> OpenPortalScreenSampler();
