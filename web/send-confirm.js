// The confirmation and the relay. A dry run builds exactly what will be
// sent; the dialog shows that transaction's account, destinations, real fee,
// total and the account's balance after. "Confirm and send" relays those
// very transactions, once each, showing "n of N" as they go; a sweep of many
// small receipts can be stopped between two of them, and what went out is
// said. The dialog is modal: nothing under it changes while it is read.

import { toAtomic } from './amount.js';
import { $, el, setText, showMessage, showWords } from './dom.js';
import { coins, grouped as counted } from './format.js';
import { isStale, onSessionChange } from './session.js';
import { inWords } from './words.js';

export const PRIORITIES = {
    1: ['low', 'The smallest fee; it may wait longer for a block when the network is busy.'],
    2: ['normal', 'The usual fee; it goes into one of the next blocks at usual times.'],
    3: ['high', 'A larger fee, to go ahead of normal transfers when blocks are full.'],
    4: ['highest', 'The largest fee, for when it must be in the very next block.'],
};

// The dry run that waits for confirmation, and the relay under way.
let prepared = null;
let relay = null;
let updateForm = () => {};
let sentListener = () => {};
// fn({session, destinations, sent}) after each relay that sent something.
const relayedListeners = [];

export function onRelayed(fn) {
    relayedListeners.push(fn);
}

// A dry run whose answer cannot be confirmed; sentence says why.
class NotPrepared extends Error {
    constructor(sentence) {
        super(sentence);
        this.sentence = sentence;
    }
}

// The transactions of a dry run's answer, each with its metadata.
function transactionsOf(answer, sweep) {
    const list = sweep
        ? (answer?.tx_hash_list ?? []).map((hash, i) => ({
            hash, amount: answer.amount_list?.[i], fee: answer.fee_list?.[i], metadata: answer.tx_metadata_list?.[i],
        }))
        : [{ hash: answer?.tx_hash, amount: answer?.amount, fee: answer?.fee, metadata: answer?.tx_metadata }];
    if (list.length === 0 || list.some((tx) => typeof tx.metadata !== 'string' || tx.metadata === '')) {
        throw new NotPrepared('The wallet answered without the prepared transaction. A wallet service that ignores ' +
            'a dry run may have sent it already: check the transfers before you try again.');
    }
    return list.map((tx) => ({ hash: String(tx.hash ?? ''), amount: toAtomic(tx.amount), fee: toAtomic(tx.fee), metadata: tx.metadata }));
}

// Asks the wallet of session s for a dry run of exactly this and shows it
// for confirmation: account {index, label}, destinations [{address,
// amount}] (one, without amount, for a sweep), priority. Rejects with what
// went wrong (an AbortError once s has ended).
export async function prepare(s, { account, destinations, sweep, priority }) {
    discardConfirmation();
    const common = { account_index: account.index, priority, do_not_relay: true, get_tx_metadata: true };
    const [answer, balance] = await Promise.all([
        sweep ? s.call('sweep_all', { address: destinations[0].address, ...common })
            : s.call('transfer', { destinations: destinations.map((d) => ({ amount: d.amount, address: d.address })), ...common }),
        s.call('get_balance', { account_index: account.index }),
    ]);
    const txs = transactionsOf(answer, sweep);
    const sum = (key) => txs.reduce((total, tx) => total + tx[key], 0n);
    prepared = {
        session: s, account, destinations, sweep, priority, txs, amount: sum('amount'), fee: sum('fee'), balance: toAtomic(balance.balance),
    };
    showCard(prepared);
}

// The address in blocks of four, its first and last six characters strong,
// as one unbroken string when copied.
function groupedAddress(address) {
    const head = 6;
    const tail = address.length - 6;
    const strong = (i) => i < head || i >= tail;
    const blocks = [];
    for (let start = 0; start < address.length; start += 4) {
        const end = Math.min(start + 4, address.length);
        const block = el('span', { class: 'group' });
        for (let i = start; i < end;) {
            let j = i;
            while (j < end && strong(j) === strong(i)) j += 1;
            const piece = address.slice(i, j);
            block.append(strong(i) ? el('strong', {}, piece) : piece);
            i = j;
        }
        blocks.push(block);
    }
    return blocks;
}

function showCard(p) {
    const total = p.amount + p.fee;
    const n = p.txs.length;
    const { account } = p;
    setText('confirm-from', `${p.session.name || 'This wallet'}, account ${account.index}${account.label ? ` (${account.label})` : ''}`);
    if (p.destinations.length === 1) {
        $('confirm-to').replaceChildren(el('span', { class: 'address-groups' }, ...groupedAddress(p.destinations[0].address)));
    } else {
        $('confirm-to').replaceChildren(el('ol', { class: 'destination-list' }, ...p.destinations.map((d) => el('li', {},
            el('span', { class: 'address-groups' }, ...groupedAddress(d.address)), el('span', { class: 'amount' }, coins(d.amount))))));
    }
    setText('confirm-amount', coins(p.amount));
    setText('confirm-fee', coins(p.fee));
    setText('confirm-total', coins(total));
    setText('confirm-after', coins(p.balance - total));
    const at = `at ${PRIORITIES[p.priority][0]} priority`;
    let note = p.destinations.length > 1 ? `One transaction to ${p.destinations.length} recipients, ${at}.` : `One transaction, ${at}.`;
    if (p.sweep && n === 1) note = `Everything unlocked in this account, in one transaction, ${at}.`;
    if (p.sweep && n > 1) {
        note = `Everything unlocked in this account, in ${counted(n)} transactions, ${at}: the fee is the total of all ` +
            `${counted(n)}. They are sent one after another, and you can stop between two.`;
    }
    setText('confirm-note', note);
    showProgress(false);
    const dialog = $('send-confirm');
    // Modal: nothing under it can change or be clicked while it is read.
    if (!dialog.open) dialog.showModal();
    // The heading, not the button, so that a held Enter key sends nothing.
    $('confirm-title').focus();
    updateCard();
}

function updateCard() {
    $('send-confirm-button').disabled = prepared === null || relay !== null || $('confirm-blocked').textContent !== '';
    $('send-cancel').hidden = relay !== null;
    $('send-confirm-button').hidden = relay !== null;
    $('send-stop').hidden = relay === null;
    $('send-stop').disabled = relay?.stop === true;
}

function showProgress(on, done = 0, n = 0) {
    $('relay-progress').hidden = !on;
    if (!on) return;
    $('relay-bar').max = n;
    $('relay-bar').value = done;
    setText('relay-status', `${counted(done)} of ${counted(n)} transactions sent\u2026`);
}

function closeCard() {
    const dialog = $('send-confirm');
    if (dialog.open) dialog.close();
}

// What the dialog shows can no longer be sent (not while it is being sent).
export function discardConfirmation() {
    if (relay) return;
    prepared = null;
    closeCard();
}

export const sending = () => relay !== null;

function cancel() {
    if (relay) return requestStop();
    if (prepared === null) return;
    discardConfirmation();
    showMessage('send-result', 'Cancelled: nothing was sent.');
    updateForm();
    $('send-review').focus();
}

function requestStop() {
    if (!relay || relay.stop) return;
    relay.stop = true;
    setText('relay-status', `Stopping after the transaction being sent\u2026`);
    updateCard();
}

async function confirm() {
    const p = prepared;
    if (!p || relay) return;
    // Taken before anything is awaited: a second click finds nothing to send.
    prepared = null;
    const run = { stop: false };
    relay = run;
    updateCard();
    updateForm();
    const sent = [];
    let error = null;
    showProgress(true, 0, p.txs.length);
    try {
        for (const tx of p.txs) {
            if (run.stop) break;
            const answer = await p.session.call('relay_tx', { hex: tx.metadata });
            sent.push({ ...tx, hash: String(answer?.tx_hash ?? tx.hash) });
            showProgress(true, sent.length, p.txs.length);
        }
    } catch (e) {
        // Another wallet is shown now, and its card was set up anew.
        if (isStale(e)) return;
        error = e;
    }
    relay = null;
    closeCard();
    showResult(p, sent, error);
    updateForm();
    if (sent.length > 0) sentListener();
    if (sent.length > 0) for (const fn of relayedListeners) fn({ session: p.session, destinations: p.destinations, sent });
}

// The transaction ids, folded: drawn when first opened, since a sweep may
// have sent thousands.
function foldedIds(sent) {
    const ids = el('details', { class: 'sent-ids' }, el('summary', {}, `The ${counted(sent.length)} transaction ids`));
    ids.addEventListener('toggle', () => {
        if (!ids.open || ids.querySelector('ol')) return;
        ids.append(el('ol', {}, ...sent.map((tx) => el('li', {}, el('code', { class: 'txid' }, tx.hash)))));
    });
    return ids;
}

function showResult(p, sent, error) {
    const n = p.txs.length;
    const amount = sent.reduce((total, tx) => total + tx.amount, 0n);
    const fee = sent.reduce((total, tx) => total + tx.fee, 0n);
    const node = $('send-result');
    if (error && sent.length === 0) return showWords('send-result', inWords(error));
    node.className = `message ${error ? 'error' : sent.length < n ? 'warn' : 'ok'}`;
    const parts = [];
    if (sent.length === n) {
        parts.push(el('strong', {}, n === 1 ? `Sent ${coins(amount)}.` : `Sent ${coins(amount)} in ${counted(n)} transactions.`));
    } else {
        const why = error ? inWords(error).sentence : 'Stopped.';
        parts.push(el('strong', {}, `${why} ${counted(sent.length)} of ${counted(n)} transactions were sent ` +
            `(${coins(amount)}, fee ${coins(fee)}); the other ${counted(n - sent.length)} were not.`));
        if (error) parts.push(el('span', { class: 'details' }, inWords(error).details));
    }
    if (n === 1 && sent.length === 1) {
        parts.push(el('br'), 'Transaction id: ', el('code', { class: 'txid', id: 'sent-txid' }, sent[0].hash));
    }
    if (sent.length === n) parts.push(el('br'), 'Fee: ', el('span', { id: 'sent-fee' }, coins(fee)));
    if (n > 1 && sent.length > 0) parts.push(foldedIds(sent));
    node.replaceChildren(...parts);
}

// A new session: whatever was prepared or under way belonged to another.
function sessionChanged() {
    relay = null;
    prepared = null;
    closeCard();
    showProgress(false);
    updateCard();
}

// update(): redraws the send form; onSent(): a transaction went out.
export function startConfirm({ update, onSent }) {
    updateForm = update;
    sentListener = onSent;
    $('send-confirm-button').addEventListener('click', confirm);
    $('send-cancel').addEventListener('click', cancel);
    $('send-stop').addEventListener('click', requestStop);
    // Escape: the dialog asks to be cancelled, which discards what it shows,
    // or stops a relay under way after the transaction being sent.
    $('send-confirm').addEventListener('cancel', (e) => {
        e.preventDefault();
        cancel();
    });
    // However it closed, what it showed can no longer be sent.
    $('send-confirm').addEventListener('close', () => {
        if (!relay) cancel();
    });
    onSessionChange(sessionChanged);
}

// The reason the wallet cannot be used changed: the card's buttons follow.
export function confirmBlocked() {
    updateCard();
}
