// The page's pure modules, run in Node: exact amounts, exact JSON, and the
// log follower's offset bookkeeping.

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { formatAmount, parseAmount, toAtomic } from '../../web/amount.js';
import { parseJsonExact, stringifyExact } from '../../web/exact-json.js';
import { LogFollower } from '../../web/log-follow.js';

describe('amounts', () => {
    it('formats atomic units with all 12 decimals, exactly', () => {
        const cases = [
            [0n, '0.000000000000'],
            [1n, '0.000000000001'],
            [1500000000000n, '1.500000000000'],
            [12345678901234567n, '12345.678901234567'],
            [-30000000n, '-0.000030000000'],
            [18446744073709551615n, '18446744.073709551615'],
            ['9007199254740993', '9007.199254740993'],
            [42, '0.000000000042'],
        ];
        for (const [value, text] of cases) assert.equal(formatAmount(value), text, String(value));
    });

    it('parses typed amounts exactly and refuses what it cannot represent', () => {
        const good = [
            ['1.5', 1500000000000n],
            ['.25', 250000000000n],
            ['3', 3000000000000n],
            [' 0.000000000001 ', 1n],
            ['12345.678901234567', 12345678901234567n],
            ['18446744.073709551615', 18446744073709551615n],
            ['0007.10', 7100000000000n],
        ];
        for (const [text, value] of good) assert.deepEqual(parseAmount(text), { value }, text);
        const bad = [
            ['', /Enter an amount/],
            ['0', /greater than zero/],
            ['0.000', /greater than zero/],
            ['1.0000000000001', /more than 12 decimal/],
            ['-1', /plain number/],
            ['1e3', /plain number/],
            ['1,5', /plain number/],
            ['.', /plain number/],
            ['1.2.3', /plain number/],
            ['18446744.073709551616', /too large/],
        ];
        for (const [text, error] of bad) assert.match(parseAmount(text).error ?? '', error, text);
    });

    it('refuses values that are not integers of atomic units', () => {
        for (const v of [1.5, '1.5', '', null, undefined, Number.MAX_SAFE_INTEGER + 2]) {
            assert.throws(() => toAtomic(v), TypeError, String(v));
        }
    });
});

describe('exact JSON', () => {
    it('keeps integers beyond 2^53 digit for digit', () => {
        const text = '{"balance":12345678901234567,"unlocked_balance":18446744073709551615,"height":2500,"f":1.5,' +
            '"e":1e30,"neg":-9007199254740993,"s":"12345678901234567890 in a string","a":[9007199254740993]}';
        const v = parseJsonExact(text);
        assert.equal(toAtomic(v.balance), 12345678901234567n);
        assert.equal(toAtomic(v.unlocked_balance), 18446744073709551615n);
        assert.equal(v.height, 2500);
        assert.equal(v.f, 1.5);
        assert.equal(v.e, 1e30);
        assert.equal(toAtomic(v.neg), -9007199254740993n);
        assert.equal(v.s, '12345678901234567890 in a string');
        assert.equal(toAtomic(v.a[0]), 9007199254740993n);
    });

    it('leaves numbers inside strings with escaped quotes alone', () => {
        const v = parseJsonExact('{"m":"say \\"12345678901234567890\\" now","n":12345678901234567890}');
        assert.equal(v.m, 'say "12345678901234567890" now');
        assert.equal(v.n, '12345678901234567890');
    });

    it('writes BigInt as a bare integer and round-trips', () => {
        const call = { jsonrpc: '2.0', id: 7, method: 'transfer', params: { destinations: [{ amount: 18446744073709551615n, address: 'K"\\' }] }, skip: undefined };
        const text = stringifyExact(call);
        assert.equal(text, '{"jsonrpc":"2.0","id":7,"method":"transfer","params":{"destinations":[{"amount":18446744073709551615,"address":"K\\"\\\\"}]}}');
        assert.equal(toAtomic(parseJsonExact(text).params.destinations[0].amount), 18446744073709551615n);
    });

    it('still rejects malformed JSON', () => {
        for (const bad of ['{', '{"a":}', '', '{"a":1,}']) assert.throws(() => parseJsonExact(bad), SyntaxError, bad);
    });
});

describe('log follower', () => {
    // Each step: the answer the server gives, then what must be shown.
    it('shows every line once across polls, truncation and errors', () => {
        const f = new LogFollower();
        const steps = [
            [{ lines: ['a', 'b', 'c'], file_size: 6 }, { reset: true, lines: ['a', 'b', 'c'] }, 6],
            // Offset at the end: the server repeats the tail, which is not news.
            [{ lines: ['a', 'b', 'c'], file_size: 6 }, { reset: false, lines: [] }, 6],
            [{ lines: ['d'], file_size: 8 }, { reset: false, lines: ['d'] }, 8],
            [{ lines: ['x'], file_size: 2 }, { reset: true, lines: ['x'], truncated: true }, 2],
            [{ error: 'cannot open log file', lines: [], file_size: 0 }, { error: 'cannot open log file' }, -1],
            [{ lines: ['y', 'z'], file_size: 4 }, { reset: true, lines: ['y', 'z'] }, 4],
            [{ lines: [], file_size: 0 }, { reset: true, lines: [], truncated: true }, 0],
            [{ lines: ['n'], file_size: 2 }, { reset: false, lines: ['n'] }, 2],
            [{ nonsense: true }, { error: 'unexpected answer from /wallet-log' }, -1],
        ];
        for (const [answer, shown, offset] of steps) {
            assert.deepEqual(f.accept(answer), shown, JSON.stringify(answer));
            assert.equal(f.offset, offset);
            assert.equal(f.url(), `wallet-log?lines=200&offset=${offset}`);
        }
    });

    it('keeps only the newest lines of a long first tail', () => {
        const f = new LogFollower();
        const lines = Array.from({ length: 450 }, (_, i) => `line ${i}`);
        const shown = f.accept({ lines, file_size: 9000 });
        assert.equal(shown.lines.length, 200);
        assert.equal(shown.lines[199], 'line 449');
    });
});
