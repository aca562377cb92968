// Sending: the address checked by the wallet as it is typed, the amount
// held against what is unlocked (or everything, with Max), a priority, then
// a dry run of exactly what will be sent. The card shows that transaction's
// real fee and total; "Confirm and send" relays that very transaction, so
// what was confirmed is what is sent, and one click sends at most once.

import { formatAmount, parseAmount, toAtomic } from './amount.js';
import { $, el, setText, showMessage, showWords } from './dom.js';
import { coins } from './format.js';
import { RpcError, wallet } from './rpc.js';
import { inWords } from './words.js';

// Pause in typing before the wallet is asked about the address.
const CHECK_PAUSE_MS = 350;

const PRIORITIES = {
    1: ['low', 'The smallest fee; it may wait longer for a block when the network is busy.'],
    2: ['normal', 'The usual fee; it goes into one of the next blocks at usual times.'],
    3: ['high', 'A larger fee, to go ahead of normal transfers when blocks are full.'],
    4: ['highest', 'The largest fee, for when it must be in the very next block.'],
};

// Figures as people read them; the amount field keeps the plain form it parses.
const withTicker = (atomic) => coins(atomic);

const state = {
    owner: null, // {name, address} of the open wallet the form belongs to
    unlocked: null, // BigInt, from the last wallet poll
    blocked: '', // why the wallet cannot be used now, '' when it can
    check: { text: '', status: 'empty', info: null, seq: 0, timer: null },
    sweep: false,
    busy: false, // a dry run or a relay is under way
    prepared: null, // the dry run that waits for confirmation
    generation: 0, // bumped when the form is reset; older answers are dropped
};

// ---------------------------------------------------------------- the form

function addressText() {
    return $('send-address').value.trim();
}

function onAddressInput() {
    const check = state.check;
    clearTimeout(check.timer);
    check.seq += 1;
    check.text = addressText();
    check.info = null;
    if (check.text === '') check.status = 'empty';
    else if (/\s/.test(check.text)) check.status = 'spaces';
    else {
        check.status = 'waiting';
        const seq = check.seq;
        check.timer = setTimeout(() => checkAddress(seq), CHECK_PAUSE_MS);
    }
    update();
}

async function checkAddress(seq) {
    const check = state.check;
    check.status = 'checking';
    update();
    try {
        const answer = await wallet('validate_address', { address: check.text });
        if (seq !== check.seq) return;
        check.status = answer?.valid === true ? 'valid' : 'invalid';
        check.info = answer;
    } catch (e) {
        if (seq !== check.seq) return;
        // A wallet service that cannot check addresses still refuses a bad
        // one in the dry run; an outage is checked again when it ends.
        check.status = e instanceof RpcError ? 'unchecked' : 'unreachable';
        check.info = e;
    }
    update();
}

function addressMessage() {
    const { status, info } = state.check;
    switch (status) {
    case 'spaces': return ['The address must not contain spaces or line breaks.', 'error'];
    case 'checking': return ['Checking the address\u2026', ''];
    case 'invalid': return ['This address is not valid: check for a typo.', 'error'];
    case 'unchecked': return [`The wallet could not check this address (${inWords(info).details}); the review checks it again.`, 'warn'];
    case 'unreachable': return ['The address is checked when the wallet RPC service answers again.', 'warn'];
    case 'valid': {
        const kind = info.integrated ? 'integrated address' : info.subaddress ? 'subaddress' : 'address';
        const net = info.nettype && info.nettype !== 'mainnet' ? ` for ${info.nettype}` : '';
        return [`Valid ${kind}${net}.`, 'ok'];
    }
    default: return ['', ''];
    }
}

// {ok, value, message} for what the amount field holds now.
function amountCheck() {
    if (state.sweep) return { ok: state.unlocked > 0n, message: '' };
    const text = $('send-amount').value;
    if (text.trim() === '') return { ok: false, message: '' };
    const parsed = parseAmount(text);
    if (parsed.error) return { ok: false, message: parsed.error };
    if (state.unlocked !== null && parsed.value > state.unlocked) {
        return { ok: false, message: `More than the unlocked balance (${withTicker(state.unlocked)}).` };
    }
    return { ok: true, value: parsed.value, message: '' };
}

function setMax(on) {
    state.sweep = on;
    const input = $('send-amount');
    input.readOnly = on;
    input.value = on && state.unlocked !== null ? formatAmount(state.unlocked) : '';
    $('send-max').setAttribute('aria-pressed', String(on));
    discard();
    update();
}

function onPriority() {
    discard();
    update();
}

function priority() {
    const value = Number($('send-priority').value);
    return PRIORITIES[value] ? value : 2;
}

// Brings every message and button of the card in line with the state.
function update() {
    const reason = state.blocked || (state.owner ? '' : 'Open a wallet first.');
    for (const id of ['send-blocked', 'confirm-blocked']) setText(id, reason);

    const [addressNote, addressKind] = addressMessage();
    showMessage('send-address-check', addressNote, addressKind);
    const amount = amountCheck();
    showMessage('send-amount-check', amount.message, 'error');
    setText('send-available', state.owner && state.unlocked !== null ? `Available: ${withTicker(state.unlocked)}` : '');
    setText('send-sweep-note', state.sweep ? 'Max sends everything unlocked; the fee is taken from it.' : '');
    setText('send-priority-hint', PRIORITIES[priority()][1]);

    const addressOk = state.check.status === 'valid' || state.check.status === 'unchecked';
    $('send-review').disabled = Boolean(reason) || state.busy || !addressOk || !amount.ok;
    $('send-max').disabled = Boolean(reason) || state.busy || !(state.unlocked > 0n);
    $('send-confirm-button').disabled = Boolean(reason) || state.busy || state.prepared === null;
    $('send-cancel').disabled = state.busy;
}

// ---------------------------------------------------------------- dry run

class NotPrepared extends Error {}

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

async function review(event) {
    event.preventDefault();
    if ($('send-review').disabled) return;
    const address = addressText();
    const sweep = state.sweep;
    const amount = sweep ? null : amountCheck().value;
    const chosen = priority();
    const owner = state.owner;
    const generation = state.generation;
    discard();
    state.busy = true;
    showMessage('send-result', 'Preparing the transaction\u2026');
    update();
    const common = { account_index: 0, priority: chosen, do_not_relay: true, get_tx_metadata: true };
    try {
        const [answer, balance] = await Promise.all([
            sweep ? wallet('sweep_all', { address, ...common })
                : wallet('transfer', { destinations: [{ amount, address }], ...common }),
            wallet('get_balance'),
        ]);
        if (generation !== state.generation) return;
        const txs = transactionsOf(answer, sweep);
        const sum = (key) => txs.reduce((total, tx) => total + tx[key], 0n);
        state.prepared = {
            owner, address, sweep, priority: chosen, txs,
            amount: sum('amount'), fee: sum('fee'), balance: toAtomic(balance.balance),
        };
        showMessage('send-result', '');
        showCard(state.prepared);
    } catch (e) {
        if (generation !== state.generation) return;
        showWords('send-result', e instanceof NotPrepared ? { sentence: e.message, details: '' } : inWords(e));
    } finally {
        if (generation === state.generation) {
            state.busy = false;
            update();
        }
    }
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
    setText('confirm-from', p.owner?.name || 'The open wallet');
    $('confirm-to').replaceChildren(...groupedAddress(p.address));
    setText('confirm-amount', withTicker(p.amount));
    setText('confirm-fee', withTicker(p.fee));
    setText('confirm-total', withTicker(total));
    setText('confirm-after', withTicker(p.balance - total));
    const n = p.txs.length;
    const what = p.sweep ? `Everything unlocked, in ${n === 1 ? 'one transaction' : `${n} transactions`}` : 'One transaction';
    setText('confirm-note', `${what}, at ${PRIORITIES[p.priority][0]} priority.`);
    const dialog = $('send-confirm');
    // Modal: nothing under it can change or be clicked while it is read.
    if (!dialog.open) dialog.showModal();
    // The heading, not the button, so that a held Enter key sends nothing.
    $('confirm-title').focus();
}

function closeCard() {
    const dialog = $('send-confirm');
    if (dialog.open) dialog.close();
}

function discard() {
    state.prepared = null;
    closeCard();
}

function cancel() {
    if (state.busy || state.prepared === null) return;
    discard();
    showMessage('send-result', 'Cancelled: nothing was sent.');
    update();
    $('send-review').focus();
}

// ---------------------------------------------------------------- relay

const sentListeners = [];

async function confirm() {
    const p = state.prepared;
    if (!p || state.busy || state.blocked) return;
    // Taken before anything is awaited: a second click finds nothing to send.
    state.prepared = null;
    state.busy = true;
    update();
    showMessage('send-result', p.txs.length > 1 ? `Sending ${p.txs.length} transactions\u2026` : 'Sending\u2026');
    const sent = [];
    try {
        for (const tx of p.txs) {
            const answer = await wallet('relay_tx', { hex: tx.metadata });
            sent.push({ ...tx, hash: String(answer?.tx_hash ?? tx.hash) });
        }
        closeCard();
        showSent(p, sent);
        if (state.sweep) setMax(false);
        $('send-amount').value = '';
    } catch (e) {
        closeCard();
        const words = inWords(e);
        if (sent.length > 0) {
            words.sentence = `${sent.length} of ${p.txs.length} transactions were sent (${sent.map((tx) => tx.hash).join(', ')}); ` +
                `the rest were not. ${words.sentence}`;
        }
        showWords('send-result', words);
    } finally {
        state.busy = false;
        update();
        if (sent.length > 0) for (const fn of sentListeners) fn();
    }
}

function showSent(p, sent) {
    const amount = sent.reduce((total, tx) => total + tx.amount, 0n);
    const fee = sent.reduce((total, tx) => total + tx.fee, 0n);
    const node = $('send-result');
    node.className = 'message ok';
    node.replaceChildren(
        el('strong', {}, `Sent ${withTicker(amount)}.`), el('br'),
        sent.length === 1 ? 'Transaction id: ' : 'Transaction ids: ',
        ...sent.flatMap((tx, i) => [i ? ', ' : '', el('code', { class: 'txid', ...(i ? {} : { id: 'sent-txid' }) }, tx.hash)]),
        el('br'), 'Fee: ', el('span', { id: 'sent-fee' }, withTicker(fee)));
}

// ---------------------------------------------------------------- from the page

// The wallet the form belongs to; a different one (or none) clears the form,
// its check, its card and its result.
export function sendWalletChanged(owner) {
    const same = owner && state.owner && owner.address === state.owner.address && owner.name === state.owner.name;
    state.owner = owner;
    if (same) return update();
    state.generation += 1;
    clearTimeout(state.check.timer);
    state.check = { text: '', status: 'empty', info: null, seq: state.check.seq + 1, timer: null };
    state.unlocked = null;
    state.busy = false;
    $('send-address').value = '';
    $('send-priority').value = '2';
    setMax(false);
    showMessage('send-result', '');
}

export function sendBalances(unlocked) {
    state.unlocked = toAtomic(unlocked);
    if (state.sweep) $('send-amount').value = formatAmount(state.unlocked);
    update();
}

export function sendBlocked(reason) {
    const wasBlocked = state.blocked !== '';
    state.blocked = reason;
    // The check could not run during the outage: run it now.
    if (wasBlocked && !reason && state.check.status === 'unreachable') onAddressInput();
    else update();
}

// fn() after a transaction went out, to refresh the wallet at once.
export function onSent(fn) {
    sentListeners.push(fn);
}

export function startSend() {
    $('send-form').addEventListener('submit', review);
    $('send-address').addEventListener('input', () => {
        discard();
        onAddressInput();
    });
    $('send-amount').addEventListener('input', () => {
        discard();
        update();
    });
    $('send-max').addEventListener('click', () => setMax(!state.sweep));
    $('send-priority').addEventListener('change', onPriority);
    $('send-confirm-button').addEventListener('click', confirm);
    $('send-cancel').addEventListener('click', cancel);
    // Escape: the dialog asks to be cancelled, which discards what it shows;
    // while a relay is under way it stays.
    $('send-confirm').addEventListener('cancel', (e) => {
        e.preventDefault();
        cancel();
    });
    // However it closed, what it showed can no longer be sent.
    $('send-confirm').addEventListener('close', cancel);
    update();
}
