// Names for the numbers the daemon speaks in: colour styles and key codes.
import {COLOUR_STYLE_NAMES, RIPPLE_MODE, SCREEN_MODE, STARTUP_EFFECT} from './contract.js';

export {RIPPLE_MODE, SCREEN_MODE};

// [value, name] of every effect mode: a bar style, the ripple or the screen.
export const EFFECT_MODES = [
    ...COLOUR_STYLE_NAMES.map((name, style) => [style, style === RIPPLE_MODE ? 'Ripple' : `Bars: ${name}`]),
    [SCREEN_MODE, 'Screen colours'],
];
EFFECT_MODES[0][1] = 'Bars off (background only)';

// The colour styles of the background.
export const BACKGROUND_STYLES = COLOUR_STYLE_NAMES.map((name, style) => [style, name]);

// The start-up effect of the daemon: mode, sensitivity, background style,
// background brightness and "send screen colours to the keyboard".
export const DEFAULT_EFFECT = STARTUP_EFFECT;

// Labels of USB HID keyboard usages, the key codes of the bundled layouts.
const LABELS = new Map([
    [40, 'Enter'], [41, 'Esc'], [42, 'Bksp'], [43, 'Tab'], [44, 'Space'], [45, '-'], [46, '='], [47, '['],
    [48, ']'], [49, '\\'], [50, '#'], [51, ';'], [52, "'"], [53, '`'], [54, ','], [55, '.'], [56, '/'],
    [57, 'Caps'], [70, 'PrtSc'], [71, 'ScrLk'], [72, 'Pause'], [73, 'Ins'], [74, 'Home'], [75, 'PgUp'],
    [76, 'Del'], [77, 'End'], [78, 'PgDn'], [79, '→'], [80, '←'], [81, '↓'], [82, '↑'], [83, 'Num'],
    [84, '/'], [85, '*'], [86, '-'], [87, '+'], [88, 'Enter'], [98, '0'], [99, '.'], [100, '\\'],
    [101, 'Menu'], [224, 'Ctrl'], [225, 'Shift'], [226, 'Alt'], [227, 'Super'], [228, 'Ctrl'],
    [229, 'Shift'], [230, 'Alt'], [231, 'Super'],
]);

export function keyLabel(code) {
    if (code >= 4 && code <= 29) {
        return String.fromCharCode(65 + code - 4);
    }
    if (code >= 30 && code <= 39) {
        return String((code - 29) % 10);
    }
    if (code >= 58 && code <= 69) {
        return `F${code - 57}`;
    }
    if (code >= 89 && code <= 97) {
        return String(code - 88);
    }
    return LABELS.get(code) ?? String(code);
}
