// The hardware panel: the daemon's latest snapshot, as it reports it.

function number(value) {
    return typeof value === 'number' && Number.isFinite(value) ? value : null;
}

// The daemon reports 0 where it found no temperature sensor; no running chip
// reads exactly 0 °C, so it shows as unknown.
function temperature(value) {
    const v = number(value);
    return v === null || v === 0 ? '—' : `${v.toFixed(1)} °C`;
}

function load(value, valid) {
    const v = number(value);
    return v === null || valid !== true ? '—' : `${v.toFixed(1)} %`;
}

function rate(value) {
    const v = number(value);
    if (v === null) {
        return '—';
    }
    const units = ['B/s', 'kB/s', 'MB/s', 'GB/s'];
    let scaled = v;
    let unit = 0;
    while (Math.abs(scaled) >= 1000 && unit < units.length - 1) {
        scaled /= 1000;
        unit += 1;
    }
    return `${scaled.toFixed(unit === 0 ? 0 : 1)} ${units[unit]}`;
}

// Shows a snapshot; null (no measurement yet, or no daemon) blanks the panel.
export function showHardware(snapshot) {
    const s = snapshot ?? {};
    const fields = {
        'hw-cpu-temp': snapshot ? temperature(s.cpuTemp) : '—',
        'hw-cpu-load': load(s.cpuUsage, s.cpuUsageValid),
        'hw-gpu-temp': snapshot ? temperature(s.gpuTemp) : '—',
        'hw-gpu-load': load(s.gpuUsage, s.gpuUsageValid),
        'hw-down': snapshot ? rate(s.network_download) : '—',
        'hw-up': snapshot ? rate(s.network_upload) : '—',
    };
    for (const [id, text] of Object.entries(fields)) {
        document.getElementById(id).textContent = text;
    }
}
