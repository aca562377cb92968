// Payment requests. In Receive, an amount, a description and a name make a
// krv: URI for the address shown, as text and as a QR code. In Send, a
// request pasted where an address goes is read by the wallet and fills in
// the address and the amount; its description becomes the note of the
// transfer once it is sent.

import { formatAmount, parseAmount, toAtomic } from './amount.js';
import { $, copyText, setText, showMessage, showWords } from './dom.js';
import { buildWhenOpened, isBuilt, onBuilt } from './lazy.js';
import { coins } from './format.js';
import { qrSvg } from './qr.js';
import { RpcError } from './rpc.js';
import { onRelayed } from './send-confirm.js';
import { isStale, onSessionChange, session } from './session.js';
import { inWords } from './words.js';

const BAD_ADDRESS = -2;
const BAD_URI = -11;
const URI = /^krv:/i;

// The request last read into Send: {address, description, name}; its
// description is the note of a transfer to that address.
let pending = null;

// "1.5" for 1.5 coins: a typed amount, without the trailing zeros.
export function plainAmount(atomic) {
    const text = formatAmount(atomic);
    return text.includes('.') ? text.replace(/\.?0+$/, '') : text;
}

// ---------------------------------------------------------------- Receive

async function makeRequest(event) {
    event.preventDefault();
    const s = session();
    const address = $('receive-address').textContent;
    const amountText = $('request-amount').value.trim();
    let amount = 0n;
    if (amountText !== '') {
        const parsed = parseAmount(amountText);
        if (parsed.error || parsed.value <= 0n) {
            showMessage('request-message', parsed.error ?? 'The amount must be more than zero, or left empty.', 'error');
            $('request-amount').focus();
            return;
        }
        amount = parsed.value;
    }
    const params = { address };
    if (amount > 0n) params.amount = amount;
    const description = $('request-description').value.trim();
    const name = $('request-name').value.trim();
    if (name) params.recipient_name = name;
    if (description) params.tx_description = description;
    showMessage('request-message', '');
    try {
        const { uri } = await s.call('make_uri', params);
        await showRequest(String(uri));
    } catch (e) {
        if (!isStale(e)) showWords('request-message', inWords(e));
    }
}

async function showRequest(uri) {
    setText('request-uri', uri);
    const svg = await qrSvg(uri, 'QR code of the payment request');
    $('request-qr').replaceChildren(...(svg ? [svg] : []));
    $('request-shown').hidden = false;
}

function clearRequest() {
    if (!isBuilt('request-tool')) return;
    $('request-shown').hidden = true;
    $('request-qr').replaceChildren();
    setText('request-uri', '');
    showMessage('request-message', '');
}

// ---------------------------------------------------------------- Send

// A request typed or pasted in an address field. Send itself checks the
// text as an address meanwhile (and finds it is not one), so nothing of an
// earlier address stays valid while the request is read.
async function readRequest(field) {
    const uri = field.value.trim();
    const s = session();
    showMessage('send-uri-message', 'Reading the payment request\u2026');
    try {
        const answer = (await s.call('parse_uri', { uri })).uri ?? {};
        // Typed on meanwhile: the answer is for text no longer there.
        if (field.value.trim() !== uri) return;
        const address = String(answer.address ?? '');
        const atomic = toAtomic(answer.amount ?? 0);
        const description = String(answer.tx_description ?? '');
        const name = String(answer.recipient_name ?? '');
        field.value = address;
        field.dispatchEvent(new Event('input', { bubbles: true }));
        const amount = field.closest('li')?.querySelector('input[inputmode="decimal"]');
        if (amount && atomic > 0n && !amount.readOnly) {
            amount.value = plainAmount(atomic);
            amount.dispatchEvent(new Event('input', { bubbles: true }));
        }
        pending = { address, description, name };
        const parts = [name ? `A payment request from ${name}` : 'A payment request', atomic > 0n ? ` for ${coins(atomic)}` : ''];
        const said = `${parts.join('')}${description ? `, note \u201c${description}\u201d` : ''}.`;
        showMessage('send-uri-message', description ? `${said} The note is kept with the transfer.` : said, 'ok');
    } catch (e) {
        if (isStale(e)) return;
        if (field.value.trim() !== uri) return;
        if (e instanceof RpcError && e.code === BAD_URI) showMessage('send-uri-message', 'This payment request cannot be read: check that it was copied whole.', 'error');
        else if (e instanceof RpcError && e.code === BAD_ADDRESS) showMessage('send-uri-message', 'This payment request is for another network.', 'error');
        else showWords('send-uri-message', inWords(e));
    }
}

function addressTyped(event) {
    const field = event.target;
    if (!(field instanceof HTMLTextAreaElement) || !field.closest('#recipients')) return;
    if (URI.test(field.value.trim())) {
        readRequest(field);
        return;
    }
    // The request's note goes only with a transfer to its own address.
    if (pending && ![...document.querySelectorAll('#recipients textarea')].some((f) => f.value.trim() === pending.address)) {
        pending = null;
        showMessage('send-uri-message', '');
    }
}

// After a send to the request's address: its description is the note.
async function keepNote({ session: s, destinations, sent }) {
    const request = pending;
    if (!request || !destinations.some((d) => d.address === request.address)) return;
    pending = null;
    if (!request.description) {
        showMessage('send-uri-message', '');
        return;
    }
    const txids = sent.map((tx) => tx.hash);
    try {
        await s.call('set_tx_notes', { txids, notes: txids.map(() => request.description) });
        showMessage('send-uri-message', `The note \u201c${request.description}\u201d is kept with the transfer.`, 'ok');
    } catch (e) {
        if (!isStale(e)) showWords('send-uri-message', { ...inWords(e), sentence: `Sent, but the note \u201c${request.description}\u201d could not be kept: add it in the transfer's details.` }, 'warn');
    }
}

export function startPaymentRequests() {
    onBuilt('request-tool', () => {
        $('request-form').addEventListener('submit', makeRequest);
        $('request-copy').addEventListener('click', async () => {
            const ok = await copyText($('request-uri').textContent);
            setText('request-status', ok ? 'Request copied.' : 'Copy failed: select the request and copy it by hand.');
        });
    });
    buildWhenOpened('request-tool');
    // A request is for the address it was made for: another one shown, it goes.
    new MutationObserver(() => {
        if (isBuilt('request-tool') && $('request-uri').textContent && !$('request-uri').textContent.slice(4).startsWith($('receive-address').textContent)) clearRequest();
    }).observe($('receive-address'), { childList: true, characterData: true, subtree: true });
    $('recipients').addEventListener('input', addressTyped);
    onRelayed(keepNote);
    onSessionChange((next, previous) => {
        if (next.address === previous.address) return;
        clearRequest();
        pending = null;
        showMessage('send-uri-message', '');
    });
}
