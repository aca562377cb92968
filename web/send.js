// Sending: from one account of the open wallet, to up to 16 recipients, each
// address checked by the wallet as it is typed and each amount held against
// what the account has unlocked (or everything, with Max, to one address),
// at a priority; then a dry run of exactly what will be sent (send-confirm.js).
// Only a wallet opened with its password in this tab may spend; any other
// is shown read-only, with the password's field here. What a person typed
// is kept per wallet while the wallet service is away.

import { formatAmount, parseAmount, toAtomic } from './amount.js';
import { $, el, setText, showMessage, showWords } from './dom.js';
import { coins } from './format.js';
import { RpcError, wallet } from './rpc.js';
import { confirmBlocked, discardConfirmation, PRIORITIES, prepare, sending, startConfirm } from './send-confirm.js';
import { isStale, onSessionChange, session } from './session.js';
import { inWords } from './words.js';

// Pause in typing before the wallet is asked about an address.
const CHECK_PAUSE_MS = 350;
const MAX_RECIPIENTS = 16;

const state = {
    accounts: [], // [{index, label, unlocked}] of the open wallet
    from: 0,
    fromChosen: false, // the person picked the account here, not in Receive
    recipients: [], // [{n, li, address, amount, addressNote, amountNote, check}]
    sweep: false,
    blocked: '', // why the wallet cannot be used now, '' when it can
    busy: false, // a dry run is under way
};
// Drafts by wallet address, kept when the wallet goes away by itself.
const drafts = new Map();
let ownAddress = () => '';
let unlock = async () => null;

// ---------------------------------------------------------------- recipients

function firstRecipient() {
    return {
        n: 1, li: $('recipients').firstElementChild, address: $('send-address'), amount: $('send-amount'),
        addressNote: 'send-address-check', amountNote: 'send-amount-check', check: emptyCheck(),
    };
}

const emptyCheck = () => ({ text: '', status: 'empty', info: null, timer: null, controller: null });

function addRecipient() {
    const n = state.recipients.length + 1;
    if (n > MAX_RECIPIENTS) return null;
    const id = (what) => `send-${what}-${n}`;
    const address = el('textarea', { id: id('address'), rows: '2', spellcheck: 'false', autocapitalize: 'off', 'aria-describedby': id('address-check') });
    const amount = el('input', { id: id('amount'), inputmode: 'decimal', placeholder: '0.000000000000', spellcheck: 'false', 'aria-describedby': id('amount-check') });
    const remove = el('button', { type: 'button', class: 'small-button' }, `Remove recipient ${n}`);
    const li = el('li', { class: 'recipient', dataset: { key: String(n) } },
        el('div', { class: 'field' }, el('label', { for: id('address') }, `Address of recipient ${n}`), address,
            el('p', { id: id('address-check'), class: 'message', role: 'status', 'aria-live': 'polite' })),
        el('div', { class: 'field' }, el('label', { for: id('amount') }, `Amount for recipient ${n} (KRV)`), amount,
            el('p', { id: id('amount-check'), class: 'message error', role: 'status', 'aria-live': 'polite' })),
        remove);
    const rec = { n, li, address, amount, addressNote: id('address-check'), amountNote: id('amount-check'), check: emptyCheck() };
    listen(rec);
    remove.addEventListener('click', () => {
        removeRecipient(rec);
        $('send-add').focus();
    });
    $('recipients').append(li);
    state.recipients.push(rec);
    return rec;
}

// Removes one recipient; those after it move up, keeping what was typed.
function removeRecipient(rec) {
    const kept = state.recipients.filter((r) => r !== rec && r.n > 1).map((r) => ({ address: r.address.value, amount: r.amount.value }));
    dropRecipients();
    for (const value of kept) fillRecipient(addRecipient(), value);
    changed();
}

// Back to the first recipient alone.
function dropRecipients() {
    for (const rec of state.recipients.slice(1)) {
        abortCheck(rec);
        rec.li.remove();
    }
    state.recipients.length = 1;
}

function fillRecipient(rec, { address, amount }) {
    rec.address.value = address;
    rec.amount.value = amount;
    onAddressInput(rec);
}

function listen(rec) {
    rec.address.addEventListener('input', () => {
        discardConfirmation();
        onAddressInput(rec);
    });
    rec.amount.addEventListener('input', changed);
}

function changed() {
    discardConfirmation();
    update();
}

// ---------------------------------------------------------------- address checks

function abortCheck(rec) {
    clearTimeout(rec.check.timer);
    rec.check.controller?.abort();
}

function onAddressInput(rec) {
    abortCheck(rec);
    const check = { ...emptyCheck(), text: rec.address.value.trim() };
    rec.check = check;
    if (check.text === '') check.status = 'empty';
    else if (/\s/.test(check.text)) check.status = 'spaces';
    else {
        check.status = 'waiting';
        check.timer = setTimeout(() => checkAddress(rec, check), CHECK_PAUSE_MS);
    }
    update();
}

// Asks the wallet; an answer for text that changed since, or for a wallet
// no longer shown, is dropped by its signal.
async function checkAddress(rec, check) {
    check.controller = new AbortController();
    const signal = AbortSignal.any([session().signal, check.controller.signal]);
    check.status = 'checking';
    update();
    try {
        const answer = await wallet('validate_address', { address: check.text }, signal);
        signal.throwIfAborted();
        check.status = answer?.valid === true ? 'valid' : 'invalid';
        check.info = answer;
    } catch (e) {
        if (isStale(e)) return;
        // A wallet service that cannot check addresses still refuses a bad
        // one in the dry run; an outage is checked again when it ends.
        check.status = e instanceof RpcError ? 'unchecked' : 'unreachable';
        check.info = e;
    }
    update();
}

function addressMessage(check) {
    const { status, info } = check;
    switch (status) {
    case 'spaces': return ['The address must not contain spaces or line breaks.', 'error'];
    case 'checking': return ['Checking the address\u2026', ''];
    case 'invalid': return ['This address is not valid: check for a typo.', 'error'];
    case 'unchecked': return [`The wallet could not check this address (${inWords(info).details}); the review checks it again.`, 'warn'];
    case 'unreachable': return ['The address is checked when the wallet RPC service answers again.', 'warn'];
    case 'valid': {
        const own = ownAddress(check.text);
        if (own) return [`This is ${own} of this wallet: the money stays in it and only the fee is spent.`, 'warn'];
        const kind = info.integrated ? 'integrated address' : info.subaddress ? 'subaddress' : 'address';
        const net = info.nettype && info.nettype !== 'mainnet' ? ` for ${info.nettype}` : '';
        return [`Valid ${kind}${net}.`, 'ok'];
    }
    default: return ['', ''];
    }
}

const addressOk = (rec) => rec.check.status === 'valid' || rec.check.status === 'unchecked';

// ---------------------------------------------------------------- amounts and the account

function account() {
    return state.accounts.find((a) => a.index === state.from) ?? null;
}

const unlocked = () => account()?.unlocked ?? null;

// {ok, value, message} for one recipient's amount field.
function amountCheck(rec) {
    if (state.sweep) return { ok: unlocked() > 0n, message: '' };
    const text = rec.amount.value;
    if (text.trim() === '') return { ok: false, message: '' };
    const parsed = parseAmount(text);
    if (parsed.error) return { ok: false, message: parsed.error };
    if (unlocked() !== null && parsed.value > unlocked()) {
        return { ok: false, message: `More than the unlocked balance (${coins(unlocked())}).` };
    }
    return { ok: true, value: parsed.value, message: '' };
}

// The amounts together, when there are several: {ok, message}.
function totalCheck(checks) {
    if (checks.length < 2 || !checks.every((c) => c.ok)) return { ok: true, message: '' };
    const total = checks.reduce((sum, c) => sum + c.value, 0n);
    if (unlocked() !== null && total > unlocked()) {
        return { ok: false, message: `Together ${coins(total)}: more than the unlocked balance (${coins(unlocked())}).` };
    }
    return { ok: true, message: `Together ${coins(total)}, in one transaction.` };
}

function setMax(on) {
    state.sweep = on;
    const input = $('send-amount');
    input.readOnly = on;
    input.value = on && unlocked() !== null ? formatAmount(unlocked()) : '';
    $('send-max').setAttribute('aria-pressed', String(on));
    changed();
}

function priority() {
    const value = Number($('send-priority').value);
    return PRIORITIES[value] ? value : 2;
}

const accountName = (a) => `Account ${a.index}${a.label ? ` (${a.label})` : ''}`;

// The accounts of a get_accounts answer, for From; the list is changed in
// place, so an open list or its focus stays.
export function sendAccounts(accounts) {
    state.accounts = (accounts?.subaddress_accounts ?? []).map((a) => ({
        index: Number(a.account_index), label: String(a.label ?? ''), unlocked: toAtomic(a.unlocked_balance ?? 0),
    }));
    const select = $('send-from');
    state.accounts.forEach((a, i) => {
        const text = `${accountName(a)}: ${coins(a.unlocked)} unlocked`;
        const option = select.options[i] ?? select.appendChild(el('option'));
        if (option.value !== String(a.index)) option.value = String(a.index);
        if (option.textContent !== text) option.textContent = text;
    });
    while (select.options.length > state.accounts.length) select.lastElementChild.remove();
    if (!account()) state.from = 0;
    select.value = String(state.from);
    if (state.sweep) $('send-amount').value = formatAmount(unlocked() ?? 0n);
    update();
}

// The account chosen in Receive, unless one was picked here.
export function sendFromDefault(index) {
    if (state.fromChosen || state.busy || sending()) return;
    chooseFrom(index);
}

function chooseFrom(index) {
    state.from = index;
    $('send-from').value = String(index);
    if (state.sweep) $('send-amount').value = formatAmount(unlocked() ?? 0n);
    changed();
}

// ---------------------------------------------------------------- the card

// Brings every message and button of the card in line with the state.
function update() {
    const s = session();
    const readOnly = s.open && !s.spendable;
    $('send-locked').hidden = !readOnly;
    $('send-form').hidden = readOnly;
    if (readOnly) {
        setText('send-locked-text', `${s.name ? `${s.name} was` : 'This wallet was'} not opened in this page: sending needs its password, entered here.`);
        $('send-unlock-name-field').hidden = s.name !== '';
    }
    const reason = state.blocked || (s.open ? '' : 'Open a wallet first.');
    for (const id of ['send-blocked', 'confirm-blocked']) setText(id, reason);

    const checks = state.recipients.map((rec) => {
        const [note, kind] = addressMessage(rec.check);
        showMessage(rec.addressNote, note, kind);
        const amount = amountCheck(rec);
        showMessage(rec.amountNote, amount.message, 'error');
        return amount;
    });
    const total = totalCheck(checks);
    showMessage('send-total', total.message, total.ok ? '' : 'error');
    setText('send-available', s.open && unlocked() !== null ? `Available: ${coins(unlocked())}` : '');
    setText('send-sweep-note', state.sweep ? 'Max sends everything unlocked in this account to one address; the fee is taken from it.' : '');
    setText('send-priority-hint', PRIORITIES[priority()][1]);
    const several = state.recipients.length > 1;
    setText('send-add-note', state.sweep ? 'Max sends to one address.' : state.recipients.length >= MAX_RECIPIENTS ? `At most ${MAX_RECIPIENTS} recipients.` : '');

    const idle = !reason && !state.busy && !sending();
    $('send-review').disabled = !idle || !state.recipients.every(addressOk) || !checks.every((c) => c.ok) || !total.ok;
    $('send-max').disabled = !idle || several || !(unlocked() > 0n);
    $('send-add').disabled = !idle || state.sweep || state.recipients.length >= MAX_RECIPIENTS;
    $('send-from').disabled = !idle || state.accounts.length === 0;
    confirmBlocked();
}

async function review(event) {
    event.preventDefault();
    if ($('send-review').disabled) return;
    const s = session();
    const a = account();
    const sweep = state.sweep;
    const destinations = state.recipients.map((rec) => ({ address: rec.check.text, amount: sweep ? null : amountCheck(rec).value }));
    state.busy = true;
    showMessage('send-result', 'Preparing the transaction\u2026');
    update();
    try {
        await prepare(s, { account: a, destinations, sweep, priority: priority() });
        showMessage('send-result', '');
    } catch (e) {
        if (isStale(e)) return;
        showWords('send-result', e.sentence ? { sentence: e.sentence, details: '' } : inWords(e));
    }
    state.busy = false;
    update();
}

// After a relay: the form starts again, empty.
function sent() {
    dropRecipients();
    if (state.sweep) setMax(false);
    $('send-amount').value = '';
    update();
}

// ---------------------------------------------------------------- drafts and sessions

function draftOf() {
    return {
        from: state.from, fromChosen: state.fromChosen, priority: $('send-priority').value,
        recipients: state.recipients.map((rec) => ({ address: rec.address.value, amount: state.sweep ? '' : rec.amount.value })),
    };
}

// A new session: a draft for the same wallet stays (or comes back);
// anything under way is dropped.
function sessionChanged(next, previous) {
    state.busy = false;
    if (/\u2026$/.test($('send-result').textContent)) showMessage('send-result', '');
    if (next.address === previous.address) {
        // Same wallet: only what was waiting for an answer starts again.
        for (const rec of state.recipients) if (rec.check.status === 'checking' || rec.check.status === 'waiting') onAddressInput(rec);
        return update();
    }
    if (previous.open) drafts.set(previous.address, draftOf());
    const draft = next.open ? drafts.get(next.address) : undefined;
    state.accounts = [];
    $('send-from').replaceChildren();
    state.from = draft?.from ?? 0;
    state.fromChosen = draft?.fromChosen ?? false;
    setMax(false);
    dropRecipients();
    $('send-priority').value = draft?.priority ?? '2';
    (draft?.recipients ?? [{ address: '', amount: '' }]).forEach((value, i) => fillRecipient(i === 0 ? state.recipients[0] : addRecipient(), value));
    showMessage('send-result', '');
    showMessage('send-unlock-message', '');
    $('send-unlock-password').value = '';
    update();
}

// The person closed the wallet (or it was locked): nothing of it is kept.
export function forgetDrafts() {
    drafts.clear();
}

async function unlockSending(event) {
    event.preventDefault();
    const s = session();
    const name = s.name || $('send-unlock-name').value.trim();
    if (!name) {
        showMessage('send-unlock-message', 'Enter the name of this wallet.', 'error');
        $('send-unlock-name').focus();
        return;
    }
    const password = $('send-unlock-password').value;
    $('send-unlock-password').value = '';
    showMessage('send-unlock-message', `Opening ${name}\u2026`);
    const error = await unlock(name, password);
    if (!error) {
        $('send-address').focus();
        return;
    }
    const words = inWords(error);
    showWords('send-unlock-message', { ...words, sentence: `Could not open ${name}. ${words.sentence}` });
    $('send-unlock-password').focus();
}

export function sendBlocked(reason) {
    const wasBlocked = state.blocked !== '';
    state.blocked = reason;
    // The checks could not run during the outage: run them now.
    const waiting = state.recipients.filter((rec) => rec.check.status === 'unreachable');
    if (wasBlocked && !reason && waiting.length > 0) for (const rec of waiting) onAddressInput(rec);
    else update();
}

// own(address): the name of one of the wallet's own addresses, or '';
// open(name, password): opens the wallet with its password, resolving to
// null or the error; onSent(): a transaction went out.
export function startSend({ own, open, onSent }) {
    ownAddress = own;
    unlock = open;
    state.recipients = [firstRecipient()];
    listen(state.recipients[0]);
    $('send-form').addEventListener('submit', review);
    $('send-max').addEventListener('click', () => setMax(!state.sweep));
    $('send-priority').addEventListener('change', changed);
    $('send-from').addEventListener('change', () => {
        state.fromChosen = true;
        chooseFrom(Number($('send-from').value));
    });
    $('send-add').addEventListener('click', () => {
        const rec = addRecipient();
        update();
        rec?.address.focus();
    });
    $('send-unlock').addEventListener('submit', unlockSending);
    startConfirm({
        update,
        onSent: () => {
            sent();
            onSent();
        },
    });
    onSessionChange(sessionChanged);
    update();
}
