// The wallet's transfer history as the page keeps it: fetched whole once,
// then only what is new (confirmed entries above the highest height known,
// plus the short unconfirmed lists), merged so that an entry moving from
// the pool or pending into a block appears once. Also the searching, the
// lock arithmetic and the CSV export, all without the DOM.

import { formatAmount, toAtomic } from './amount.js';
import { aboutBlocks, aboutDuration, BLOCK_SECONDS, isoTime, plainAmount } from './format.js';

const KINDS = ['in', 'out', 'pending', 'pool', 'failed'];
// Incoming money can be spent once it is this many blocks deep.
const UNLOCK_BLOCKS = 10;
// An unlock_time below this is a block height, from it on a Unix time.
const UNLOCK_TIME_IS_HEIGHT_BELOW = 500000000;
const INCOMING = new Set(['in', 'pool']);
const WAITING = new Set(['pending', 'pool']);
const NO_PAYMENT_ID = /^0*$/;

// One transfer keeps its key from the pool (or pending) into a block.
function keyOf(kind, txid, major, minor) {
    return `${INCOMING.has(kind) ? 'in' : 'out'}:${txid}:${major}:${minor}`;
}

function record(kind, t, walletHeight) {
    const txid = String(t.txid ?? '');
    const major = Number(t.subaddr_index?.major ?? 0);
    const minor = Number(t.subaddr_index?.minor ?? 0);
    const amount = toAtomic(t.amount ?? 0);
    const paymentId = NO_PAYMENT_ID.test(String(t.payment_id ?? '')) ? '' : String(t.payment_id);
    const r = {
        key: keyOf(kind, txid, major, minor),
        kind,
        txid,
        amount,
        fee: toAtomic(t.fee ?? 0),
        height: kind === 'in' || kind === 'out' ? Number(t.height ?? 0) : 0,
        timestamp: Number(t.timestamp ?? 0),
        confirmations: Number(t.confirmations ?? 0),
        address: String(t.address ?? ''),
        unlockTime: Number(t.unlock_time ?? 0),
        lockedFlag: typeof t.locked === 'boolean' ? t.locked : null,
        paymentId,
        note: String(t.note ?? ''),
        major,
        minor,
        doubleSpendSeen: t.double_spend_seen === true,
        seenAt: walletHeight,
    };
    r.amountText = plainAmount(amount);
    [r.amountWhole, r.amountFraction = ''] = r.amountText.split('.');
    r.haystack = `${r.address}\n${r.note}`.toLowerCase();
    return r;
}

// Unconfirmed ones on top, then the newest by time, then by height.
function newestFirst(a, b) {
    return (WAITING.has(b.kind) - WAITING.has(a.kind)) || (b.timestamp - a.timestamp) ||
        (b.height - a.height) || (a.key < b.key ? -1 : a.key > b.key ? 1 : 0);
}

export class TransferHistory {
    constructor() {
        this.clear();
    }

    clear() {
        this.byKey = new Map();
        this.sorted = [];
        this.maxHeight = 0;
        this.loaded = false;
        this.needFailed = false;
    }

    // Params of the next get_transfers call. A failed send was pending
    // before, so after the first fetch the failed list is asked for only
    // when a pending one left its list without reaching a block.
    request() {
        const base = { in: true, out: true, pending: true, pool: true, all_accounts: true };
        if (!this.loaded) return { ...base, failed: true };
        return { ...base, failed: this.needFailed, filter_by_height: true, min_height: this.maxHeight };
    }

    // Takes the answer to request(params); true when the list changed.
    accept(params, result, walletHeight) {
        const fresh = [];
        for (const kind of KINDS) {
            const list = Array.isArray(result?.[kind]) ? result[kind] : [];
            for (const t of list) fresh.push(record(kind, t, walletHeight));
        }
        let changed = !this.loaded;
        if (!params.filter_by_height) {
            this.byKey = new Map(fresh.map((r) => [r.key, r]));
            changed = true;
        } else {
            // The unconfirmed lists asked for come whole: what is missing
            // from them left the pool without reaching a block we know of.
            const complete = new Set(['pending', 'pool', ...(params.failed ? ['failed'] : [])]);
            const keep = new Set(fresh.map((r) => r.key));
            let vanished = false;
            for (const [key, r] of this.byKey) {
                if (complete.has(r.kind) && !keep.has(key)) {
                    this.byKey.delete(key);
                    vanished ||= r.kind === 'pending';
                    changed = true;
                }
            }
            this.needFailed = vanished;
            for (const r of fresh) {
                const old = this.byKey.get(r.key);
                if (!old || old.kind !== r.kind || old.height !== r.height || old.lockedFlag !== r.lockedFlag ||
                    old.note !== r.note || old.doubleSpendSeen !== r.doubleSpendSeen) changed = true;
                this.byKey.set(r.key, r);
            }
        }
        this.loaded = true;
        if (changed) {
            this.sorted = [...this.byKey.values()].sort(newestFirst);
            this.maxHeight = this.sorted.reduce((m, r) => Math.max(m, r.height), 0);
        }
        return changed;
    }

    find(key) {
        return this.byKey.get(key);
    }
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
    if (WAITING.has(r.kind) || r.kind === 'failed') return '0';
    const n = confirmationsOf(r, walletHeight);
    const lock = unlockState(r, walletHeight);
    return lock?.locked && n < UNLOCK_BLOCKS ? `${n} of ${UNLOCK_BLOCKS}` : String(n);
}

// ---------------------------------------------------------------- search

// The search text taken apart once, not for each of 10,000 transfers. A
// term of hex digits is a transaction id or payment id prefix; a number is
// an amount ("12" is 12.xx, "1.5" is 1.5 and 1.5x); any term may be part of
// the address or the note.
function compileTerms(text) {
    return text.toLowerCase().split(/\s+/).filter(Boolean).map((term) => {
        const hex = /^[0-9a-f]+$/.test(term);
        const amount = /^[\d,]*\.?\d*$/.test(term) && /\d/.test(term);
        const [whole = '', fraction] = term.replace(/,/g, '').split('.');
        return { term, hex, amount, whole: whole.replace(/^0+(?=\d)/, '') || '0', fraction: fraction?.replace(/0+$/, '') ?? null };
    });
}

function termMatches(r, t) {
    if (t.hex && (r.txid.startsWith(t.term) || (r.paymentId && r.paymentId.startsWith(t.term)))) return true;
    if (t.amount && r.amountWhole === t.whole && (t.fraction === null || r.amountFraction.startsWith(t.fraction))) return true;
    return r.haystack.includes(t.term);
}

// The transfers a filter lets through: kinds (a Set, empty for all), text,
// from and to (Unix seconds, to exclusive; null for open).
export function filterRecords(sorted, filter) {
    const { kinds, from, to } = filter;
    const terms = compileTerms(filter.text ?? '');
    if (kinds.size === 0 && from === null && to === null && terms.length === 0) return sorted;
    return sorted.filter((r) => (kinds.size === 0 || kinds.has(r.kind)) &&
        (from === null || r.timestamp >= from) && (to === null || r.timestamp < to) &&
        terms.every((t) => termMatches(r, t)));
}

// ---------------------------------------------------------------- CSV

const CSV_HEADER = ['time', 'type', 'amount', 'fee', 'height', 'txid', 'address', 'payment_id', 'note', 'account', 'subaddress', 'unlock_time'];

// Text a person or a peer chose is written so that no spreadsheet runs it as
// a formula, and quoted when it holds a separator, a quote or a line break.
// Spreadsheets skip leading blanks before they look for a formula.
const FORMULA = /^[^\S\t\r]*[=+\-@\t\r]/;

function csvText(value) {
    let s = String(value);
    if (FORMULA.test(s)) s = `'${s}`;
    return /[",\r\n]/.test(s) ? `"${s.replace(/"/g, '""')}"` : s;
}

// Amounts signed by direction (received positive, sent negative) with all
// 12 decimals; times in UTC, ISO 8601.
export function toCsv(records) {
    const lines = [CSV_HEADER.join(',')];
    for (const r of records) {
        const signed = INCOMING.has(r.kind) ? r.amount : -r.amount;
        lines.push([
            isoTime(r.timestamp), r.kind, formatAmount(signed), formatAmount(r.fee), r.height > 0 ? r.height : '',
            csvText(r.txid), csvText(r.address), csvText(r.paymentId), csvText(r.note), r.major, r.minor, r.unlockTime,
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

// Why balance and unlocked differ, in one sentence or two.
export function lockedSummary(sorted, balance, unlocked, walletHeight, formatCoins) {
    const locked = toAtomic(balance) - toAtomic(unlocked);
    if (locked <= 0n) return 'All of it can be spent now.';
    const waiting = [];
    let lockedIn = 0n;
    for (const r of sorted) {
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
    if (lockedIn < locked) {
        text += ` ${formatCoins(locked - lockedIn)} of it is change from your own sends, spendable ${UNLOCK_BLOCKS} blocks after they are confirmed.`;
    }
    return text;
}
