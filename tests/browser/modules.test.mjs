// The page's pure modules, run in Node: exact amounts, exact JSON, the log
// follower's offset bookkeeping, errors in words, and which routes carry the
// LAN key.

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

import { formatAmount, parseAmount, toAtomic } from '../../web/amount.js';
import { parseJsonExact, stringifyExact } from '../../web/exact-json.js';
import { isWalletRoute } from '../../web/lan-key.js';
import { LogFollower } from '../../web/log-follow.js';
import { AccessError, RpcError, ServiceError } from '../../web/rpc.js';
import { inWords } from '../../web/words.js';

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
            // The page's own figures, typed or pasted.
            ['1,000.5', 1000500000000000n],
            ['54,855.38 KRV', 54855380000000000n],
            ['12,345,678.000000000001', 12345678000000000001n],
            ['2 krv', 2000000000000n],
        ];
        for (const [text, value] of good) assert.deepEqual(parseAmount(text), { value }, text);
        const bad = [
            ['', /Enter an amount/],
            ['0', /greater than zero/],
            ['0.000', /greater than zero/],
            ['1.0000000000001', /more than 12 decimal/],
            ['-1', /a number such as 1,000\.5/],
            ['1e3', /a number such as 1,000\.5/],
            // A comma only groups thousands: "1,5" is not guessed at.
            ['1,5', /a number such as 1,000\.5/],
            ['1,0000', /a number such as 1,000\.5/],
            ['12,34.5', /a number such as 1,000\.5/],
            ['1.000,5', /a number such as 1,000\.5/],
            ['.', /a number such as 1,000\.5/],
            ['1.2.3', /a number such as 1,000\.5/],
            ['KRV', /Enter an amount/],
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

    it('reads wide integers wherever a value stands, and never inside a string', () => {
        const cases = [
            ['12345678901234567890', '12345678901234567890'],
            [' [ 12345678901234567890 ,\n-12345678901234567890]', ['12345678901234567890', '-12345678901234567890']],
            ['{"a":9007199254740991,"b":9007199254740993}', { a: 9007199254740991, b: '9007199254740993' }],
            // Strings that look like values inside: read as they are.
            ['{"note":"paid:12345678901234567890,twice","n":12345678901234567890}', { note: 'paid:12345678901234567890,twice', n: '12345678901234567890' }],
            ['{"note":"[12345678901234567890]"}', { note: '[12345678901234567890]' }],
            ['{"a,12345678901234567890]":1}', { 'a,12345678901234567890]': 1 }],
        ];
        for (const [text, value] of cases) assert.deepEqual(parseJsonExact(text), value, text);
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

    it('sends a log size back exactly, past 2 GiB and past 2^53', () => {
        const f = new LogFollower();
        const big = 3 * 2 ** 30 + 13;
        const steps = [
            [`{"lines":["x","last"],"file_size":${big}}`, { reset: true, lines: ['x', 'last'] }, big],
            [`{"lines":["new"],"file_size":${big + 4}}`, { reset: false, lines: ['new'] }, big + 4],
            ['{"lines":["far"],"file_size":9223372036854775803}', { reset: false, lines: ['far'] }, '9223372036854775803'],
            ['{"lines":[],"file_size":9223372036854775803}', { reset: false, lines: [] }, '9223372036854775803'],
            ['{"lines":["on"],"file_size":9223372036854775807}', { reset: false, lines: ['on'] }, '9223372036854775807'],
            [`{"lines":["rotated"],"file_size":${big}}`, { reset: true, lines: ['rotated'], truncated: true }, big],
        ];
        for (const [text, shown, offset] of steps) {
            assert.deepEqual(f.accept(parseJsonExact(text)), shown, text);
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

describe('errors in words', () => {
    it('gives every failure the page meets one sentence, with the service\'s own words under it', () => {
        const cases = [
            [new RpcError(-2, 'Invalid destination address: hello', 'transfer'), 'The wallet says this address is not valid.',
                'transfer: Invalid destination address: hello (code -2)'],
            [new RpcError(-4, 'Not enough unlocked money', 'sweep_all'), 'Not enough unlocked funds for this amount and its fee.',
                'sweep_all: Not enough unlocked money (code -4)'],
            [new RpcError(-13, 'No wallet file', 'get_balance'), 'No wallet is open. Open one under Wallets first.',
                'get_balance: No wallet file (code -13)'],
            [new RpcError(-17, 'Amount must be greater than zero'), 'The amount must be more than zero.',
                'Amount must be greater than zero (code -17)'],
            [new RpcError(-21, 'Failed to open wallet'), 'The wallet could not be opened: check its name and password.',
                'Failed to open wallet (code -21)'],
            [new RpcError(-29, 'already relayed'), 'This prepared transaction can no longer be sent. Review the transfer again.',
                'already relayed (code -29)'],
            [new RpcError(-32601, 'Method not found', 'relay_tx'), 'The wallet RPC service does not offer this call; it may be older than this page.',
                'relay_tx: Method not found (code -32601)'],
            [new RpcError(-77, 'something new'), 'The wallet refused this request.', 'something new (code -77)'],
            [new ServiceError('wallet', 502, 'POST json_rpc answered 502: Cannot connect to krv-wallet-rpc at 127.0.0.1:18083'),
                'The wallet RPC service does not answer.', 'POST json_rpc answered 502: Cannot connect to krv-wallet-rpc at 127.0.0.1:18083'],
            [new ServiceError('daemon', 502, 'x'), 'The daemon does not answer.', 'x'],
            [new ServiceError('server', 0, 'GET health: no answer'), 'The dashboard server does not answer.', 'GET health: no answer'],
            [new ServiceError('server', 404, 'GET wallets answered 404'), 'The dashboard server gave an answer this page does not understand.',
                'GET wallets answered 404'],
            [new AccessError('Needs the key.', false), 'The server refused this browser (see the notice at the top).',
                'Needs the key.'],
            [new TypeError('x is undefined'), 'Something went wrong in this page.', 'x is undefined'],
        ];
        for (const [error, sentence, details] of cases) assert.deepEqual(inWords(error), { sentence, details }, error.message);
    });
});

describe('LAN key routes', () => {
    it('sends the key on the wallet routes and on nothing else', () => {
        const wallet = ['json_rpc', 'daemon_rpc', 'rpc/get_height', 'rpc/', 'wallets', 'wallet-log?lines=200&offset=-1', 'wallet-log'];
        const open = ['health', 'app.js', '', 'krv-webui.html', 'favicon.svg', 'wallets.css', 'json_rpc.txt', 'rpcx/get_height', 'wallet-logs'];
        for (const url of wallet) assert.equal(isWalletRoute(url), true, url);
        for (const url of open) assert.equal(isWalletRoute(url), false, url);
    });
});
