// Small helpers for building and updating the page.

export const $ = (id) => document.getElementById(id);

export function el(tag, attrs = {}, ...children) {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs)) {
        if (k === 'class') node.className = v;
        else if (k === 'dataset') Object.assign(node.dataset, v);
        else node.setAttribute(k, v);
    }
    // Text only: nothing from a service is ever parsed as HTML.
    for (const c of children) node.append(c instanceof Node ? c : String(c));
    return node;
}

export function setText(id, text) {
    const node = typeof id === 'string' ? $(id) : id;
    if (node.textContent !== text) node.textContent = text;
}

export function showMessage(id, text, kind = '') {
    const node = $(id);
    node.textContent = text;
    node.className = `message ${kind}`.trim();
}

// A message in words: the sentence, and the service's own words under it.
export function showWords(id, { sentence, details }, kind = 'error') {
    const node = $(id);
    node.className = `message ${kind}`;
    node.replaceChildren(el('span', { class: 'sentence' }, sentence));
    if (details) node.append(el('span', { class: 'details' }, details));
}

const two = (n) => String(n).padStart(2, '0');

// "14:02:07", local time.
export function clockTime(ms) {
    const d = new Date(ms);
    return `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
}
