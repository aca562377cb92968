// Numbers and times as people read them. Amounts stay BigInt throughout:
// digits are only ever dropped when they are trailing zeros.

import { DECIMALS, TICKER, toAtomic, UNIT } from './amount.js';

// Seconds between blocks on the chain, for "about 14 min" beside a count of blocks.
export const BLOCK_SECONDS = 120;

const MINUS = '\u2212';

function group(digits) {
    return digits.replace(/\B(?=(\d{3})+(?!\d))/g, ',');
}

// "12,345.678901234567", "1.50", "0.00003": thousands grouped, every decimal
// that is not a trailing zero kept, at least two decimals. With sign, a
// positive amount gets "+" and a negative one a minus sign.
export function formatCoins(value, { sign = false } = {}) {
    const atomic = toAtomic(value);
    const abs = atomic < 0n ? -atomic : atomic;
    let frac = (abs % UNIT).toString().padStart(DECIMALS, '0').replace(/0+$/, '');
    if (frac.length < 2) frac = frac.padEnd(2, '0');
    let prefix = atomic < 0n ? MINUS : '';
    if (sign && atomic > 0n) prefix = '+';
    return `${prefix}${group((abs / UNIT).toString())}.${frac}`;
}

export const coins = (value, options) => `${formatCoins(value, options)} ${TICKER}`;

// One formatter: making one for each number costs more than the rest of a redraw.
const GROUPED = new Intl.NumberFormat('en');

// A count as people read it: "10,000".
export const grouped = (n) => GROUPED.format(n);

// The amount as typed and searched for: "1.5", "12345.678901234567", "3".
export function plainAmount(value) {
    const abs = toAtomic(value) < 0n ? -toAtomic(value) : toAtomic(value);
    const frac = (abs % UNIT).toString().padStart(DECIMALS, '0').replace(/0+$/, '');
    return frac ? `${abs / UNIT}.${frac}` : `${abs / UNIT}`;
}

function plural(n, one, many = `${one}s`) {
    return `${n} ${n === 1 ? one : many}`;
}

const two = (n) => String(n).padStart(2, '0');
const MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', 'Dec'];

// "3 min ago", "in 2 h", "just now".
export function relativeTime(seconds, nowMs = Date.now()) {
    const diff = Math.round(nowMs / 1000 - seconds);
    const abs = Math.abs(diff);
    if (abs < 45) return 'just now';
    let text;
    if (abs < 3600) text = `${Math.max(1, Math.round(abs / 60))} min`;
    else if (abs < 86400) text = `${Math.round(abs / 3600)} h`;
    else if (abs < 60 * 86400) text = plural(Math.round(abs / 86400), 'day');
    else if (abs < 730 * 86400) text = plural(Math.round(abs / (30.44 * 86400)), 'month');
    else text = plural(Math.round(abs / (365.25 * 86400)), 'year');
    return diff >= 0 ? `${text} ago` : `in ${text}`;
}

// Asked once: a new Intl formatter for every time shown costs more than
// the rest of a table row.
let zone = null;

function zoneName() {
    if (zone === null) {
        try {
            zone = Intl.DateTimeFormat().resolvedOptions().timeZone || '';
        } catch {
            zone = '';
        }
    }
    return zone;
}

function utcOffset(date) {
    const minutes = -date.getTimezoneOffset();
    const sign = minutes < 0 ? '-' : '+';
    const abs = Math.abs(minutes);
    return `UTC${sign}${two(Math.floor(abs / 60))}:${two(abs % 60)}`;
}

// "2026-12-08 14:02:11 Europe/Berlin (UTC+01:00)": the full local time.
export function fullTime(seconds) {
    const d = new Date(seconds * 1000);
    const date = `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())}`;
    const time = `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
    const zone = zoneName();
    return `${date} ${time} ${zone ? `${zone} (${utcOffset(d)})` : utcOffset(d)}`;
}

// {text: "14:02 (3 min ago)", title: the full time}. The date is left out
// for today and the year for this year.
export function formatWhen(seconds, nowMs = Date.now()) {
    if (!Number.isFinite(seconds) || seconds <= 0) return { text: '—', title: '' };
    const d = new Date(seconds * 1000);
    const now = new Date(nowMs);
    const clock = `${two(d.getHours())}:${two(d.getMinutes())}`;
    let day = '';
    if (d.toDateString() !== now.toDateString()) {
        day = `${d.getDate()} ${MONTHS[d.getMonth()]}${d.getFullYear() === now.getFullYear() ? '' : ` ${d.getFullYear()}`} `;
    }
    return { text: `${day}${clock} (${relativeTime(seconds, nowMs)})`, title: fullTime(seconds) };
}

// "2026-12-08T13:02:11Z".
export function isoTime(seconds) {
    if (!Number.isFinite(seconds) || seconds <= 0) return '';
    return new Date(seconds * 1000).toISOString().replace(/\.\d{3}Z$/, 'Z');
}

// "about 14 min", "about 3 h" for a span of seconds.
export function aboutDuration(seconds) {
    const s = Math.max(0, seconds);
    if (s < 90) return 'about 1 min';
    if (s < 5400) return `about ${Math.round(s / 60)} min`;
    if (s < 2 * 86400) return `about ${Math.round(s / 3600)} h`;
    return `about ${plural(Math.round(s / 86400), 'day')}`;
}

// "about 7 blocks (about 14 min)".
export function aboutBlocks(blocks) {
    const n = Math.max(1, blocks);
    return `about ${plural(n, 'block')} (${aboutDuration(n * BLOCK_SECONDS)})`;
}
