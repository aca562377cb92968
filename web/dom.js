// Small helpers for building and updating the page. Text only: nothing from
// a service is ever parsed as HTML, and no style attribute is written, so
// the page runs under a content security policy of default-src 'self'.

export const $ = (id) => document.getElementById(id);

// An element with attributes and children; an attribute that is undefined,
// null or false is left out, and so is such a child.
export function el(tag, attrs = {}, ...children) {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs)) {
        if (v === undefined || v === null || v === false) continue;
        if (k === 'class') node.className = v;
        else if (k === 'dataset') Object.assign(node.dataset, v);
        else if (k === 'hidden') node.hidden = true;
        else node.setAttribute(k, v === true ? '' : v);
    }
    for (const c of children) {
        if (c !== null && c !== undefined && c !== false) node.append(c instanceof Node ? c : String(c));
    }
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

// Copies text to the clipboard; true when it worked. The clipboard API needs
// a secure origin, and plain http on the LAN is not one.
export async function copyText(text) {
    try {
        if (navigator.clipboard && window.isSecureContext) {
            await navigator.clipboard.writeText(text);
            return true;
        }
    } catch {
        // Fall back to a selection below.
    }
    const area = el('textarea', { readonly: true, class: 'offscreen', 'aria-hidden': 'true' });
    area.value = text;
    const focused = document.activeElement;
    document.body.append(area);
    area.select();
    let ok = false;
    try {
        ok = document.execCommand('copy');
    } catch {
        ok = false;
    }
    area.remove();
    focused?.focus?.();
    return ok;
}

// A copy button: copies what text() gives and says so in status for 3 s.
export function copyButton(label, text, status) {
    const button = el('button', { type: 'button', class: 'small-button', 'aria-label': label }, 'Copy');
    button.addEventListener('click', async () => {
        const ok = await copyText(text());
        status.textContent = ok ? 'Copied.' : 'Copy failed: select the text and copy it by hand.';
        setTimeout(() => { status.textContent = ''; }, 3000);
    });
    return button;
}

// Brings parent's children in line with views ({key, sig, make}), in their
// order: a child whose key and sig are unchanged stays as it is, so focus,
// selection and the scroll position survive a redraw; one whose sig
// changed is made anew, and the focus it held goes to the same control in
// the new one.
export function syncChildren(parent, views) {
    const old = new Map();
    for (const child of parent.children) old.set(child.dataset.key, child);
    const focus = focusWithin(parent);
    views.forEach((view, i) => {
        let node = old.get(view.key);
        old.delete(view.key);
        if (!node || node.dataset.sig !== view.sig) {
            const fresh = view.make();
            fresh.dataset.key = view.key;
            fresh.dataset.sig = view.sig;
            node?.replaceWith(fresh);
            node = fresh;
        }
        const at = parent.children[i];
        if (at !== node) parent.insertBefore(node, at ?? null);
    });
    for (const gone of old.values()) gone.remove();
    if (focus && !parent.contains(document.activeElement)) {
        const row = [...parent.children].find((c) => c.dataset.key === focus.key);
        focusables(row)[focus.index]?.focus({ preventScroll: true });
    }
}

const focusables = (node) => (node ? [...node.querySelectorAll('button, input, select, textarea, a[href], [tabindex]')] : []);

// Which child of parent (by key) holds the focus, and which of its controls.
function focusWithin(parent) {
    const active = document.activeElement;
    if (!active || active === parent || !parent.contains(active)) return null;
    const row = [...parent.children].find((c) => c.contains(active));
    return row ? { key: row.dataset.key, index: focusables(row).indexOf(active) } : null;
}
