// The wallet's transfer history as the page keeps it: the newest blocks
// first, then older ones in height ranges while the page is in use, then
// only what is new (confirmed entries above the highest height known, plus
// the short unconfirmed lists), merged so that an entry moving from the
// pool or pending into a block appears once. Also the searching, the lock
// arithmetic and the CSV export, all without the DOM. A record is kept
// small (100,000 of them stay under 30 MB): repeated text is shared, and
// keys and search forms are worked out when needed.

import { formatAmount, toAtomic, UNIT } from './amount.js';
import { aboutBlocks, aboutDuration, BLOCK_SECONDS, isoTime } from './format.js';

const KINDS = ['in', 'out', 'pending', 'pool', 'failed'];
// Incoming money can be spent once it is this many blocks deep.
const UNLOCK_BLOCKS = 10;
// An unlock_time below this is a block height, from it on a Unix time.
const UNLOCK_TIME_IS_HEIGHT_BELOW = 500000000;
const INCOMING = new Set(['in', 'pool']);
const NO_PAYMENT_ID = /^0*$/;
const ZERO = 0n;
// The newest blocks asked for first: enough for a first page at a few
// transfers a block, little enough to come at once.
const FIRST_BLOCKS = 20;
// Each older range aims at this many transfers, so that taking one in stays
// a short task; across empty stretches the range grows at most eightfold.
const RANGE_TRANSFERS = 1500;
const RANGE_GROWTH = 8;

const direction = (kind) => (INCOMING.has(kind) ? 'in' : 'out');

// One transfer keeps its key from the pool (or pending) into a block.
export function keyOf(r) {
    return `${direction(r.kind)}:${r.txid}:${r.major}:${r.minor}`;
}

const waiting = (r) => r.kind === 'pending' || r.kind === 'pool';

// Unconfirmed ones on top, then the newest by time, then by height; ties
// in a fixed order.
function newestFirst(a, b) {
    const wa = waiting(a);
    if (wa !== waiting(b)) return wa ? -1 : 1;
    if (a.timestamp !== b.timestamp) return b.timestamp - a.timestamp;
    if (a.height !== b.height) return b.height - a.height;
    if (a.txid !== b.txid) return a.txid < b.txid ? -1 : 1;
    if (a.kind !== b.kind) return direction(a.kind) < direction(b.kind) ? -1 : 1;
    return a.major - b.major || a.minor - b.minor;
}

// b (in newestFirst order) merged into a, in place: only the part of a from
// where b's first entry goes is walked, so an older range costs its own size.
function mergeInto(a, b) {
    if (b.length === 0) return a;
    let lo = 0;
    let hi = a.length;
    while (lo < hi) {
        const mid = (lo + hi) >> 1;
        if (newestFirst(a[mid], b[0]) <= 0) lo = mid + 1;
        else hi = mid;
    }
    const tail = a.splice(lo);
    let i = 0;
    let j = 0;
    while (i < tail.length && j < b.length) a.push(newestFirst(tail[i], b[j]) <= 0 ? tail[i++] : b[j++]);
    while (i < tail.length) a.push(tail[i++]);
    while (j < b.length) a.push(b[j++]);
    return a;
}

export class TransferHistory {
    constructor() {
        this.clear();
    }

    clear() {
        // Records by txid: one record, or a list when a txid has several
        // (a send to yourself, money to several of your addresses).
        this.byTxid = new Map();
        this.sorted = [];
        this.count = 0;
        this.maxHeight = 0;
        // Every confirmed transfer above this height is held.
        this.floor = null;
        // How many blocks the last older range spanned.
        this.span = FIRST_BLOCKS;
        this.needFailed = false;
        this.shared = new Map();
        this.lowered = new Map();
        // The records in no block (pending, pool, failed), for the lists that come whole.
        this.unconfirmed = new Set();
    }

    // The first answer is in.
    get loaded() {
        return this.floor !== null;
    }

    // Every transfer down to the first block is in.
    get complete() {
        return this.floor === 0;
    }

    // Params of the next poll's get_transfers call: at first the newest
    // blocks below walletHeight and every unconfirmed list, then what is
    // above the highest height held. A failed send was pending before, so
    // afterwards the failed list is asked for only when a pending one left
    // its list without reaching a block.
    request(walletHeight = 0) {
        const base = { in: true, out: true, pending: true, pool: true, all_accounts: true, filter_by_height: true };
        if (!this.loaded) return { ...base, failed: true, min_height: Math.max(0, walletHeight - FIRST_BLOCKS) };
        return { ...base, failed: this.needFailed, min_height: Math.max(this.maxHeight, this.floor) };
    }

    // Params of the next older range, or null when the history is complete.
    olderRequest() {
        if (!this.loaded || this.complete) return null;
        const depth = Math.max(1, this.maxHeight - this.floor);
        const perBlock = this.count / depth;
        const span = Math.max(1, Math.min(Math.ceil(RANGE_TRANSFERS / Math.max(perBlock, 1e-9)), this.span * RANGE_GROWTH));
        return { in: true, out: true, all_accounts: true, filter_by_height: true, min_height: Math.max(0, this.floor - span), max_height: this.floor };
    }

    // Takes the answer to request(params) or olderRequest(); returns
    // {changed, arrived}: whether the list changed, and the incoming
    // transfers seen for the first time in a poll after the first.
    accept(params, result, walletHeight) {
        const fresh = [];
        for (const kind of KINDS) {
            const list = Array.isArray(result?.[kind]) ? result[kind] : [];
            for (const t of list) fresh.push(this.record(kind, t, walletHeight));
        }
        const first = !this.loaded;
        const older = params.max_height !== undefined;
        const removed = older ? new Set() : this.vanished(params, fresh);
        const added = [];
        const arrived = [];
        for (const r of fresh) {
            const old = this.lookup(r);
            if (old && !differs(old, r)) continue;
            if (old) removed.add(old);
            else if (!first && !older && INCOMING.has(r.kind)) arrived.push(r);
            this.put(r, old);
            added.push(r);
        }
        if (older) this.span = params.max_height - params.min_height;
        if (first || older) this.floor = params.min_height;
        const changed = first || removed.size > 0 || added.length > 0;
        if (removed.size > 0) this.sorted = this.sorted.filter((r) => !removed.has(r));
        mergeInto(this.sorted, added.sort(newestFirst));
        this.count = this.sorted.length;
        for (const r of added) if (r.height > this.maxHeight) this.maxHeight = r.height;
        // A send to yourself arrives too, but it is not news.
        return { changed, arrived: arrived.filter((r) => !this.sentToo(r)) };
    }

    // The unconfirmed lists asked for come whole: what is missing from them
    // left the pool without reaching a block we know of.
    vanished(params, fresh) {
        const complete = new Set(['pending', 'pool', ...(params.failed ? ['failed'] : [])]);
        const keep = new Set(fresh.map(keyOf));
        const gone = new Set();
        let pendingGone = false;
        for (const r of this.unconfirmed) {
            if (!complete.has(r.kind) || keep.has(keyOf(r))) continue;
            gone.add(r);
            this.drop(r);
            pendingGone ||= r.kind === 'pending';
        }
        this.needFailed = pendingGone;
        return gone;
    }

    record(kind, t, walletHeight) {
        const address = this.share(String(t.address ?? ''));
        const note = this.share(String(t.note ?? ''));
        const fee = toAtomic(t.fee ?? 0);
        return {
            kind,
            txid: String(t.txid ?? ''),
            amount: toAtomic(t.amount ?? 0),
            fee: fee === ZERO ? ZERO : fee,
            height: kind === 'in' || kind === 'out' ? Number(t.height ?? 0) : 0,
            timestamp: Number(t.timestamp ?? 0),
            confirmations: Number(t.confirmations ?? 0),
            address,
            unlockTime: Number(t.unlock_time ?? 0),
            lockedFlag: typeof t.locked === 'boolean' ? t.locked : null,
            paymentId: NO_PAYMENT_ID.test(String(t.payment_id ?? '')) ? '' : this.share(String(t.payment_id)),
            note,
            major: Number(t.subaddr_index?.major ?? 0),
            minor: Number(t.subaddr_index?.minor ?? 0),
            doubleSpendSeen: t.double_spend_seen === true,
            seenAt: walletHeight,
            // What the search looks through besides ids and amounts.
            haystack: note ? this.share(`${address}\n${note}`.toLowerCase()) : this.lower(address),
        };
    }

    // One copy of each text that many records hold (the same addresses,
    // notes and search forms come back thousands of times).
    share(text) {
        if (text === '') return '';
        const known = this.shared.get(text);
        if (known !== undefined) return known;
        this.shared.set(text, text);
        return text;
    }

    // The search form of an address, made once for all its transfers.
    lower(address) {
        let form = this.lowered.get(address);
        if (form === undefined) {
            form = address.toLowerCase();
            this.lowered.set(address, form);
        }
        return form;
    }

    lookup(r) {
        const found = this.byTxid.get(r.txid);
        if (!found) return undefined;
        const key = keyOf(r);
        return (Array.isArray(found) ? found : [found]).find((x) => keyOf(x) === key);
    }

    put(r, old) {
        if (old) this.unconfirmed.delete(old);
        if (r.height === 0) this.unconfirmed.add(r);
        const found = this.byTxid.get(r.txid);
        if (!found) this.byTxid.set(r.txid, r);
        else if (Array.isArray(found)) found.splice(old ? found.indexOf(old) : found.length, old ? 1 : 0, r);
        else this.byTxid.set(r.txid, found === old ? r : [found, r]);
    }

    drop(r) {
        this.unconfirmed.delete(r);
        const found = this.byTxid.get(r.txid);
        if (found === r) this.byTxid.delete(r.txid);
        else if (Array.isArray(found)) {
            const rest = found.filter((x) => x !== r);
            this.byTxid.set(r.txid, rest.length === 1 ? rest[0] : rest);
        }
    }

    sentToo(r) {
        const found = this.byTxid.get(r.txid);
        return Array.isArray(found) && found.some((x) => !INCOMING.has(x.kind));
    }

    // The record of a key made by keyOf().
    find(key) {
        const [, txid] = String(key).split(':');
        const found = this.byTxid.get(txid);
        return (Array.isArray(found) ? found : found ? [found] : []).find((x) => keyOf(x) === key);
    }
}

function differs(old, r) {
    return old.kind !== r.kind || old.height !== r.height || old.lockedFlag !== r.lockedFlag ||
        old.note !== r.note || old.doubleSpendSeen !== r.doubleSpendSeen;
}

// ---------------------------------------------------------------- locks

function confirmationsOf(r, walletHeight) {
    if (r.height <= 0) return 0;
    return Math.max(r.confirmations + Math.max(0, walletHeight - r.seenAt), walletHeight - r.height, 0);
}

// For incoming money: {locked, text}; null for what was sent. The wallet's
// own flag holds for the height it was given at; later the blocks on top
// are counted here, so a lock ends without fetching the entry again.
export function unlockState(r, walletHeight, nowSeconds = Date.now() / 1000) {
    if (!INCOMING.has(r.kind)) return null;
    if (r.kind === 'pool') {
        return { locked: true, blocks: Infinity, text: `in the pool; spendable ${UNLOCK_BLOCKS} blocks after it is confirmed` };
    }
    let blocks = UNLOCK_BLOCKS - confirmationsOf(r, walletHeight);
    let seconds = 0;
    if (r.unlockTime > 0 && r.unlockTime < UNLOCK_TIME_IS_HEIGHT_BELOW) blocks = Math.max(blocks, r.unlockTime - walletHeight);
    else if (r.unlockTime > 0) seconds = r.unlockTime - nowSeconds;
    let locked = blocks > 0 || seconds > 0;
    if (r.lockedFlag === false) locked = false;
    else if (r.lockedFlag === true && r.seenAt >= walletHeight) locked = true;
    if (!locked) return { locked: false, blocks: 0, text: 'unlocked' };
    if (seconds > 0 && seconds > blocks * BLOCK_SECONDS) {
        return { locked: true, blocks: Math.max(1, blocks), text: `unlocks in ${aboutDuration(seconds)}` };
    }
    return { locked: true, blocks: Math.max(1, blocks), text: `unlocks in ${aboutBlocks(blocks)}` };
}

// "3 of 10" while incoming money is locked, else the plain count.
export function confirmationsText(r, walletHeight) {
    if (waiting(r) || r.kind === 'failed') return '0';
    const n = confirmationsOf(r, walletHeight);
    const lock = unlockState(r, walletHeight);
    return lock?.locked && n < UNLOCK_BLOCKS ? `${n} of ${UNLOCK_BLOCKS}` : String(n);
}

// ---------------------------------------------------------------- search

// The search text taken apart once, not for each of 100,000 transfers. A
// term of hex digits is a transaction id or payment id prefix; a number is
// an amount ("12" is 12.xx, "1.5" is 1.5 and 1.5x), held as the range of
// atomic amounts it stands for; any term may be part of the address or the
// note.
function compileTerms(text) {
    return text.toLowerCase().split(/\s+/).filter(Boolean).map((term) => {
        const hex = /^[0-9a-f]+$/.test(term);
        const number = /^[\d,]*\.?\d*$/.test(term) && /\d/.test(term);
        return { term, hex, amount: number ? amountRange(term) : null };
    });
}

// [low, high) of the atomic amounts whose digits start like term.
function amountRange(term) {
    const [whole = '', fraction = ''] = term.replace(/,/g, '').split('.');
    const digits = fraction.replace(/0+$/, '');
    // Finer than an atomic unit: no amount is.
    if (digits.length > 12) return { low: 0n, high: 0n };
    const step = 10n ** BigInt(12 - digits.length);
    const low = BigInt(whole || '0') * UNIT + BigInt(digits || '0') * step;
    return { low, high: low + step };
}

function termMatches(r, t) {
    if (t.hex && (r.txid.startsWith(t.term) || (r.paymentId && r.paymentId.startsWith(t.term)))) return true;
    if (t.amount && r.amount >= t.amount.low && r.amount < t.amount.high) return true;
    return r.haystack.includes(t.term);
}

// The test a filter makes of one transfer, or null when it lets all
// through: kinds (a Set, empty for all), text, from and to (Unix seconds,
// to exclusive; null for open).
function matcher(filter) {
    const { kinds, from, to } = filter;
    const terms = compileTerms(filter.text ?? '');
    if (kinds.size === 0 && from === null && to === null && terms.length === 0) return null;
    return (r) => (kinds.size === 0 || kinds.has(r.kind)) &&
        (from === null || r.timestamp >= from) && (to === null || r.timestamp < to) &&
        terms.every((t) => termMatches(r, t));
}

// The transfers a filter lets through.
export function filterRecords(sorted, filter) {
    const test = matcher(filter);
    return test ? sorted.filter(test) : sorted;
}

// The same, a slice at a time with a pause between, so that a search of
// 100,000 transfers never holds the page for long; rejects once the signal
// is aborted (the text changed again).
export async function filterInSteps(sorted, filter, signal, step = 20000) {
    const test = matcher(filter);
    if (!test) return sorted;
    const out = [];
    for (let start = 0; start < sorted.length; start += step) {
        if (start > 0) {
            await new Promise((resolve) => setTimeout(resolve));
            signal.throwIfAborted();
        }
        const end = Math.min(sorted.length, start + step);
        for (let i = start; i < end; i++) if (test(sorted[i])) out.push(sorted[i]);
    }
    return out;
}

// ---------------------------------------------------------------- CSV

const CSV_HEADER = ['time', 'type', 'status', 'amount', 'fee', 'height', 'txid', 'address', 'payment_id', 'note', 'account',
    'subaddress', 'unlock_time'];

// Text a person or a peer chose is written so that no spreadsheet runs it as
// a formula, and quoted when it holds a separator, a quote or a line break.
// Spreadsheets skip leading blanks before they look for a formula.
const FORMULA = /^[^\S\t\r]*[=+\-@\t\r]/;

function csvText(value) {
    let s = String(value);
    if (FORMULA.test(s)) s = `'${s}`;
    return /[",\r\n]/.test(s) ? `"${s.replace(/"/g, '""')}"` : s;
}

// What became of a transfer: confirmed, locked (incoming, not yet
// spendable), pending (sent, not in a block), pool (incoming, not in a
// block) or failed (it moved nothing).
function statusOf(r, walletHeight) {
    if (r.kind === 'failed' || r.kind === 'pending' || r.kind === 'pool') return r.kind;
    return unlockState(r, walletHeight)?.locked ? 'locked' : 'confirmed';
}

// Type is the direction (in or out), status what became of it. Amounts are
// signed by direction (received positive, sent negative) with all 12
// decimals; the amounts and fees of the rows that did not fail add up to
// the balance. Times in UTC, ISO 8601.
export function toCsv(records, walletHeight) {
    const lines = [CSV_HEADER.join(',')];
    for (const r of records) {
        const signed = INCOMING.has(r.kind) ? r.amount : -r.amount;
        lines.push([
            isoTime(r.timestamp), direction(r.kind), statusOf(r, walletHeight), formatAmount(signed), formatAmount(r.fee),
            r.height > 0 ? r.height : '', csvText(r.txid), csvText(r.address), csvText(r.paymentId), csvText(r.note), r.major,
            r.minor, r.unlockTime,
        ].join(','));
    }
    return `${lines.join('\r\n')}\r\n`;
}

// "krv-alice-transfers-2026-12-08.csv".
export function csvFileName(walletName, nowMs = Date.now()) {
    const d = new Date(nowMs);
    const date = `${d.getFullYear()}-${String(d.getMonth() + 1).padStart(2, '0')}-${String(d.getDate()).padStart(2, '0')}`;
    const name = String(walletName || 'wallet').replace(/[^A-Za-z0-9._-]+/g, '_').replace(/^[._]+/, '') || 'wallet';
    return `krv-${name}-transfers-${date}.csv`;
}

// ---------------------------------------------------------------- balance in words

// False for what cannot be locked, without working it out: what was sent,
// and incoming money deep enough with no unlock time of its own.
function mayBeLocked(r, walletHeight) {
    if (r.kind === 'pool') return true;
    if (r.kind !== 'in') return false;
    return r.unlockTime !== 0 || walletHeight - r.height < UNLOCK_BLOCKS || (r.lockedFlag === true && r.seenAt >= walletHeight);
}

// Why balance and unlocked differ, in one sentence or two. While the older
// history is still coming (complete false), what no transfer held accounts
// for is not yet called change.
export function lockedSummary(sorted, balance, unlocked, walletHeight, formatCoins, complete = true) {
    const locked = toAtomic(balance) - toAtomic(unlocked);
    if (locked <= 0n) return 'All of it can be spent now.';
    const waiting = [];
    let lockedIn = 0n;
    for (const r of sorted) {
        if (!mayBeLocked(r, walletHeight)) continue;
        const state = unlockState(r, walletHeight);
        if (!state?.locked) continue;
        waiting.push(state);
        lockedIn += r.amount;
    }
    const confirmed = waiting.filter((s) => Number.isFinite(s.blocks)).sort((a, b) => a.blocks - b.blocks);
    const pool = waiting.length - confirmed.length;
    const parts = [];
    if (confirmed.length === 1) parts.push(`1 incoming transfer that ${confirmed[0].text}`);
    else if (confirmed.length > 1) {
        parts.push(`${confirmed.length} incoming transfers; the first ${confirmed[0].text}, ` +
            `the last ${confirmed[confirmed.length - 1].text.replace(/^unlocks /, '')}`);
    }
    if (pool > 0) parts.push(`${pool} still in the pool`);
    let text = `${formatCoins(locked)} is locked${parts.length ? `: ${parts.join('; ')}` : ''}.`;
    if (lockedIn < locked && complete) {
        text += ` ${formatCoins(locked - lockedIn)} of it is change from your own sends, spendable ${UNLOCK_BLOCKS} blocks after they are confirmed.`;
    }
    return text;
}
