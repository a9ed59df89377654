// The keyboard, drawn from the effect replies in the colours the daemon
// reports. Where the layout document gives each key's place and size in key
// units ("x", "y", "w", "h": optional members the daemon ignores), keys are
// drawn there, scaled to the width of the page; otherwise as a grid of equal
// squares at their matrix positions.
import {keyLabel} from './catalogue.js';

const COLOUR = /^#[0-9A-Fa-f]{6}$/;

// Keys the daemon reports that can be drawn: positions inside the largest
// matrix (10 x 100) and a key code above 0 (0 marks a matrix position
// without a key).
function drawable(keys) {
    if (!Array.isArray(keys)) {
        return [];
    }
    return keys.filter((key) => key !== null && typeof key === 'object' &&
        Number.isInteger(key.row) && key.row >= 0 && key.row < 10 &&
        Number.isInteger(key.col) && key.col >= 0 && key.col < 100 &&
        Number.isInteger(key.keyCode) && key.keyCode > 0);
}

const inUnits = (value, low, high) =>
    typeof value === 'number' && Number.isFinite(value) && value >= low && value <= high;

// "row,col" to {x, y, w, h} for every key of the layout document that says
// where it is; an empty map for a document that is not JSON or says nothing.
export function keyPlaces(layoutText) {
    const places = new Map();
    let keys;
    try {
        keys = JSON.parse(layoutText)?.layouts?.keys;
    } catch {
        return places;
    }
    for (const key of Array.isArray(keys) ? keys : []) {
        if (key === null || typeof key !== 'object' || !inUnits(key.x, 0, 100) || !inUnits(key.y, 0, 30)) {
            continue;
        }
        const w = key.w ?? 1;
        const h = key.h ?? 1;
        if (inUnits(w, 0.25, 20) && inUnits(h, 0.25, 10)) {
            places.set(`${key.row},${key.col}`, {x: key.x, y: key.y, w, h});
        }
    }
    return places;
}

// Dark text on light keys, light text on dark ones.
function textColour(hex) {
    const value = parseInt(hex.slice(1), 16);
    const luma = 0.299 * (value >> 16) + 0.587 * ((value >> 8) & 0xFF) + 0.114 * (value & 0xFF);
    return luma > 140 ? '#111' : '#eee';
}

export class KeyboardView {
    constructor(container) {
        this.container = container;
        this.shape = '';
        this.cells = new Map();
        this.places = new Map();
    }

    // The places of the keys, from the layout document being drawn.
    setLayout(layoutText) {
        this.places = keyPlaces(layoutText);
        this.shape = '';
    }

    // Rebuilds the keys only when the set of keys changes (a new layout).
    draw(keys) {
        const shown = drawable(keys);
        const shape = shown.map((key) => `${key.row},${key.col},${key.keyCode}`).join(';');
        if (shape !== this.shape) {
            this.build(shown);
            this.shape = shape;
        }
        for (const key of shown) {
            const cell = this.cells.get(`${key.row},${key.col}`);
            const valid = typeof key.color === 'string' && COLOUR.test(key.color);
            const colour = valid ? key.color.toUpperCase() : '#000000';
            if (cell.dataset.color !== colour) {
                cell.dataset.color = colour;
                cell.style.backgroundColor = colour;
                cell.style.color = textColour(colour);
            }
        }
    }

    clear() {
        this.build([]);
        this.shape = '';
    }

    build(keys) {
        this.container.replaceChildren();
        this.cells.clear();
        // In place only when every key drawn has a place: a layout that names
        // a few is no picture of the board.
        const placed = keys.length > 0 && keys.every((key) => this.places.has(`${key.row},${key.col}`));
        this.container.classList.toggle('placed', placed);
        let width = 0;
        let height = 0;
        if (placed) {
            for (const key of keys) {
                const place = this.places.get(`${key.row},${key.col}`);
                width = Math.max(width, place.x + place.w);
                height = Math.max(height, place.y + place.h);
            }
            this.container.style.gridTemplateColumns = '';
            this.container.style.aspectRatio = `${width} / ${height}`;
            // One key unit in container-width units, for the labels.
            this.container.style.setProperty('--unit', `${100 / width}cqw`);
        } else {
            const columns = Math.max(0, ...keys.map((key) => key.col + 1));
            this.container.style.gridTemplateColumns = `repeat(${columns}, var(--key))`;
            this.container.style.aspectRatio = '';
        }
        for (const key of keys) {
            const cell = document.createElement('div');
            cell.className = 'key';
            cell.dataset.row = String(key.row);
            cell.dataset.col = String(key.col);
            if (placed) {
                const place = this.places.get(`${key.row},${key.col}`);
                cell.style.left = `${(place.x / width) * 100}%`;
                cell.style.top = `${(place.y / height) * 100}%`;
                cell.style.width = `${(place.w / width) * 100}%`;
                cell.style.height = `${(place.h / height) * 100}%`;
            } else {
                cell.style.gridRow = String(key.row + 1);
                cell.style.gridColumn = String(key.col + 1);
            }
            cell.textContent = keyLabel(key.keyCode);
            cell.title = `row ${key.row}, column ${key.col}, code ${key.keyCode}, index ${key.keyIndex}`;
            this.container.append(cell);
            this.cells.set(`${key.row},${key.col}`, cell);
        }
    }
}
