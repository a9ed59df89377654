// The settings API of the tonvik-host that serves this page (same origin):
// the user's choices, which the host saves to host.conf and applies to the
// daemon. Changes are POSTs, which the browser sends with this page's Origin;
// the host takes changes from no other page.

const TIMEOUT_MS = 12000;

// The page's controls and the settings they show.
export const SETTING_OF = {
    mode: 'mode', amplitude: 'sensitivity', backMode: 'background', backBrightness: 'brightness',
};

// The layout is null until the first one is chosen.
function valid(settings) {
    return settings !== null && typeof settings === 'object' &&
        (typeof settings.layout === 'string' || settings.layout === null) &&
        Array.isArray(settings.layouts) &&
        Object.values(SETTING_OF).every((name) => Number.isInteger(settings[name]));
}

// The host's settings; null when what served the page answers without them
// (it is no host). A host that is slow to answer is asked again: a page it
// served must never take itself for one that keeps nothing.
export async function settings() {
    for (let attempt = 1; ; attempt += 1) {
        let response;
        try {
            response = await fetch('/api/settings', {cache: 'no-store', signal: AbortSignal.timeout(TIMEOUT_MS)});
        } catch (error) {
            if (attempt === 3) {
                return null;
            }
            continue;
        }
        const reply = response.ok ? await response.json().catch(() => null) : null;
        return valid(reply) ? reply : null;
    }
}

// The document of the layout the host keeps up.
export async function currentLayout() {
    try {
        const response = await fetch('/api/settings/layout', {
            cache: 'no-store',
            signal: AbortSignal.timeout(TIMEOUT_MS),
        });
        return response.ok ? await response.text() : '';
    } catch {
        return '';
    }
}

// {settings} when the host saved it, else {error, rejected}: rejected when
// the daemon refused the layout (its reason is the error).
async function send(method, path, body, type) {
    let response;
    let reply = null;
    try {
        response = await fetch(path, {
            method,
            headers: type ? {'Content-Type': type} : {},
            body,
            cache: 'no-store',
            signal: AbortSignal.timeout(TIMEOUT_MS),
        });
        reply = await response.json().catch(() => null);
    } catch (error) {
        return {error: `the host did not answer (${error.message})`};
    }
    if (response.ok && valid(reply)) {
        return {settings: reply};
    }
    const why = typeof reply?.error === 'string' ? reply.error : `HTTP ${response.status}`;
    return {error: why, rejected: response.status === 422};
}

export function change(choices) {
    return send('POST', '/api/settings', JSON.stringify(choices), 'application/json');
}

export function upload(layoutText) {
    return send('POST', '/api/layouts', layoutText, 'application/json');
}

// Removes a stored layout by the name the host lists it under ("user-<16 hex>").
export function remove(storedName) {
    return send('DELETE', `/api/layouts/${encodeURIComponent(storedName)}`, undefined, '');
}

// The layouts the user stored: {name, stored, inUse}.
export function storedLayouts(settings) {
    return settings.layouts
        .filter((entry) => typeof entry?.stored === 'string' && typeof entry?.name === 'string')
        .map((entry) => ({name: entry.name, stored: entry.stored, inUse: entry.id === settings.layout}));
}

// The picker's options: the host's layouts, and the file host.conf names when
// it is none of them (or an empty choice while there is no layout yet).
export function layoutOptions(settings) {
    const options = settings.layouts
        .filter((entry) => typeof entry?.id === 'string' && typeof entry?.name === 'string')
        .map((entry) => new Option(entry.name, entry.id));
    if (settings.layout === null) {
        options.unshift(new Option('Choose…', ''));
    } else if (!options.some((option) => option.value === settings.layout)) {
        options.unshift(new Option(`Your file: ${settings.layout}`, settings.layout));
    }
    return options;
}
