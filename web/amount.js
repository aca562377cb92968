// Coin amounts: integers of atomic units, 12 decimal places. Everything here
// works on BigInt so that no amount ever passes through a float.

export const DECIMALS = 12;
export const UNIT = 10n ** BigInt(DECIMALS);
export const TICKER = 'KRV';
// Wallet amounts are unsigned 64-bit integers.
export const MAX_ATOMIC = (1n << 64n) - 1n;

// An amount as it arrives from JSON: a safe integer, a digit string (wide
// integers are kept as strings by parseJsonExact) or a BigInt.
export function toAtomic(value) {
    if (typeof value === 'bigint') return value;
    if (typeof value === 'number' && Number.isSafeInteger(value)) return BigInt(value);
    if (typeof value === 'string' && /^-?\d+$/.test(value)) return BigInt(value);
    throw new TypeError(`not an amount: ${String(value)}`);
}

// "12345.678901234567" for 12345678901234567n; always all 12 decimals.
export function formatAmount(value) {
    const atomic = toAtomic(value);
    const sign = atomic < 0n ? '-' : '';
    const abs = atomic < 0n ? -atomic : atomic;
    const whole = abs / UNIT;
    const frac = (abs % UNIT).toString().padStart(DECIMALS, '0');
    return `${sign}${whole}.${frac}`;
}

// Parses what a person typed or pasted ("1.5", ".25", "3", and the page's
// own figures: "1,000.5", "54,855.38 KRV") into atomic units, exactly.
// Commas only group thousands; "1,5" is refused rather than guessed at.
// Returns {value} or {error} with a sentence fit to show.
export function parseAmount(text) {
    const s = String(text ?? '').trim().replace(new RegExp(`\\s*${TICKER}$`, 'i'), '');
    if (s === '') return { error: 'Enter an amount.' };
    const m = /^(\d{1,3}(?:,\d{3})+|\d*)(?:\.(\d*))?$/.exec(s);
    if (!m || (m[1] === '' && (m[2] ?? '') === '')) {
        return { error: 'Amount must be a number such as 1,000.5 (digits, commas between thousands, one dot).' };
    }
    const frac = m[2] ?? '';
    if (frac.length > DECIMALS) return { error: `Amount has more than ${DECIMALS} decimal places.` };
    const value = BigInt(m[1].replace(/,/g, '') || '0') * UNIT + BigInt(frac.padEnd(DECIMALS, '0') || '0');
    if (value === 0n) return { error: 'Amount must be greater than zero.' };
    if (value > MAX_ATOMIC) return { error: 'Amount is too large.' };
    return { value };
}
