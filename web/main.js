// The console: finds the daemon, uploads the layout, steers the effect and
// draws the keys. The daemon writes to the keyboard only while a host has
// polled within the last second, so this page polls only while it is visible:
// hide or close it and the keyboard keeps its last frame.
//
// Served by a tonvik-host that keeps the user's choices (it answers
// /api/settings), the page steers the host instead: every choice goes to the
// host, which saves it and is the one front-end writing to the daemon; the
// page only reads the key colours. A host without a layout yet opens on the
// first step, choosing one, with nothing else enabled until then. Served any
// other way, the page drives the daemon itself and says that its choices are
// not kept.
//
// Beside the phase, the page shows what the daemon has found (the keyboard,
// the sound), read every few seconds from its status route, which keeps
// nothing awake.
import * as api from './api.js';
import * as host from './settings.js';
import {BACKGROUND_STYLES, DEFAULT_EFFECT, EFFECT_MODES, SCREEN_MODE} from './catalogue.js';
import {showHardware} from './hardware.js';
import {KeyboardView} from './keyboard.js';
import {EVERYTHING, showSources} from './sources.js';

const POLL_MS = 200;
// How long the outcome of a change stays on the status line.
const NOTICE_MS = 6000;
const HARDWARE_MS = 2000;
// Applications start and stop playing: the list is asked for again this often.
const SOURCES_MS = 2000;
const SEARCH_AGAIN_MS = 2000;
const BAD_REPLY_RETRY_MS = 1000;
// Bundled layouts sit in layouts/ beside the page's own directory, both in the
// source tree and in the installed share directory; served from "/", this
// resolves to "/layouts/".
const LAYOUTS = new URL('../layouts/', location.href);

const $ = (id) => document.getElementById(id);
const query = new URLSearchParams(location.search);

const controls = {
    mode: $('mode'),
    amplitude: $('amplitude'),
    backMode: $('back-mode'),
    backBrightness: $('back-brightness'),
    screenToDevice: $('screen-to-device'),
};
const keyboard = new KeyboardView($('keyboard'));

let ports = [];
let port = null;             // the daemon's port once found
let lostPort = null;         // the port of a daemon that stopped answering
let phase = 'searching';     // see describe()
let detail = '';
let layout = null;           // {name, text}: the layout to upload and keep uploaded
let layoutTrouble = '';      // why the chosen bundled layout is not there
let view = 'keyboard';
let effectChanged = true;    // the controls differ from what the daemon has
let keyed = false;           // the daemon has reported keys of the layout since its upload
let timer = null;
let busy = false;
let again = false;
let hardwareTimer = null;
let sourcesTimer = null;
let sources = null;          // the daemon's last listing of what it can record
let listening = EVERYTHING;  // what the lights listen to: the host's choice, or the daemon's
let hosted = null;           // the host's settings, when it keeps them
let notice = '';             // the outcome of the last change sent to the host
let noticeTimer = null;
let found = null;            // the daemon's latest status, null while there is none

function describe() {
    const where = `127.0.0.1, ${ports.length === 1 ? `port ${ports[0]}` : `ports ${ports[0]}–${ports.at(-1)}`}`;
    switch (phase) {
    case 'searching':
        return `Looking for the Tonvik daemon on ${where}…`;
    case 'no-daemon':
        return `No Tonvik daemon answers on ${where}. Start it (systemctl --user start tonvik, or tonvik in a ` +
            'terminal); this page keeps looking.';
    case 'no-layout':
        return `Connected to the daemon on port ${port}. ` +
            (layoutTrouble ? `No layout: ${layoutTrouble}` : "Choose your keyboard's layout to start.");
    case 'uploading':
        return hosted ? `Sending the layout "${layout.name}" to the host…` :
            `Sending the layout "${layout.name}" to the daemon on port ${port}…`;
    case 'rejected':
        return 'The layout was not taken';
    case 'running':
        return view === 'amplitude' ?
            `Reading the amplitude from port ${port}; the keyboard is not lit in this view.` :
            `Lighting "${layout.name}" through the daemon on port ${port}.`;
    case 'gone':
        return `The daemon on port ${lostPort} stopped answering. Looking for it again…`;
    case 'bad-port':
        return `The port in the address, "${query.get('port')}", is not a port number (1–65535).`;
    default:
        return '';
    }
}

function setPhase(next, why = '') {
    phase = next;
    detail = why;
    render();
}

// "Keyboard 320F:5055 found · recording Speakers · sound playing", or what is missing.
function describeFound() {
    if (found === null || port === null) {
        return '';
    }
    const {keyboard: k, sound: s} = found;
    const ids = `${k.vendorId}:${k.productId}`;
    const parts = [];
    if (k.accessDenied) {
        parts.push(`Keyboard ${ids} found, but it may not be opened: install the udev rule 70-tonvik.rules for these ` +
            'ids (see man tonvik), then replug the keyboard');
    } else if (k.found) {
        parts.push(`Keyboard ${ids} found`);
    } else if (phase === 'running') {
        // Only frames going out make the daemon look for it.
        parts.push(`Keyboard ${ids} not found: is it plugged in?`);
    }
    if (!s.connected) {
        parts.push('no sound recorded: no sound server answers the daemon');
    } else {
        parts.push(`recording ${s.recording || 'the default output'}`);
        parts.push(found.resting ? 'resting' : s.playing ? 'sound playing' : 'silence');
    }
    return parts.join(' · ');
}

function render() {
    document.body.dataset.state = phase;
    const choosing = hosted !== null && hosted.layout === null;
    document.body.classList.toggle('first-step', choosing);
    $('first-step').hidden = !choosing;
    $('effect-controls').disabled = choosing;
    $('view-controls').disabled = choosing;
    $('found').textContent = describeFound();
    $('status').textContent = describe() + (detail ? `: ${detail}` : '') + (notice ? ` ${notice}` : '');
    $('keyboard-view').hidden = view !== 'keyboard';
    $('amplitude-view').hidden = view !== 'amplitude';
    controls.screenToDevice.disabled = hosted !== null || Number(controls.mode.value) !== SCREEN_MODE;
}

function effectParams() {
    return [
        Number(controls.mode.value),
        Number(controls.amplitude.value),
        Number(controls.backMode.value),
        Number(controls.backBrightness.value),
        controls.screenToDevice.checked ? 1 : 0,
    ];
}

// One step runs at a time; its result is the pause before the next, or null
// to wait for the user.
function schedule(ms) {
    clearTimeout(timer);
    timer = document.hidden ? null : setTimeout(run, ms);
}

async function run() {
    timer = null;
    if (busy) {
        again = true;
        return;
    }
    busy = true;
    let next;
    try {
        next = await step();
    } catch (error) {
        next = failed(error);
    }
    busy = false;
    if (again) {
        again = false;
        next = 0;
    }
    if (next !== null) {
        schedule(next);
    }
}

async function step() {
    if (port === null) {
        return search();
    }
    if (phase === 'uploading') {
        return hosted ? null : upload();
    }
    if (view === 'amplitude') {
        return pollAmplitude();
    }
    return phase === 'running' ? pollEffect() : null;
}

function failed(error) {
    if (error instanceof api.DaemonUnreachable) {
        lostPort = port;
        port = null;
        keyboard.clear();
        showHardware(null);
        found = null;
        setPhase('gone');
        return SEARCH_AGAIN_MS;
    }
    // A reply this page cannot read: say so and try again, never stop.
    detail = error.message;
    render();
    return BAD_REPLY_RETRY_MS;
}

async function search() {
    if (hosted && query.get('port') === null) {
        // The host knows where its daemon is, also after the daemon moved.
        const settings = await host.settings();
        ports = settings?.daemonPort > 0 ? [settings.daemonPort] : allPorts();
    }
    const found = await api.findDaemon(ports);
    if (found === null) {
        if (phase !== 'gone') {
            setPhase('no-daemon');
        }
        return SEARCH_AGAIN_MS;
    }
    port = found;
    pollHardware();
    pollSources();
    if (hosted) {
        // The host has put the layout up; the page only watches.
        setPhase(layout === null ? 'no-layout' : 'running');
        return layout === null ? null : 0;
    }
    if (layout === null) {
        setPhase('no-layout');
        return null;
    }
    setPhase('uploading');
    return 0;
}

async function upload() {
    // The daemon takes an empty layout as no layout at all and says it was received.
    const rejection = layout.text.trim() ? await api.uploadLayout(port, layout.text) : 'the file is empty';
    if (rejection !== null) {
        keyboard.clear();
        setPhase('rejected', rejection);
        return null;
    }
    // The upload paused the effect, and the amplitude view may have set the
    // mode to 0: the next effect request carries every parameter again.
    effectChanged = true;
    keyed = false;
    setPhase('running');
    return 0;
}

async function pollEffect() {
    const params = effectChanged && !hosted ? effectParams() : null;
    effectChanged = false;
    let reply;
    try {
        reply = await api.effect(port, params);
    } catch (error) {
        effectChanged = effectChanged || params !== null;
        throw error;
    }
    if (Array.isArray(reply.keys)) {
        const hasKeys = reply.keys.some((key) => key?.keyCode > 0);
        if (keyed && !hasKeys && !hosted) {
            // A daemon restarted between two polls starts without a layout.
            setPhase('uploading');
            return 0;
        }
        keyed = hasKeys;
        keyboard.draw(reply.keys);
        detail = '';
    } else if (reply.status === 'empty') {
        keyboard.clear();
        detail = 'the layout has fewer than two rows or columns, so no key is lit';
    } else {
        detail = typeof reply.error === 'string' ? `the daemon refused the effect: ${reply.error}` :
            `unexpected effect reply: ${JSON.stringify(reply).slice(0, 120)}`;
    }
    render();
    return POLL_MS;
}

async function pollAmplitude() {
    const level = Math.min(1000, Math.max(0, await api.amplitude(port)));
    $('amplitude-value').textContent = String(level);
    $('meter-level').style.width = `${level / 10}%`;
    if (phase === 'running') {
        render();
    }
    return POLL_MS;
}

async function pollHardware() {
    clearTimeout(hardwareTimer);
    hardwareTimer = null;
    if (port === null || document.hidden) {
        return;
    }
    try {
        showHardware(await api.hardware(port));
        // A reply the page cannot read leaves the line out; a daemon gone is news.
        found = await api.status(port).catch((error) => {
            if (error instanceof api.DaemonUnreachable) {
                throw error;
            }
            return null;
        });
        render();
    } catch (error) {
        // While nothing else polls (no layout yet, say), this is what notices
        // that the daemon has gone.
        if (error instanceof api.DaemonUnreachable && !busy && timer === null && port !== null) {
            schedule(failed(error));
            return;
        }
    }
    hardwareTimer = setTimeout(pollHardware, HARDWARE_MS);
}

async function pollSources() {
    clearTimeout(sourcesTimer);
    sourcesTimer = null;
    if (port === null || document.hidden) {
        return;
    }
    try {
        sources = await api.audioSources(port);
        if (!hosted && sources) {
            listening = sources.current;
        }
        showSources($('listen'), sources, listening);
        $('listen').disabled = sources === null;
        $('listen').title = sources === null ? 'This daemon records everything the computer plays' : '';
    } catch {
        // The effect and hardware polls notice a daemon that has gone.
    }
    sourcesTimer = setTimeout(pollSources, SOURCES_MS);
}

async function chooseSource(id) {
    if (hosted) {
        sendToHost({listen: id});
        return;
    }
    if (port === null) {
        return;
    }
    const refusal = await api.chooseSource(port, id).catch((error) => error.message);
    notice = refusal === null ? '' : `Not taken: ${refusal}`;
    pollSources();
    render();
}

// The layout's own name when it has one, else the file's.
function layoutName(text, fallback) {
    try {
        const name = JSON.parse(text)?.name;
        return typeof name === 'string' && name.trim() ? name.trim().slice(0, 80) : fallback;
    } catch {
        return fallback;
    }
}

function useLayout(file, text) {
    layout = {name: layoutName(text, file), text};
    keyboard.setLayout(text);
    layoutTrouble = '';
    if (port !== null) {
        setPhase('uploading');
        schedule(0);
    }
}

function cannotLoad(why) {
    layoutTrouble = why;
    if (port !== null && layout === null) {
        setPhase('no-layout');
    }
}

async function loadBundledLayout(file) {
    if (!/^[A-Za-z0-9_-]+$/.test(file)) {
        cannotLoad(`"${file}" is not the name of a bundled layout`);
        return;
    }
    try {
        const response = await fetch(new URL(`${file}.json`, LAYOUTS), {cache: 'no-store'});
        if (!response.ok) {
            throw new Error(`HTTP ${response.status}`);
        }
        useLayout(file, await response.text());
    } catch (error) {
        cannotLoad(`the bundled layout "${file}" could not be loaded (${error.message})`);
    }
}

async function fillLayoutPicker(selected) {
    const picker = $('layout-picker');
    try {
        const response = await fetch(new URL('index.json', LAYOUTS), {cache: 'no-store'});
        const list = await response.json();
        for (const entry of Array.isArray(list) ? list : []) {
            if (typeof entry?.file === 'string' && typeof entry?.name === 'string') {
                picker.add(new Option(entry.name, entry.file));
            }
        }
    } catch {
        picker.add(new Option('(no bundled layouts found)', '', false, false));
    }
    picker.value = selected;
}

function fillSelect(select, entries, value) {
    for (const [number, name] of entries) {
        select.add(new Option(`${number} · ${name}`, String(number)));
    }
    if (!entries.some(([number]) => number === value)) {
        select.add(new Option(String(value), String(value)));
    }
    select.value = String(value);
}

function allPorts() {
    return Array.from({length: api.LAST_PORT - api.FIRST_PORT + 1}, (_, i) => api.FIRST_PORT + i);
}

// ?port=N pins the daemon's port, ?mode=N picks the effect and ?layout=NAME
// a bundled layout, which then goes to the daemon as soon as it is found.
function readQuery() {
    const pinned = query.get('port');
    if (pinned !== null) {
        const number = Number(pinned);
        if (!Number.isInteger(number) || number < 1 || number > 65535) {
            return false;
        }
        ports = [number];
    } else {
        ports = allPorts();
    }
    const mode = Number(query.get('mode') ?? DEFAULT_EFFECT.mode);
    const valid = Number.isInteger(mode) && Math.abs(mode) < 2 ** 31;
    fillSelect(controls.mode, EFFECT_MODES, valid ? mode : DEFAULT_EFFECT.mode);
    return true;
}

function wireControls() {
    fillSelect(controls.backMode, BACKGROUND_STYLES, DEFAULT_EFFECT.backMode);
    controls.amplitude.value = String(DEFAULT_EFFECT.amplitude);
    controls.backBrightness.value = String(DEFAULT_EFFECT.backBrightness);
    controls.screenToDevice.checked = DEFAULT_EFFECT.screenToDevice !== 0;
    for (const output of document.querySelectorAll('output')) {
        const input = $(output.htmlFor.value);
        const show = () => { output.value = input.value; };
        input.addEventListener('input', show);
        show();
    }
    for (const [name, control] of Object.entries(controls)) {
        control.addEventListener('change', () => {
            if (hosted) {
                if (name in host.SETTING_OF) {
                    sendToHost({[host.SETTING_OF[name]]: Number(control.value)});
                }
                return;
            }
            effectChanged = true;
            render();
        });
    }
    $('listen').addEventListener('change', (event) => chooseSource(event.target.value));
    $('layout-picker').addEventListener('change', (event) => {
        if (hosted && event.target.value) {
            sendToHost({layout: event.target.value});
        } else if (event.target.value) {
            loadBundledLayout(event.target.value);
        }
    });
    $('layout-file').addEventListener('change', async (event) => {
        const file = event.target.files[0];
        if (file && hosted) {
            uploadToHost(file.name, await file.text());
            event.target.value = '';
        } else if (file) {
            $('layout-picker').value = '';
            useLayout(file.name, await file.text());
        }
    });
    for (const radio of document.querySelectorAll('input[name=view]')) {
        radio.addEventListener('change', () => {
            const leaving = view;
            view = radio.value;
            // The amplitude route switched the lighting off; a layout upload
            // switches it on again.
            if (leaving === 'amplitude' && layout !== null && port !== null) {
                phase = 'uploading';
            }
            render();
            schedule(0);
        });
    }
    document.addEventListener('visibilitychange', () => {
        if (document.hidden) {
            clearTimeout(timer);
            clearTimeout(hardwareTimer);
            clearTimeout(sourcesTimer);
            timer = null;
        } else {
            schedule(0);
            pollHardware();
            pollSources();
        }
    });
}

// The host's settings shown in the controls, and its layout drawn.
async function showHosted(settings) {
    hosted = settings;
    const picker = $('layout-picker');
    picker.replaceChildren(...host.layoutOptions(settings));
    picker.value = settings.layout ?? '';
    showStoredLayouts(settings);
    for (const [name, setting] of Object.entries(host.SETTING_OF)) {
        const control = controls[name];
        if (control.tagName === 'SELECT' && ![...control.options].some((o) => o.value === String(settings[setting]))) {
            control.add(new Option(String(settings[setting]), String(settings[setting])));
        }
        if (control.type === 'range') {
            control.max = String(Math.max(Number(control.max), settings[setting]));
        }
        control.value = String(settings[setting]);
        control.dispatchEvent(new Event('input'));
    }
    if (typeof settings.listen === 'string') {
        listening = settings.listen;
        showSources($('listen'), sources, listening);
    }
    // The host always sends the screen's colours to the keyboard in mode 100.
    controls.screenToDevice.checked = true;
    if (settings.layout === null) {
        layout = null;
        keyboard.clear();
    } else if (layout?.text === undefined || layout.id !== settings.layout) {
        const text = await host.currentLayout();
        layout = {id: settings.layout, name: settings.layoutName, text};
        keyboard.setLayout(text);
    }
}

// Each stored layout with a button that removes it; the one in use stays.
function showStoredLayouts(settings) {
    const stored = host.storedLayouts(settings);
    $('stored-layouts').hidden = stored.length === 0;
    $('stored-list').replaceChildren(...stored.map((entry) => {
        const item = document.createElement('li');
        const button = document.createElement('button');
        button.type = 'button';
        button.textContent = 'Remove';
        button.dataset.stored = entry.stored;
        button.disabled = entry.inUse;
        button.title = entry.inUse ? 'In use: choose another layout first' : `Remove "${entry.name}"`;
        button.addEventListener('click', () => removeFromHost(entry));
        item.append(`${entry.name} `, button);
        return item;
    }));
}

async function removeFromHost(entry) {
    notice = `Removing "${entry.name}"…`;
    render();
    const outcome = await host.remove(entry.stored);
    await afterHostChange(outcome, `Removed "${entry.name}".`);
}

async function sendToHost(change) {
    notice = 'Saving…';
    render();
    const outcome = await host.change(change);
    await afterHostChange(outcome, 'Saved.');
}

async function uploadToHost(file, text) {
    notice = `Sending "${layoutName(text, file)}" to the host…`;
    render();
    const outcome = await host.upload(text);
    await afterHostChange(outcome, 'Saved: the layout is stored and in use.');
}

async function afterHostChange(outcome, saved) {
    clearTimeout(noticeTimer);
    noticeTimer = setTimeout(() => {
        notice = '';
        render();
    }, NOTICE_MS);
    if (outcome.settings) {
        notice = saved;
        const layoutChanged = outcome.settings.layout !== hosted.layout;
        await showHosted(outcome.settings);
        if (layoutChanged) {
            keyboard.clear();
            keyed = false;
            if (port !== null) {
                setPhase('running');
            }
        }
    } else {
        notice = `Not saved: ${outcome.error}`;
        if (outcome.rejected) {
            $('layout-picker').value = hosted.layout ?? '';
            notice = `The layout was not taken: ${outcome.error}`;
        }
        // Back to what the host keeps.
        await showHosted(hosted);
    }
    render();
    schedule(0);
}

async function start() {
    if (!readQuery()) {
        ports = [];
        setPhase('bad-port');
        return;
    }
    wireControls();
    const settings = await host.settings();
    if (settings) {
        $('keeping').textContent = 'Your choices are saved by tonvik-host and kept across restarts.';
        $('amplitude-view-choice').disabled = true;
        $('amplitude-view-choice').title = 'The host keeps the keyboard lit; the amplitude view would switch it off.';
        await showHosted(settings);
    } else {
        $('keeping').textContent = 'Choices made here are not kept: this page is not served by a Tonvik host ' +
            '(tonvik-host --web, or TonvikPlug.exe on Windows).';
        const bundled = query.get('layout') ?? '';
        fillLayoutPicker(bundled);
        if (bundled) {
            loadBundledLayout(bundled);
        }
    }
    render();
    schedule(0);
}

start();
