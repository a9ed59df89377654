// What the daemon's API and its front-ends agree on: the console's copy of
// src/base/api_contract.h, held equal to it by a test (tests/host/console_contract_test.cpp).

// The daemon listens on the first free port of this range.
export const FIRST_PORT = 9191;
export const LAST_PORT = 9199;

// The most bytes of one request the daemon reads.
export const REQUEST_CAP = 131071;

// The paths of the daemon's routes the console uses, each reached by a GET.
export const HARDWARE_PATH = '/api/hardware/info';
export const LAYOUT_PATH = '/api/keyboard/musiceffect/layout';
export const EFFECT_PATH = '/api/keyboard/musiceffect';
export const AMPLITUDE_PATH = '/api/audio/amplitude';

// Effect modes: a colour style of the bars (FIRST_COLOUR_STYLE to
// LAST_COLOUR_STYLE) except RIPPLE_MODE; SCREEN_MODE, the screen's colours.
export const FIRST_COLOUR_STYLE = 0;
export const LAST_COLOUR_STYLE = 21;
export const RIPPLE_MODE = 13;
export const SCREEN_MODE = 100;

// The effect the daemon sets by itself when it starts.
export const STARTUP_EFFECT = Object.freeze({
    mode: 19, amplitude: 60, backMode: 0, backBrightness: 100, screenToDevice: 0,
});
