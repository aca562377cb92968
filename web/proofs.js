// Proofs and signatures: a transaction's key, a payment proof, a reserve
// proof and a signed message, each made by the open wallet (copied, or
// downloaded as a text file) and checked, with the result in one sentence.
// Notes on transfers are edited in the transfer's details, from where a
// payment is also proven. What was typed stays when a kind is switched or a
// check fails.

import { parseAmount, toAtomic } from './amount.js';
import { $, copyText, el, setText, showMessage, showWords } from './dom.js';
import { build, buildWhenOpened, isBuilt, onBuilt, openSection } from './lazy.js';
import { coins } from './format.js';
import { RpcError } from './rpc.js';
import { isStale, onSessionChange, session } from './session.js';
import { refreshWallet } from './wallet-card.js';
import { inWords } from './words.js';

// Wallet codes met here (see docs/wallet-rpc.md).
const CODES = new Map([
    [-2, 'This is not a valid address of this network.'],
    [-4, 'The wallet does not hold that much in confirmed money.'],
    [-7, 'This wallet is view-only: it holds no spend key, so it cannot make this.'],
    [-8, 'Neither this wallet nor the chain knows this transaction: check its id.'],
]);
const TXID = /^[0-9a-fA-F]{64}$/;

const FIELDS = {
    txid: { label: 'Transaction id', mono: true },
    address: { label: 'Address', mono: true, area: true },
    message: { label: 'Message (optional)' },
    signature: { label: 'Proof or signature', mono: true, area: true },
    txkey: { label: 'Transaction key', mono: true },
    account: { label: 'Account (empty for all accounts)', numeric: true },
    amount: { label: 'Amount to prove (KRV, empty for all)', numeric: true },
    data: { label: 'Message to sign', area: true },
    signed: { label: 'Signed message', area: true },
};

const count = (n) => (Number(n) === 1 ? '1 confirmation' : `${Number(n).toLocaleString('en-US')} confirmations`);
const received = (r) => (r.in_pool ? 'still in the pool, with no confirmation yet' : `with ${count(r.confirmations)}`);

// Each kind: what making it asks and calls, and how a check is asked and said.
const KINDS = {
    payment: {
        about: 'Proves that an address received a payment of a transaction, with an optional message, without showing any key.',
        make: ['txid', 'address', 'message'],
        check: ['txid', 'address', 'message', 'signature'],
        makeCall: (v) => ['get_tx_proof', { txid: v.txid, address: v.address, ...(v.message ? { message: v.message } : {}) }],
        made: (r) => String(r.signature),
        file: (v) => `payment-proof-${v.txid.slice(0, 8)}.txt`,
        checkCall: (v) => ['check_tx_proof', { txid: v.txid, address: v.address, signature: v.signature, ...(v.message ? { message: v.message } : {}) }],
        said: (r) => (r.good
            ? { ok: true, text: `Good proof: the address received ${coins(toAtomic(r.received))} in this transaction, ${received(r)}.` }
            : { ok: false, text: 'Bad proof: it was not made for this transaction, address and message, or it was changed.' }),
    },
    txkey: {
        about: 'The secret key of a transaction this wallet sent: with it anyone can see what an address received in it.',
        make: ['txid'],
        check: ['txid', 'txkey', 'address'],
        makeCall: (v) => ['get_tx_key', { txid: v.txid }],
        made: (r) => String(r.tx_key),
        file: (v) => `tx-key-${v.txid.slice(0, 8)}.txt`,
        checkCall: (v) => ['check_tx_key', { txid: v.txid, tx_key: v.txkey, address: v.address }],
        said: (r) => (toAtomic(r.received) > 0n
            ? { ok: true, text: `Good key: the address received ${coins(toAtomic(r.received))} in this transaction, ${received(r)}.` }
            : { ok: false, text: 'The key is this transaction\u2019s, but the address received nothing in it.' }),
    },
    reserve: {
        about: 'Proves that this wallet holds at least an amount, without showing its balance or keys.',
        make: ['account', 'amount', 'message'],
        check: ['address', 'message', 'signature'],
        makeCall: (v) => {
            const all = v.account === '' && v.amount === '';
            const params = { all };
            if (!all) {
                params.account_index = Number(v.account || '0');
                params.amount = parseAmount(v.amount).value;
            }
            if (v.message) params.message = v.message;
            return ['get_reserve_proof', params];
        },
        made: (r) => String(r.signature),
        file: () => 'reserve-proof.txt',
        checkCall: (v) => ['check_reserve_proof', { address: v.address, signature: v.signature, ...(v.message ? { message: v.message } : {}) }],
        said: (r) => {
            if (!r.good) return { ok: false, text: 'Bad proof: it was not made for this address and message, or it was changed.' };
            const spent = toAtomic(r.spent);
            const tail = spent > 0n ? `, of which ${coins(spent)} has been spent since` : ', none of it spent since';
            return { ok: true, text: `Good proof: the address held ${coins(toAtomic(r.total))} when it was made${tail}.` };
        },
    },
    message: {
        about: 'Signs a message with this wallet\u2019s key, so that anyone can check it came from the holder of this address.',
        make: ['data'],
        check: ['signed', 'address', 'signature'],
        makeCall: (v) => ['sign', { data: v.data }],
        made: (r) => String(r.signature),
        file: () => 'signed-message.txt',
        checkCall: (v) => ['verify', { data: v.signed, address: v.address, signature: v.signature }],
        said: (r) => (r.good
            ? { ok: true, text: 'Good signature: the holder of this address signed this message.' }
            : { ok: false, text: 'Bad signature: this address did not sign this message, or it was changed.' }),
    },
};

// Typed values by side and field, kept across kinds.
const typed = { make: {}, check: {} };
let made = null;

const kind = () => KINDS[$('proof-kind').value] ?? KINDS.payment;
const fieldId = (side, name) => `proof-${side}-in-${name}`;

function drawFields(side) {
    const names = kind()[side];
    $(`proof-${side}-fields`).replaceChildren(...names.map((name) => {
        const f = FIELDS[name];
        const id = fieldId(side, name);
        const attrs = { id, spellcheck: 'false', autocapitalize: 'off', autocomplete: 'off', class: f.mono ? 'mono' : null, inputmode: f.numeric ? 'decimal' : null };
        const input = el(f.area ? 'textarea' : 'input', f.area ? { ...attrs, rows: '2' } : attrs);
        input.value = typed[side][name] ?? '';
        input.addEventListener('input', () => { typed[side][name] = input.value; });
        return el('div', { class: 'field' }, el('label', { for: id }, f.label), input);
    }));
}

function showKind() {
    setText('proof-about', kind().about);
    drawFields('make');
    drawFields('check');
    $('proof-made').hidden = true;
    made = null;
    for (const id of ['proof-make-message', 'proof-check-message']) showMessage(id, '');
}

const values = (side) => Object.fromEntries(kind()[side].map((name) => [name, $(fieldId(side, name)).value.trim()]));

// The first field a call would refuse, as {name, text}, or null.
function problem(side, v) {
    if ('txid' in v && !TXID.test(v.txid)) return { name: 'txid', text: 'A transaction id is 64 hex digits (0\u20139 and a\u2013f).' };
    for (const name of ['address', 'signature', 'txkey', 'data', 'signed']) {
        if (name in v && v[name] === '') return { name, text: `Enter the ${FIELDS[name].label.toLowerCase()}.` };
    }
    if (side === 'make' && 'account' in v) {
        if (v.account !== '' && !/^\d{1,9}$/.test(v.account)) return { name: 'account', text: 'The account is a number such as 0, or empty for all accounts.' };
        if ((v.account === '') !== (v.amount === '') && v.amount === '') return { name: 'amount', text: 'Enter the amount to prove for this account.' };
        if (v.amount !== '') {
            const parsed = parseAmount(v.amount);
            if (parsed.error) return { name: 'amount', text: parsed.error };
        }
    }
    return null;
}

function refused(id, e, checking) {
    if (isStale(e)) return;
    if (e instanceof RpcError && e.code === -9) {
        showMessage(id, checking ? 'Bad: this text is not a proof, key or signature of this kind, or it was changed.' : 'The wallet could not read this.', 'error');
        return;
    }
    const words = inWords(e);
    const sentence = (e instanceof RpcError && CODES.get(e.code)) || words.sentence;
    showWords(id, { sentence, details: words.details });
}

async function make(event) {
    event.preventDefault();
    const s = session();
    const k = kind();
    const v = values('make');
    const bad = problem('make', v);
    $('proof-made').hidden = true;
    if (bad) {
        showMessage('proof-make-message', bad.text, 'error');
        $(fieldId('make', bad.name)).focus();
        return;
    }
    showMessage('proof-make-message', 'Asking the wallet\u2026');
    try {
        const [method, params] = k.makeCall(v);
        const text = k.made(await s.call(method, params));
        made = { text, file: k.file(v) };
        setText('proof-signature', text);
        setText('proof-status', '');
        $('proof-made').hidden = false;
        showMessage('proof-make-message', '');
    } catch (e) {
        refused('proof-make-message', e, false);
    }
}

async function check(event) {
    event.preventDefault();
    const s = session();
    const k = kind();
    const v = values('check');
    const bad = problem('check', v);
    if (bad) {
        showMessage('proof-check-message', bad.text, 'error');
        $(fieldId('check', bad.name)).focus();
        return;
    }
    showMessage('proof-check-message', 'Checking\u2026');
    try {
        const [method, params] = k.checkCall(v);
        const { ok, text } = k.said(await s.call(method, params));
        showMessage('proof-check-message', text, ok ? 'ok' : 'error');
    } catch (e) {
        refused('proof-check-message', e, true);
    }
}

function download() {
    if (!made) return;
    const url = URL.createObjectURL(new Blob([`${made.text}\n`], { type: 'text/plain;charset=utf-8' }));
    const link = el('a', { href: url, download: made.file, class: 'offscreen' });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
    setText('proof-status', `Saved as ${made.file}.`);
}

// ---------------------------------------------------------------- details

// The transfer shown in the details dialog: {txid, address, note}.
let shown = null;

function transferShown(r) {
    build('details-owner');
    const again = shown?.txid === r.txid;
    shown = { txid: r.txid, address: r.address ?? '', outgoing: !['in', 'pool'].includes(r.kind) };
    $('note-form').hidden = !session().spendable || r.kind === 'failed';
    $('details-prove').hidden = !shown.outgoing || !r.address;
    // The note is the field below while it can be edited.
    const fact = [...$('details-facts').querySelectorAll('dt')].find((dt) => dt.textContent === 'Note');
    if (fact) fact.parentElement.hidden = !$('note-form').hidden;
    // A redraw while the note is being edited keeps what is typed.
    if (!again) {
        $('note-input').value = r.note ?? '';
        showMessage('note-message', '');
    }
}

async function saveNote(event) {
    event.preventDefault();
    if (!shown) return;
    const s = session();
    const note = $('note-input').value.trim();
    try {
        await s.call('set_tx_notes', { txids: [shown.txid], notes: [note] });
        showMessage('note-message', note ? 'Note saved.' : 'Note removed.', 'ok');
        refreshWallet();
    } catch (e) {
        refused('note-message', e, false);
    }
}

// From a sent transfer's details to its payment proof, filled in.
function proveShown() {
    if (!shown) return;
    $('transfer-details').close();
    openSection('proof-tool');
    $('proof-kind').value = 'payment';
    typed.make = { ...typed.make, txid: shown.txid, address: shown.address };
    showKind();
    $('tools-card').scrollIntoView({ block: 'start' });
    $(fieldId('make', 'message')).focus({ preventScroll: true });
}

export function startProofs() {
    onBuilt('proof-tool', () => {
        $('proof-kind').addEventListener('change', showKind);
        $('proof-make').addEventListener('submit', make);
        $('proof-check').addEventListener('submit', check);
        $('proof-copy').addEventListener('click', async () => {
            const ok = made && (await copyText(made.text));
            setText('proof-status', ok ? 'Copied.' : 'Copy failed: select the text and copy it by hand.');
        });
        $('proof-download').addEventListener('click', download);
        showKind();
    });
    buildWhenOpened('proof-tool');
    onBuilt('details-owner', () => {
        $('note-form').addEventListener('submit', saveNote);
        $('details-prove').addEventListener('click', proveShown);
    });
    $('transfer-details').addEventListener('transfer-shown', (e) => transferShown(e.detail));
    $('transfer-details').addEventListener('close', () => { shown = null; });
    onSessionChange((next, previous) => {
        if (next.address === previous.address) return;
        typed.make = {};
        typed.check = {};
        made = null;
        if (isBuilt('proof-tool')) showKind();
    });
}
