// The "Listen to" choice: everything the computer plays, one output, or one
// application now playing, as the daemon lists them.

export const EVERYTHING = 'default';

// [value, label] of every option: everything first, then the outputs, then
// the applications; the current choice is always there, also when the daemon
// no longer lists it (an unplugged headset, an application that has quit).
export function sourceOptions(listing, current) {
    const options = [[EVERYTHING, 'Everything you hear']];
    for (const output of listing?.outputs ?? []) {
        if (typeof output?.id === 'string' && typeof output?.name === 'string') {
            options.push([output.id, `Output: ${output.name}${output.default ? ' (default)' : ''}`]);
        }
    }
    for (const app of listing?.apps ?? []) {
        if (typeof app?.id === 'string' && typeof app?.name === 'string') {
            options.push([app.id, `App: ${app.name}${app.playing ? '' : ' (not playing)'}`]);
        }
    }
    if (!options.some(([value]) => value === current)) {
        options.push([current, current.replace(/^output:/, 'Output: ').replace(/^app:/, 'App: ')]);
    }
    return options;
}

// Shows the options in the select, rebuilt only when they changed, so a list
// the user has open is not pulled away from under the pointer.
export function showSources(select, listing, current) {
    const options = sourceOptions(listing, current);
    const shown = [...select.options].map((option) => [option.value, option.text]);
    if (JSON.stringify(shown) !== JSON.stringify(options)) {
        select.replaceChildren(...options.map(([value, label]) => new Option(label, value)));
    }
    select.value = current;
}
