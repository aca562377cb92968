// The page's history, number and time modules, run in Node: merging the
// incremental answers, locks counted forward, search, CSV and the words
// people read.

import assert from 'node:assert/strict';
import { describe, it } from 'node:test';

// Set before any Date is made: every time below is read in this zone.
process.env.TZ = 'Europe/Berlin';

const { formatCoins, formatWhen, isoTime, plainAmount, relativeTime } = await import('../../web/format.js');
const {
    confirmationsText, csvFileName, filterRecords, lockedSummary, toCsv, TransferHistory, unlockState,
} = await import('../../web/transfers.js');

const COIN = 1000000000000n;

function entry(txid, fields = {}) {
    return {
        txid, amount: COIN, fee: 0, height: 100, timestamp: 1796000000, confirmations: 0, address: `KRV${txid}`,
        unlock_time: 0, locked: false, payment_id: '0000000000000000', note: '', subaddr_index: { major: 0, minor: 0 },
        double_spend_seen: false, ...fields,
    };
}

// A history fed a first answer, then the incremental ones it asks for.
function historyAfter(full, ...incremental) {
    const h = new TransferHistory();
    h.accept(h.request(200), full, 200);
    for (const [answer, height] of incremental) h.accept(h.request(), answer, height ?? 200);
    return h;
}

describe('amounts and times as people read them', () => {
    it('groups thousands and keeps every digit that is not a trailing zero', () => {
        const cases = [
            [12345678901234567n, {}, '12,345.678901234567'],
            [1500000000000n, {}, '1.50'],
            [30000000n, {}, '0.00003'],
            [0n, {}, '0.00'],
            [1000n * COIN, {}, '1,000.00'],
            [42000000000001n, {}, '42.000000000001'],
            [18446744073709551615n, {}, '18,446,744.073709551615'],
            ['9007199254740993', {}, '9,007.199254740993'],
            [1500000000000n, { sign: true }, '+1.50'],
            [-1500000000000n, { sign: true }, '\u22121.50'],
            [-10n, {}, '\u22120.00000000001'],
        ];
        for (const [value, options, text] of cases) assert.equal(formatCoins(value, options), text, String(value));
        assert.equal(plainAmount(1500000000000n), '1.5');
        assert.equal(plainAmount(-3n * COIN), '3');
    });

    it('writes times as a clock with how long ago, and the full time with its zone', () => {
        const now = Date.UTC(2026, 11, 8, 13, 5, 0); // 14:05 in Berlin
        const at = (y, m, d, h, min) => Date.UTC(y, m, d, h, min) / 1000;
        assert.deepEqual(formatWhen(at(2026, 11, 8, 13, 2), now),
            { text: '14:02 (3 min ago)', title: '2026-12-08 14:02:00 Europe/Berlin (UTC+01:00)' });
        assert.equal(formatWhen(at(2026, 11, 7, 10, 0), now).text, '7 Dec 11:00 (1 day ago)');
        assert.equal(formatWhen(at(2025, 6, 1, 10, 0), now).text, '1 Jul 2025 12:00 (17 months ago)');
        assert.equal(formatWhen(0, now).text, '—');
        const ago = [[10, 'just now'], [100, '2 min ago'], [7200, '2 h ago'], [-600, 'in 10 min'], [3 * 365.25 * 86400, '3 years ago']];
        for (const [seconds, text] of ago) assert.equal(relativeTime(now / 1000 - seconds, now), text, String(seconds));
        assert.equal(isoTime(at(2026, 11, 8, 13, 2)), '2026-12-08T13:02:00Z');
    });
});

describe('transfer history', () => {
    it('asks for the newest blocks and every list first, then for what is above the highest height it holds', () => {
        const h = new TransferHistory();
        const first = { in: true, out: true, pending: true, pool: true, failed: true, all_accounts: true, filter_by_height: true, min_height: 110 };
        assert.deepEqual(h.request(130), first);
        assert.equal(h.request(12).min_height, 0);
        h.accept(h.request(130), { in: [entry('a', { height: 101 }), entry('b', { height: 120 })], out: [entry('c', { height: 110 })] }, 130);
        assert.deepEqual(h.request(), {
            in: true, out: true, pending: true, pool: true, failed: false, all_accounts: true, filter_by_height: true, min_height: 120,
        });
        // A failed send was pending first: the failed list is asked for once
        // a pending one leaves its list without reaching a block.
        h.accept(h.request(), { pending: [entry('d', { height: 0 })] }, 130);
        assert.equal(h.request().failed, false);
        h.accept(h.request(), {}, 131);
        assert.equal(h.request().failed, true);
        h.accept(h.request(), { failed: [entry('d', { height: 0 })] }, 132);
        assert.equal(h.request().failed, false);
    });

    it('keeps one entry per transfer as it moves from the pool or pending into a block', () => {
        const steps = [
            // [answer, what the list holds afterwards as kind:txid, changed]
            [{ in: [entry('old', { height: 50, timestamp: 1000 })] }, ['in:old'], true],
            [{ pool: [entry('p', { height: 0 })], pending: [entry('s', { height: 0 })] }, ['pool:p', 'pending:s', 'in:old'], true],
            [{ pool: [entry('p', { height: 0 })], pending: [entry('s', { height: 0 })] }, ['pool:p', 'pending:s', 'in:old'], false],
            [{ in: [entry('p', { height: 201 })], pending: [entry('s', { height: 0 })] }, ['pending:s', 'in:p', 'in:old'], true],
            // Gone from pending and from the blocks: asked for among the failed next.
            [{}, ['in:p', 'in:old'], true],
            [{ failed: [entry('s', { height: 0 })] }, ['in:p', 'failed:s', 'in:old'], true],
            [{}, ['in:p', 'failed:s', 'in:old'], false],
        ];
        const h = new TransferHistory();
        steps.forEach(([answer, expected, changed], i) => {
            assert.equal(h.accept(h.request(200), answer, 200 + i).changed, changed, `step ${i}`);
            assert.deepEqual(h.sorted.map((r) => `${r.kind}:${r.txid}`), expected, `step ${i}`);
        });
    });

    it('fetches older blocks in ranges sized by what came, down to the first block, keeping the order', () => {
        // Four transfers a block over blocks 1 to 1,000; one of every 50 blocks is empty.
        const all = [];
        for (let height = 1; height <= 1000; height++) {
            if (height % 50 === 0) continue;
            for (let i = 0; i < 4; i++) all.push(entry(`t${height}-${i}`, { height, timestamp: 1000000 + height * 120 + i }));
        }
        const answer = (p) => ({ in: all.filter((t) => t.height > p.min_height && (p.max_height === undefined || t.height <= p.max_height)) });
        const h = new TransferHistory();
        const first = h.request(1000);
        assert.equal(h.accept(first, answer(first), 1000).arrived.length, 0);
        assert.equal(h.sorted.length, 4 * 19, 'the newest 20 blocks, one of them empty');
        assert.equal(h.complete, false);
        const spans = [];
        for (let p = h.olderRequest(); p; p = h.olderRequest()) {
            spans.push([p.min_height, p.max_height]);
            assert.deepEqual(h.accept(p, answer(p), 1000).arrived, [], 'older transfers are not news');
        }
        // The first step grows at most eightfold from the 20 blocks of the
        // first answer; then, at about four a block, some 380 blocks make
        // the 1,500 transfers a range aims at.
        assert.deepEqual(spans, [[820, 980], [438, 820], [55, 438], [0, 55]]);
        assert.equal(h.complete, true);
        assert.equal(h.olderRequest(), null);
        assert.deepEqual(h.sorted.map((r) => r.txid), [...all].reverse().map((t) => t.txid));
        assert.deepEqual(h.request(), { in: true, out: true, pending: true, pool: true, failed: false, all_accounts: true, filter_by_height: true, min_height: 999 });
    });

    it('announces incoming money new since the first answer, not a send to itself nor a pool entry reaching a block', () => {
        const h = new TransferHistory();
        const first = h.accept(h.request(200), { in: [entry('old', { height: 190 })], pool: [entry('waiting', { height: 0 })] }, 200);
        assert.deepEqual(first.arrived, []);
        const next = h.accept(h.request(), {
            pool: [entry('waiting', { height: 0 }), entry('new', { height: 0 }), entry('self', { height: 0 })],
            pending: [entry('self', { height: 0 })],
        }, 201);
        assert.deepEqual(next.arrived.map((r) => r.txid), ['new']);
        const mined = h.accept(h.request(), { in: [entry('waiting', { height: 202 }), entry('new', { height: 202 }), entry('self', { height: 202 })],
            out: [entry('self', { height: 202 })] }, 202);
        assert.equal(mined.changed, true);
        assert.deepEqual(mined.arrived, []);
    });

    it('drops a pool entry that left the pool, and keeps both sides of a send to itself', () => {
        const h = historyAfter({ in: [entry('self', { height: 10 })], out: [entry('self', { height: 10 })], pool: [entry('gone', { height: 0 })] },
            [{}]);
        assert.deepEqual(h.sorted.map((r) => `${r.kind}:${r.txid}`).sort(), ['in:self', 'out:self']);
    });

    it('puts what waits first, then the newest', () => {
        const h = historyAfter({
            in: [entry('older', { height: 10, timestamp: 1000 }), entry('newer', { height: 12, timestamp: 2000 })],
            out: [entry('middle', { height: 11, timestamp: 1500 })],
            pool: [entry('waiting', { height: 0, timestamp: 500 })],
        });
        assert.deepEqual(h.sorted.map((r) => r.txid), ['waiting', 'newer', 'middle', 'older']);
    });
});

describe('locks', () => {
    it('counts blocks forward from the height an entry was read at', () => {
        const h = historyAfter({ in: [entry('x', { height: 200, confirmations: 3, locked: true })], out: [entry('o', { height: 200 })] }, [{}, 203]);
        const [x] = h.sorted.filter((r) => r.txid === 'x');
        const cases = [
            // [wallet height, confirmations text, lock text]
            [203, '3 of 10', 'unlocks in about 7 blocks (about 14 min)'],
            [209, '9 of 10', 'unlocks in about 1 block (about 2 min)'],
            [210, '10', 'unlocked'],
            [250, '50', 'unlocked'],
        ];
        x.seenAt = 203;
        for (const [height, confirmations, text] of cases) {
            assert.equal(confirmationsText(x, height), confirmations, `at ${height}`);
            assert.equal(unlockState(x, height).text, text, `at ${height}`);
        }
        assert.equal(unlockState(h.sorted.find((r) => r.txid === 'o'), 205), null, 'what was sent has no lock');
    });

    it('honours an unlock height of its own and the wallet saying it is spendable', () => {
        const h = historyAfter({
            in: [
                entry('late', { height: 150, unlock_time: 260, locked: true }),
                entry('free', { height: 198, locked: false }),
            ],
        });
        const late = h.find('in:late:0:0');
        assert.equal(unlockState(late, 200).text, 'unlocks in about 60 blocks (about 2 h)');
        assert.equal(confirmationsText(late, 200), '50');
        assert.equal(unlockState(h.find('in:free:0:0'), 200).locked, false);
    });

    it('says why balance and unlocked differ', () => {
        const h = historyAfter({
            in: [entry('a', { height: 197, amount: 2n * COIN, locked: true }), entry('b', { height: 193, amount: COIN, locked: true }),
                entry('c', { height: 100, amount: 40n * COIN })],
            pool: [entry('p', { height: 0, amount: COIN })],
        });
        const text = (balance, unlocked) => lockedSummary(h.sorted, balance, unlocked, 200, (v) => `${formatCoins(v)} KRV`);
        assert.equal(text(44n * COIN, 44n * COIN), 'All of it can be spent now.');
        assert.equal(text(48n * COIN, 40n * COIN), '8.00 KRV is locked: 2 incoming transfers; the first unlocks in about 3 blocks ' +
            '(about 6 min), the last in about 7 blocks (about 14 min); 1 still in the pool. 4.00 KRV of it is change from your ' +
            'own sends, spendable 10 blocks after they are confirmed.');
    });
});

describe('search and export', () => {
    const h = historyAfter({
        in: [
            entry('ab12cd', { height: 10, amount: 12345000000000n, timestamp: Date.UTC(2026, 11, 1, 12) / 1000, payment_id: 'feedbeef00000001' }),
            entry('77ee00', { height: 11, amount: 1500000000000n, timestamp: Date.UTC(2026, 11, 3, 12) / 1000, address: 'KRVpeerXY' }),
        ],
        out: [entry('ab99ff', { height: 12, amount: 120000000000000n, fee: 30000000, note: 'Refund, "damaged" item', timestamp: Date.UTC(2026, 11, 5, 12) / 1000 })],
        failed: [entry('dead01', { height: 0, note: '=SUM(A1)', timestamp: Date.UTC(2026, 11, 6, 12) / 1000 })],
    });
    const none = { kinds: new Set(), text: '', from: null, to: null };
    const found = (filter) => filterRecords(h.sorted, { ...none, ...filter }).map((r) => r.txid);

    it('finds by transaction id prefix, amount, address, note and payment id, and narrows by kind and date', () => {
        const cases = [
            [{ text: 'ab' }, ['ab99ff', 'ab12cd']],
            [{ text: 'AB12' }, ['ab12cd']],
            [{ text: '12.345' }, ['ab12cd']],
            [{ text: '12' }, ['ab12cd']],
            [{ text: '120' }, ['ab99ff']],
            [{ text: '1.50' }, ['77ee00']],
            [{ text: '1.0' }, ['dead01', '77ee00']],
            [{ text: '012' }, ['ab12cd']],
            [{ text: 'peerxy' }, ['77ee00']],
            [{ text: 'damaged' }, ['ab99ff']],
            [{ text: 'feedbeef' }, ['ab12cd']],
            [{ text: 'ab refund' }, ['ab99ff']],
            [{ text: 'nothing-like-this' }, []],
            [{ kinds: new Set(['out', 'failed']) }, ['dead01', 'ab99ff']],
            [{ from: Date.UTC(2026, 11, 2) / 1000, to: Date.UTC(2026, 11, 6) / 1000 }, ['ab99ff', '77ee00']],
        ];
        for (const [filter, txids] of cases) assert.deepEqual(found(filter), txids, JSON.stringify({ ...filter, kinds: [...(filter.kinds ?? [])] }));
    });

    it('writes CSV with exact signed amounts, what became of each, UTC times, and text no spreadsheet runs', () => {
        const lines = toCsv(h.sorted, 200).split('\r\n');
        assert.equal(lines.length, 6, 'header, four rows, and the final line break');
        assert.equal(lines[0], 'time,type,status,amount,fee,height,txid,address,payment_id,note,account,subaddress,unlock_time');
        assert.equal(lines[1], "2026-12-06T12:00:00Z,out,failed,-1.000000000000,0.000000000000,,dead01,KRVdead01,,'=SUM(A1),0,0,0");
        assert.equal(lines[2], '2026-12-05T12:00:00Z,out,confirmed,-120.000000000000,0.000030000000,12,ab99ff,KRVab99ff,,"Refund, ""damaged"" item",0,0,0');
        assert.equal(lines[4], '2026-12-01T12:00:00Z,in,confirmed,12.345000000000,0.000000000000,10,ab12cd,KRVab12cd,feedbeef00000001,,0,0,0');
        assert.equal(lines[5], '');
        const now = Date.UTC(2026, 11, 8, 12);
        assert.equal(csvFileName('alice', now), 'krv-alice-transfers-2026-12-08.csv');
        assert.equal(csvFileName('../my wallet', now), 'krv-my_wallet-transfers-2026-12-08.csv');
        assert.equal(csvFileName('', now), 'krv-wallet-transfers-2026-12-08.csv');
    });

    it('adds up to the balance over the rows that did not fail, exactly', () => {
        const fee = 30000000;
        const h2 = historyAfter({
            in: [entry('a', { height: 195, amount: 5n * COIN + 1n, locked: true }), entry('b', { height: 100, amount: 3n * COIN })],
            out: [entry('c', { height: 150, amount: COIN, fee })],
            pending: [entry('d', { height: 0, amount: COIN, fee })],
            pool: [entry('e', { height: 0, amount: 2n * COIN })],
            failed: [entry('f', { height: 0, amount: 7n * COIN, fee })],
        });
        const rows = toCsv(h2.sorted, 200).trimEnd().split('\r\n').slice(1).map((l) => l.split(','));
        const atomic = (text) => BigInt(text.replace('.', ''));
        assert.deepEqual(Object.fromEntries(rows.map((f) => [f[6], f[2]])),
            { a: 'locked', b: 'confirmed', c: 'confirmed', d: 'pending', e: 'pool', f: 'failed' });
        const sum = rows.filter((f) => f[2] !== 'failed').reduce((total, f) => total + atomic(f[3]) - atomic(f[4]), 0n);
        // 5.000000000001 + 3 + 2 received, 1 + 1 sent with two fees.
        assert.equal(sum, 8n * COIN + 1n - 2n * BigInt(fee));
    });
});
