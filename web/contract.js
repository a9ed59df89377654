// What the daemon's API and its front-ends agree on: the console's copy of
// src/base/api_contract.h, held equal to it by a test (tests/host/console_contract_test.cpp).

// The daemon listens on the first free port of this range.
export const FIRST_PORT = 9191;
export const LAST_PORT = 9199;

// The most bytes of one request the daemon reads.
export const REQUEST_CAP = 131071;

// The paths of the daemon's routes the console uses, each reached by a GET.
export const HARDWARE_PATH = '/api/hardware/info';
export const STATUS_PATH = '/api/status';
export const LAYOUT_PATH = '/api/keyboard/musiceffect/layout';
export const EFFECT_PATH = '/api/keyboard/musiceffect';
export const AMPLITUDE_PATH = '/api/audio/amplitude';

// The names of the colour styles by number, from 0: the bars' (the effect's
// mode) and the background's alike.
export const COLOUR_STYLE_NAMES = Object.freeze([
    'Black (off)',
    'Gradient red–yellow–green',
    'Gradient red to magenta',
    'Gradient magenta to red',
    'Hue wheel around the middle',
    'Cycling solid colour',
    'White',
    'Red',
    'Orange',
    'Yellow',
    'Blue',
    'Green',
    'Cyan',
    'Unchanged picture',
    'Violet',
    'Gradient green–white–red',
    'Gradient blue–cyan–white',
    'Gradient red–white–blue',
    'Moving sine rainbow',
    'Moving hue sweep',
    'Hue wheel from the bottom',
    'Cycling rainbow colour',
]);

// Effect modes: a colour style of the bars except RIPPLE_MODE; SCREEN_MODE,
// the screen's colours.
export const RIPPLE_MODE = 13;
export const SCREEN_MODE = 100;

// The effect the daemon sets by itself when it starts.
export const STARTUP_EFFECT = Object.freeze({
    mode: 19, amplitude: 60, backMode: 0, backBrightness: 100, screenToDevice: 0,
});
