// The Devices card, on the computer that runs the server only (the server
// answers its routes to loopback alone, and the card stays hidden
// elsewhere): "Pair a device" makes a one-time pairing address, shown as
// text and as a QR code for each of the machine's network addresses; the
// paired devices are listed with when they were paired and last seen and
// from where, each with "Forget", and "Forget all".

import { $, clockTime, copyButton, el, setText } from './dom.js';
import { qrSvg } from './qr.js';

// While a code waits for its device, the list is asked again this often,
// so the new device shows up as soon as it has paired.
const WAITING_EVERY_MS = 2000;

const MODE_TEXT = {
    pairing: 'Phones and other computers on your network get in by pairing. A pairing address works once, ' +
        'within 10 minutes; paired devices are kept until the server stops.',
    local: 'The server listens on this computer only (--localhost-only): no other device can connect.',
    open: 'Every device on your network can use the wallet without pairing (--lan-open).',
};

// One device route; the answer's JSON, or an Error with the server's words.
async function call(path, form) {
    const init = { cache: 'no-store', headers: { 'X-Requested-With': 'krv-webui' } };
    if (form) Object.assign(init, { method: 'POST', body: new URLSearchParams(form) });
    const response = await fetch(path, init);
    const answer = await response.json().catch(() => null);
    if (!response.ok) throw new Error(answer?.error ?? `${path} answered ${response.status}`);
    return answer;
}

// When a paired device was last heard of, in words.
function when(ms) {
    const today = new Date().toDateString() === new Date(ms).toDateString();
    return today ? clockTime(ms) : new Date(ms).toLocaleString();
}

let code = null;  // {links, expires} of the code shown, while it waits
let waiting = null;
const rows = new Map();  // device id -> its list item, updated in place

function deviceRow(d) {
    let row = rows.get(d.id);
    if (!row) {
        const forget = el('button', { type: 'button', class: 'small-button' }, 'Forget');
        forget.addEventListener('click', () => act({ id: String(d.id) }, forget));
        row = el('li', { dataset: { id: String(d.id) } },
            el('span', { class: 'device-name' }), el('span', { class: 'device-facts muted small' }), forget);
        rows.set(d.id, row);
    }
    const [name, facts, forget] = row.children;
    setText(name, d.name);
    setText(facts, `Paired ${when(d.paired)}, last seen ${when(d.seen)} from ${d.address}`);
    forget.setAttribute('aria-label', `Forget ${d.name}`);
    return row;
}

function renderList(devices) {
    const ids = new Set(devices.map((d) => d.id));
    for (const id of [...rows.keys()]) if (!ids.has(id)) rows.delete(id);
    const list = $('device-list');
    const wanted = devices.map(deviceRow);
    // Moved or added rows only: focus and selection in the others stay.
    wanted.forEach((row, i) => { if (list.children[i] !== row) list.insertBefore(row, list.children[i] ?? null); });
    while (list.children.length > wanted.length) list.lastElementChild.remove();
    $('devices-empty').hidden = devices.length > 0;
    $('forget-all').hidden = devices.length === 0;
    setText('devices-count', devices.length === 1 ? '1 device' : `${devices.length} devices`);
}

async function refresh() {
    let answer;
    try {
        answer = await call('devices');
    } catch {
        // Not this computer (or not now): the card stays as it is.
        return;
    }
    $('devices-card').hidden = false;
    setText('devices-intro', MODE_TEXT[answer.mode] ?? MODE_TEXT.pairing);
    $('pair-form').hidden = answer.mode !== 'pairing';
    renderList(Array.isArray(answer.devices) ? answer.devices : []);
    if (code && (answer.codes === 0 || Date.now() >= code.expires)) endCode(answer.codes === 0 && Date.now() < code.expires);
}

function endCode(used) {
    code = null;
    clearInterval(waiting);
    waiting = null;
    $('pair-links').replaceChildren();
    $('pair-code').hidden = !used;
    setText('pair-status', used ? 'Paired: the device is in the list below.' : '');
}

async function showCode(answer) {
    code = { links: answer.links, expires: Date.now() + Number(answer.expires_in_ms) };
    const status = $('pair-status');
    $('pair-code').hidden = false;
    if (answer.links.length === 0) {
        setText(status, 'This computer has no network address now, so no device can reach it. Connect it to your network and try again.');
        return;
    }
    setText(status, `Open this address on the device, or scan its code, before ${clockTime(code.expires)}. It works once.`);
    const items = await Promise.all(answer.links.map(async (link) => {
        const svg = await qrSvg(link, `QR code of the pairing address ${link}`);
        const copied = el('span', { class: 'muted small', role: 'status' });
        return el('li', {},
            svg ?? el('p', { class: 'muted small' }, 'No QR code: the encoder (web/vendor/qr.js) is not installed.'),
            el('code', { class: 'pair-link' }, link),
            el('span', { class: 'row' }, copyButton(`Copy ${link}`, () => link, copied), copied));
    }));
    $('pair-links').replaceChildren(...items);
    clearInterval(waiting);
    waiting = setInterval(refresh, WAITING_EVERY_MS);
}

async function pairDevice(event) {
    event.preventDefault();
    const button = $('pair-button');
    button.disabled = true;
    setText('devices-message', '');
    try {
        await showCode(await call('devices/pair', { name: $('pair-name').value.trim() }));
        $('pair-name').value = '';
        $('pair-status').focus();
    } catch (e) {
        setText('devices-message', `No pairing address: ${e.message}`);
    } finally {
        button.disabled = false;
    }
}

// Forgets one device ({id}) or all ({all}); takes effect on its next request.
async function act(form, button) {
    button.disabled = true;
    try {
        await call('devices/forget', form);
        setText('devices-message', '');
    } catch (e) {
        setText('devices-message', `Could not forget: ${e.message}`);
    } finally {
        button.disabled = false;
    }
    await refresh();
}

export function startDevices() {
    $('pair-form').addEventListener('submit', pairDevice);
    $('forget-all').addEventListener('click', () => act({ all: '1' }, $('forget-all')));
    // Back at this computer: last seen times may have moved.
    window.addEventListener('focus', refresh);
    refresh();
}
