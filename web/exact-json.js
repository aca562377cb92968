// JSON with integers wider than a double holds exactly. Amounts in atomic
// units pass 2^53 at about 9007 coins, and JSON.parse would round them.

// Like JSON.parse, but an integer that is not a safe integer comes back as
// its digit string, so toAtomic() can turn it into an exact BigInt.
export function parseJsonExact(text) {
    const source = String(text);
    // Fast path for long answers (a history of 10,000 transfers): quote the
    // wide integers that stand where a value stands, then parse natively. A
    // run of digits inside a string that looks like one gets quotes that end
    // the string early, which no JSON allows; that throws, and the careful
    // scan below takes over.
    try {
        return JSON.parse(source.replace(WIDE_VALUE, (match, before, digits) =>
            (Number.isSafeInteger(Number(digits)) ? match : `${before}"${digits}"`)));
    } catch {
        return JSON.parse(quoteWideIntegers(source));
    }
}

// A value position (the start, or after ":", "[" or ","), an integer of 16
// digits or more, then the end of the value. Every JSON value stands in
// one of those places.
const WIDE_VALUE = /(^\s*|[:[,]\s*)(-?\d{16,})(?=\s*(?:[,\]}]|$))/g;

function quoteWideIntegers(text) {
    let out = '';
    let i = 0;
    while (i < text.length) {
        const c = text[i];
        if (c === '"') {
            const end = stringEnd(text, i);
            out += text.slice(i, end);
            i = end;
        } else if (c === '-' || (c >= '0' && c <= '9')) {
            const m = /^-?\d+(\.\d+)?([eE][+-]?\d+)?/.exec(text.slice(i, i + 400));
            const token = m ? m[0] : c;
            const wide = m && !m[1] && !m[2] && !Number.isSafeInteger(Number(token));
            out += wide ? `"${token}"` : token;
            i += token.length;
        } else {
            out += c;
            i += 1;
        }
    }
    return out;
}

// Index just past the string literal that starts at text[start].
function stringEnd(text, start) {
    let i = start + 1;
    while (i < text.length) {
        if (text[i] === '\\') i += 2;
        else if (text[i] === '"') return i + 1;
        else i += 1;
    }
    return text.length;
}

// Like JSON.stringify for plain data, but a BigInt is written as a bare
// integer literal, digit for digit.
export function stringifyExact(value) {
    if (typeof value === 'bigint') return value.toString();
    if (Array.isArray(value)) {
        return `[${value.map((v) => stringifyExact(v === undefined ? null : v)).join(',')}]`;
    }
    if (value !== null && typeof value === 'object') {
        const parts = Object.entries(value)
            .filter(([, v]) => v !== undefined && typeof v !== 'function')
            .map(([k, v]) => `${JSON.stringify(k)}:${stringifyExact(v)}`);
        return `{${parts.join(',')}}`;
    }
    return JSON.stringify(value) ?? 'null';
}
