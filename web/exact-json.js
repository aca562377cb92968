// JSON with integers wider than a double holds exactly. Amounts in atomic
// units pass 2^53 at about 9007 coins, and JSON.parse would round them.

// Like JSON.parse, but an integer that is not a safe integer comes back as
// its digit string, so toAtomic() can turn it into an exact BigInt.
export function parseJsonExact(text) {
    if (SOURCE_TEXT) return JSON.parse(String(text), keepWideIntegers);
    return JSON.parse(quoteWideIntegers(String(text)));
}

// Where the reviver is shown each number's source text, a wide integer is
// taken from it directly: several times faster on a long transfer list
// than rewriting the text first.
const SOURCE_TEXT = (() => {
    let seen = false;
    try {
        JSON.parse('1', (key, value, context) => {
            seen = context?.source === '1';
            return value;
        });
    } catch {
        seen = false;
    }
    return seen;
})();

function keepWideIntegers(key, value, context) {
    if (typeof value === 'number' && !Number.isSafeInteger(value) && /^-?\d+$/.test(context.source)) return context.source;
    return value;
}

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
