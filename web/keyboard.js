// The key grid, drawn from the effect replies: one square per key at its
// matrix position, in the colour the daemon reports for it.
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
    }

    // Rebuilds the squares only when the set of keys changes (a new layout).
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
        const columns = Math.max(0, ...keys.map((key) => key.col + 1));
        this.container.style.gridTemplateColumns = `repeat(${columns}, var(--key))`;
        for (const key of keys) {
            const cell = document.createElement('div');
            cell.className = 'key';
            cell.style.gridRow = String(key.row + 1);
            cell.style.gridColumn = String(key.col + 1);
            cell.textContent = keyLabel(key.keyCode);
            cell.title = `row ${key.row}, column ${key.col}, code ${key.keyCode}, index ${key.keyIndex}`;
            this.container.append(cell);
            this.cells.set(`${key.row},${key.col}`, cell);
        }
    }
}
