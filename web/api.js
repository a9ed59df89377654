// The daemon's HTTP API on 127.0.0.1. Every request is a plain GET without
// headers of our own, so the browser sends it as a simple cross-origin request
// and needs no pre-flight; the daemon's replies allow any origin.
import {
    AMPLITUDE_PATH, AUDIO_SOURCE_PATH, AUDIO_SOURCES_PATH, EFFECT_PATH, HARDWARE_PATH, LAYOUT_PATH, REQUEST_CAP,
    STATUS_PATH,
} from './contract.js';

export {FIRST_PORT, LAST_PORT} from './contract.js';
const HOST = '127.0.0.1';
// The daemon answers within milliseconds; only new effect parameters hold the
// reply (150 ms), so a port that has said nothing by then has no daemon.
const PROBE_TIMEOUT_MS = 800;
const REQUEST_TIMEOUT_MS = 2500;
// The daemon reads at most REQUEST_CAP bytes of a request; the browser's own
// headers take some of that, and a layout cut short would be rejected.
const MAX_TARGET_BYTES = REQUEST_CAP - 5000;

// The daemon did not answer: not running, or gone.
export class DaemonUnreachable extends Error {}

// The daemon answered with something this page cannot read.
class BadReply extends Error {}

async function getJson(port, target, timeoutMs) {
    let text;
    try {
        const response = await fetch(`http://${HOST}:${port}${target}`, {
            cache: 'no-store',
            signal: AbortSignal.timeout(timeoutMs),
        });
        text = await response.text();
    } catch (error) {
        throw new DaemonUnreachable(`no answer on port ${port}: ${error.message}`);
    }
    let reply;
    try {
        reply = JSON.parse(text);
    } catch {
        throw new BadReply(`the daemon's reply is not JSON: ${text.slice(0, 120)}`);
    }
    if (reply === null || typeof reply !== 'object' || Array.isArray(reply)) {
        throw new BadReply(`the daemon's reply is not a JSON object: ${text.slice(0, 120)}`);
    }
    return reply;
}

// The hardware route changes nothing on the daemon, which makes it the probe.
async function answersAsDaemon(port) {
    try {
        const reply = await getJson(port, HARDWARE_PATH, PROBE_TIMEOUT_MS);
        return reply.status === 'empty' || 'cpuUsage' in reply;
    } catch {
        return false;
    }
}

// The lowest of the ports on which the daemon answers, or null. All ports are
// asked at once, so a search costs one time-out at most.
export async function findDaemon(ports) {
    const answers = await Promise.all(ports.map(answersAsDaemon));
    const index = answers.indexOf(true);
    return index < 0 ? null : ports[index];
}

// The layout travels percent-encoded in the request target. The daemon ends
// the value at the text "HTTP" (where the protocol version would start), so
// that text is escaped too.
function layoutTarget(text) {
    return LAYOUT_PATH + '?layout=' + encodeURIComponent(text).replaceAll('HTTP', '%48TTP');
}

// Resolves to null when the layout was taken, or to the daemon's reason.
export async function uploadLayout(port, text) {
    let target;
    try {
        target = layoutTarget(text);
    } catch {
        return 'the layout is not text that can be sent';
    }
    if (target.length > MAX_TARGET_BYTES) {
        return `the layout is too large to send (${target.length} bytes encoded, at most ${MAX_TARGET_BYTES})`;
    }
    const reply = await getJson(port, target, REQUEST_TIMEOUT_MS);
    if (typeof reply.error === 'string') {
        return reply.error;
    }
    if (reply.status !== 'layout received via GET') {
        throw new BadReply(`unexpected layout reply: ${JSON.stringify(reply).slice(0, 120)}`);
    }
    return null;
}

// The effect state: {keys: [...], mode, ...}, {status: "empty"} while the
// layout has fewer than two rows or columns, or {error}. With parameters (the
// five integers), they are applied first.
export function effect(port, params) {
    const query = params ? '?param=' + params.map((value) => Math.trunc(value)).join('&') : '';
    return getJson(port, EFFECT_PATH + query, REQUEST_TIMEOUT_MS);
}

// Switches the daemon's lighting off until the next layout upload.
export async function amplitude(port) {
    const reply = await getJson(port, AMPLITUDE_PATH, REQUEST_TIMEOUT_MS);
    if (!Number.isFinite(reply.amplitude)) {
        throw new BadReply(`unexpected amplitude reply: ${JSON.stringify(reply).slice(0, 120)}`);
    }
    return reply.amplitude;
}

// What the daemon has found: {keyboard: {found, vendorId, productId,
// accessDenied}, sound: {connected, recording, playing}, resting, version}.
export async function status(port) {
    const reply = await getJson(port, STATUS_PATH, REQUEST_TIMEOUT_MS);
    if (typeof reply.keyboard?.found !== 'boolean' || typeof reply.sound?.connected !== 'boolean') {
        throw new BadReply(`unexpected status reply: ${JSON.stringify(reply).slice(0, 120)}`);
    }
    return reply;
}

// What the daemon can record: {current, outputs: [{id, name, default}],
// apps: [{id, name, playing}]}; null from a daemon that offers no choice.
export async function audioSources(port) {
    const reply = await getJson(port, AUDIO_SOURCES_PATH, REQUEST_TIMEOUT_MS);
    return typeof reply.current === 'string' && Array.isArray(reply.outputs) && Array.isArray(reply.apps) ?
        reply : null;
}

// Has the daemon record the source ("default", "output:…", "app:…"); null
// when it took it, else its reason.
export async function chooseSource(port, id) {
    const reply = await getJson(port, `${AUDIO_SOURCE_PATH}?id=${encodeURIComponent(id)}`, REQUEST_TIMEOUT_MS);
    return typeof reply.error === 'string' ? reply.error : null;
}

// The hardware snapshot, or null before the daemon's first measurement.
export async function hardware(port) {
    const reply = await getJson(port, HARDWARE_PATH, REQUEST_TIMEOUT_MS);
    return reply.status === 'empty' ? null : reply;
}
