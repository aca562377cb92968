// The simulator must answer in each real framing, since the server's
// forwarding is exercised through it; and its state must survive a restart.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { toAtomic } from '../../web/amount.js';
import { simRpc, startSimulator, tempDir, walletAddress } from './harness.mjs';

// Sends one raw request and reads until the simulator closes or the
// framing says the answer is complete.
function exchange(port, request) {
    return new Promise((resolve, reject) => {
        const socket = net.connect(port, '127.0.0.1');
        let data = '';
        const timer = setTimeout(() => {
            socket.destroy();
            reject(new Error(`no complete answer: ${JSON.stringify(data)}`));
        }, 5000);
        const done = (closed) => {
            clearTimeout(timer);
            socket.destroy();
            resolve({ raw: data, closed });
        };
        socket.on('data', (d) => {
            data += d;
            const head = data.split('\r\n\r\n')[0];
            const length = /content-length: (\d+)/i.exec(head);
            if (length && data.length >= head.length + 4 + Number(length[1])) done(false);
            if (/chunked/i.test(head) && data.endsWith('\r\n0\r\n\r\n')) done(false);
        });
        socket.on('end', () => done(true));
        socket.on('error', reject);
        socket.write(request);
    });
}

function post(target, body) {
    return `POST ${target} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`;
}

function dechunk(body) {
    let out = '';
    let rest = body;
    for (;;) {
        const eol = rest.indexOf('\r\n');
        const size = parseInt(rest.slice(0, eol), 16);
        if (size === 0) return out;
        out += rest.slice(eol + 2, eol + 2 + size);
        rest = rest.slice(eol + 2 + size + 2);
    }
}

describe('wallet simulator', () => {
    let dir;
    let sim;

    before(async () => {
        dir = tempDir();
        sim = await startSimulator(dir);
    });

    after(async () => {
        await sim?.stop();
        fs.rmSync(dir, { recursive: true, force: true });
    });

    it('answers each method in its framing', async () => {
        await simRpc(sim, 'open_wallet', { filename: 'alice', password: 'demo' });
        const call = (method) => JSON.stringify({ jsonrpc: '2.0', id: 1, method, params: { in: true } });
        const cases = [
            { port: sim.walletPort, request: post('/json_rpc', call('get_balance')), framing: 'length' },
            { port: sim.walletPort, request: post('/json_rpc', call('get_transfers')), framing: 'chunked' },
            { port: sim.daemonPort, request: post('/json_rpc', call('get_info')), framing: 'close' },
            { port: sim.daemonPort, request: 'GET /get_height HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n\r\n', framing: 'chunked' },
            // The server's health probe, byte for byte.
            { port: sim.walletPort, request: 'POST /json_rpc HTTP/1.1\r\nHost: x\r\nContent-Length: 48\r\n\r\n{"jsonrpc":"2.0","id":"h","method":"get_height"}', framing: 'length' },
        ];
        for (const { port, request, framing } of cases) {
            const { raw, closed } = await exchange(port, request);
            const [head, ...rest] = raw.split('\r\n\r\n');
            const body = rest.join('\r\n\r\n');
            assert.match(head, /^HTTP\/1\.1 200 OK\r\n/);
            if (framing === 'chunked') {
                assert.match(head, /\r\nTransfer-Encoding: chunked/);
                assert.doesNotMatch(head, /Content-Length/i);
                assert.ok(body.split('\r\n').length > 4, 'more than one chunk');
                JSON.parse(dechunk(body));
            } else if (framing === 'close') {
                assert.match(head, /\r\nConnection: close/);
                assert.doesNotMatch(head, /Content-Length|Transfer-Encoding/i);
                assert.ok(closed);
                JSON.parse(body);
            } else {
                assert.equal(Number(/Content-Length: (\d+)/.exec(head)[1]), Buffer.byteLength(body));
                JSON.parse(body);
            }
        }
    });

    it('refuses bad transfers with JSON-RPC errors', async () => {
        await simRpc(sim, 'open_wallet', { filename: 'bob', password: 'demo' });
        const alice = walletAddress(dir, 'alice');
        // Flip one character: the checksum no longer matches.
        const typo = alice.slice(0, 20) + (alice[20] === 'a' ? 'b' : 'a') + alice.slice(21);
        const cases = [
            [{ address: typo, amount: 1 }, /Invalid destination address/],
            [{ address: 'KRV', amount: 1 }, /Invalid destination address/],
            [{ address: alice, amount: 0 }, /greater than zero/],
            [{ address: alice, amount: 42000000000001 }, /Not enough unlocked money/],
            [{ address: alice, amount: '1.5' }, /integer of atomic units/],
        ];
        for (const [dest, error] of cases) {
            await assert.rejects(simRpc(sim, 'transfer', { destinations: [dest] }), error, JSON.stringify(dest));
        }
        await assert.rejects(simRpc(sim, 'open_wallet', { filename: '../bob', password: 'demo' }), /no wallet named/);
        await assert.rejects(simRpc(sim, 'open_wallet', { filename: 'bob', password: 'nope' }), /invalid password/);
    });

    it('moves money between its wallets, confirms it over blocks and keeps it across a restart', async () => {
        await simRpc(sim, 'open_wallet', { filename: 'bob', password: 'demo' });
        const sent = await simRpc(sim, 'transfer', { destinations: [{ address: walletAddress(dir, 'alice'), amount: 1000000000000 }] });
        assert.equal(toAtomic(sent.fee), 30000000n);
        const pending = await simRpc(sim, 'get_transfers', { pending: true });
        assert.equal(pending.pending[0].txid, sent.tx_hash);
        await simRpc(sim, 'sim_mine', { blocks: 3 });
        const out = await simRpc(sim, 'get_transfers', { out: true, pending: true });
        assert.equal(out.pending, undefined);
        assert.equal(out.out[0].confirmations, 3);

        const { walletPort, daemonPort } = sim;
        await sim.stop();
        sim = await startSimulator(dir, { walletPort, daemonPort });
        await simRpc(sim, 'open_wallet', { filename: 'alice', password: 'demo' });
        const balance = await simRpc(sim, 'get_balance');
        // 12345.678901234567 + 1 received, still locked after 3 confirmations.
        assert.equal(toAtomic(balance.balance), 12346678901234567n);
        assert.equal(toAtomic(balance.unlocked_balance), 12345678901234567n);
        assert.deepEqual(fs.readdirSync(path.join(dir, 'wallets')).filter((f) => !f.startsWith('.')).sort(),
            ['alice', 'alice.keys', 'bob', 'bob.keys']);
    });

    it('checks addresses and charges fees by priority, building without relaying when asked', async () => {
        await simRpc(sim, 'open_wallet', { filename: 'bob', password: 'demo' });
        const alice = walletAddress(dir, 'alice');
        const typo = alice.slice(0, 40) + (alice[40] === 'a' ? 'b' : 'a') + alice.slice(41);
        assert.deepEqual(await simRpc(sim, 'validate_address', { address: alice }),
            { valid: true, integrated: false, subaddress: false, nettype: 'mainnet', openalias_address: '' });
        for (const address of [typo, 'hello', '', 42]) assert.equal((await simRpc(sim, 'validate_address', { address })).valid, false, address);

        const before = await simRpc(sim, 'get_transfers', { out: true, pending: true });
        // Priority 0 is the default, normal.
        const fees = [[0, 30000000n], [1, 7500000n], [2, 30000000n], [3, 150000000n], [4, 1245000000n]];
        for (const [priority, fee] of fees) {
            const dry = await simRpc(sim, 'transfer', { destinations: [{ address: alice, amount: 1 }], priority, do_not_relay: true, get_tx_metadata: true });
            assert.equal(toAtomic(dry.fee), fee, `priority ${priority}`);
            assert.match(dry.tx_metadata, /^[0-9a-f]+$/);
        }
        await assert.rejects(simRpc(sim, 'transfer', { destinations: [{ address: alice, amount: 1 }], priority: 5 }), /priority must be/);
        assert.deepEqual(await simRpc(sim, 'get_transfers', { out: true, pending: true }), before, 'nothing was relayed');
    });

    it('relays a dry run once, only in the wallet that built it, and not after its funds are spent', async () => {
        await simRpc(sim, 'open_wallet', { filename: 'bob', password: 'demo' });
        const alice = walletAddress(dir, 'alice');
        const dryRun = (amount) => simRpc(sim, 'transfer', { destinations: [{ address: alice, amount }], do_not_relay: true, get_tx_metadata: true });
        const dry = await dryRun(1000000000000);
        assert.equal((await simRpc(sim, 'relay_tx', { hex: dry.tx_metadata })).tx_hash, dry.tx_hash);
        await assert.rejects(simRpc(sim, 'relay_tx', { hex: dry.tx_metadata }), /already relayed/);
        const pending = (await simRpc(sim, 'get_transfers', { pending: true })).pending;
        assert.deepEqual(pending.map((t) => [t.txid, toAtomic(t.amount), toAtomic(t.fee)]), [[dry.tx_hash, 1000000000000n, 30000000n]]);

        const other = await dryRun(2000000000000);
        const tampered = other.tx_metadata.replace(/^(.{10})(.)/, (m, head, c) => head + (c === '0' ? '1' : '0'));
        await assert.rejects(simRpc(sim, 'relay_tx', { hex: tampered }), /Failed to parse tx metadata/);
        await simRpc(sim, 'open_wallet', { filename: 'alice', password: 'demo' });
        await assert.rejects(simRpc(sim, 'relay_tx', { hex: other.tx_metadata }), /made by another wallet/);
        await simRpc(sim, 'open_wallet', { filename: 'bob', password: 'demo' });
        // Spend most of bob's money, then try the older dry run of 30 KRV.
        const big = await dryRun(30000000000000);
        const { unlocked_balance: unlocked } = await simRpc(sim, 'get_balance');
        await simRpc(sim, 'transfer', { destinations: [{ address: alice, amount: toAtomic(unlocked) - 30000000n - 1000000000000n }] });
        await assert.rejects(simRpc(sim, 'relay_tx', { hex: big.tx_metadata }), /Not enough unlocked money/);
    });

    it('sweeps everything unlocked in transactions of at most four inputs', async () => {
        const bob = walletAddress(dir, 'bob');
        await simRpc(sim, 'open_wallet', { filename: 'alice', password: 'demo' });
        await simRpc(sim, 'sim_mine', { blocks: 10 });
        const { unlocked_balance: unlocked } = await simRpc(sim, 'get_balance');
        // alice's receipts: two at the start and three from bob, all unlocked
        // now; the low priority's fee per input.
        const dry = await simRpc(sim, 'sweep_all', { address: bob, priority: 1, do_not_relay: true, get_tx_metadata: true });
        assert.deepEqual(dry.fee_list.map(toAtomic), [4n * 7500000n, 7500000n]);
        const amounts = dry.amount_list.map(toAtomic);
        assert.equal(amounts[0] + amounts[1] + 37500000n, toAtomic(unlocked));
        for (const hex of dry.tx_metadata_list) await simRpc(sim, 'relay_tx', { hex });
        const after = await simRpc(sim, 'get_balance');
        assert.equal(toAtomic(after.unlocked_balance), 0n);
        const sent = (await simRpc(sim, 'get_transfers', { pending: true })).pending;
        assert.deepEqual(sent.map((t) => t.txid).sort(), [...dry.tx_hash_list].sort());
        await assert.rejects(simRpc(sim, 'sweep_all', { address: bob }), /No unlocked balance to sweep/);
    });
});

describe('wallet simulator at a real wallet\'s size', () => {
    const N = 300;
    let dir;
    let sim;

    before(async () => {
        dir = tempDir();
        sim = await startSimulator(dir, { extraArgs: ['--transfers', String(N), '--block-seconds', '3600'] });
        await simRpc(sim, 'open_wallet', { filename: 'alice', password: 'demo' });
    });

    after(async () => {
        await sim?.stop();
        fs.rmSync(dir, { recursive: true, force: true });
    });

    const everything = { in: true, out: true, pending: true, pool: true, failed: true, all_accounts: true };
    const flat = (result) => Object.values(result).flat();

    it('gives alice exactly N transfers of every kind, the same ones for the same N', async () => {
        const all = flat(await simRpc(sim, 'get_transfers', everything));
        assert.equal(all.length, N);
        assert.deepEqual([...new Set(all.map((t) => t.type))].sort(), ['failed', 'in', 'out', 'pending', 'pool']);
        assert.ok(all.some((t) => t.note !== '') && all.some((t) => !/^0+$/.test(t.payment_id)));
        assert.ok(all.some((t) => t.locked && t.height > 0) && all.some((t) => t.unlock_time > 0));
        assert.deepEqual([...new Set(all.map((t) => t.subaddr_index.major))].sort(), [0, 1]);
        const totals = await simRpc(sim, 'sim_totals');
        assert.equal(totals.transfers, N);
        assert.equal(toAtomic(totals.received), all.filter((t) => t.type === 'in' || t.type === 'pool').reduce((s, t) => s + toAtomic(t.amount), 0n));

        const other = tempDir();
        const twin = await startSimulator(other, { extraArgs: ['--transfers', String(N), '--block-seconds', '3600'] });
        try {
            await simRpc(twin, 'open_wallet', { filename: 'alice', password: 'demo' });
            const again = flat(await simRpc(twin, 'get_transfers', everything));
            assert.deepEqual(again.map((t) => [t.txid, t.amount]), all.map((t) => [t.txid, t.amount]));
        } finally {
            await twin.stop();
            fs.rmSync(other, { recursive: true, force: true });
        }
    });

    it('filters confirmed transfers by height and leaves the waiting lists whole', async () => {
        const all = flat(await simRpc(sim, 'get_transfers', everything));
        const top = Math.max(...all.map((t) => t.height));
        const cases = [
            // [min, max, what comes]
            [top - 20, undefined, (t) => t.height === 0 || t.height > top - 20],
            [top - 20, top - 10, (t) => t.height === 0 || (t.height > top - 20 && t.height <= top - 10)],
            [top, undefined, (t) => t.height === 0],
        ];
        for (const [min, max, wanted] of cases) {
            const params = { ...everything, filter_by_height: true, min_height: min, ...(max === undefined ? {} : { max_height: max }) };
            const got = flat(await simRpc(sim, 'get_transfers', params)).map((t) => t.txid + t.type).sort();
            assert.deepEqual(got, all.filter(wanted).map((t) => t.txid + t.type).sort(), JSON.stringify([min, max]));
        }
        // One account's alone unless all are asked for.
        const first = flat(await simRpc(sim, 'get_transfers', { in: true, out: true }));
        assert.ok(first.length > 0 && first.every((t) => t.subaddr_index.major === 0));
    });

    it('keeps accounts and subaddresses: balances by account, new labelled addresses, money arriving at one', async () => {
        const accounts = await simRpc(sim, 'get_accounts');
        assert.deepEqual(accounts.subaddress_accounts.map((a) => [a.account_index, a.label]), [[0, 'Primary account'], [1, 'Savings']]);
        const sum = (key) => accounts.subaddress_accounts.reduce((s, a) => s + toAtomic(a[key]), 0n);
        assert.equal(sum('balance'), toAtomic(accounts.total_balance));
        assert.equal(sum('unlocked_balance'), toAtomic(accounts.total_unlocked_balance));
        const all = await simRpc(sim, 'get_balance', { all_accounts: true });
        assert.equal(toAtomic(all.balance), toAtomic(accounts.total_balance));
        const savings = await simRpc(sim, 'get_balance', { account_index: 1 });
        assert.equal(toAtomic(savings.unlocked_balance), toAtomic(accounts.subaddress_accounts[1].unlocked_balance));

        const made = await simRpc(sim, 'create_address', { account_index: 1, label: 'Invoice 7' });
        const [entry] = (await simRpc(sim, 'get_address', { account_index: 1, address_index: [made.address_index] })).addresses;
        assert.deepEqual(entry, { address: made.address, label: 'Invoice 7', address_index: made.address_index, used: false });
        assert.equal((await simRpc(sim, 'validate_address', { address: made.address })).subaddress, true);
        assert.equal((await simRpc(sim, 'validate_address', { address: accounts.subaddress_accounts[0].base_address })).subaddress, false);
        await assert.rejects(simRpc(sim, 'get_address', { account_index: 2 }), /out of bound/);
        await assert.rejects(simRpc(sim, 'get_address', { account_index: 1, address_index: [99] }), /out of bound/);

        await simRpc(sim, 'open_wallet', { filename: 'bob', password: 'demo' });
        const sent = await simRpc(sim, 'transfer', { destinations: [{ address: made.address, amount: 1000000000000 }] });
        await simRpc(sim, 'open_wallet', { filename: 'alice', password: 'demo' });
        const pool = (await simRpc(sim, 'get_transfers', { pool: true, all_accounts: true })).pool;
        const arrived = pool.find((t) => t.txid === sent.tx_hash);
        assert.deepEqual(arrived.subaddr_index, { major: 1, minor: made.address_index });
        assert.equal(arrived.address, walletAddress(dir, 'bob'));
        const [now] = (await simRpc(sim, 'get_address', { account_index: 1, address_index: [made.address_index] })).addresses;
        assert.equal(now.used, true);
    });
    it('makes and labels accounts and addresses, and spends from one account to several destinations', async () => {
        await simRpc(sim, 'open_wallet', { filename: 'alice', password: 'demo' });
        const made = await simRpc(sim, 'create_account', { label: 'Travel' });
        assert.deepEqual(Object.keys(made).sort(), ['account_index', 'address']);
        assert.equal(made.account_index, 2);
        assert.equal((await simRpc(sim, 'validate_address', { address: made.address })).subaddress, true);
        assert.equal((await simRpc(sim, 'create_account')).account_index, 3);
        assert.deepEqual(await simRpc(sim, 'label_account', { account_index: 2, label: 'Holidays' }), {});
        assert.deepEqual(await simRpc(sim, 'label_address', { index: { major: 1, minor: 1 }, label: 'Salary, new' }), {});
        const accounts = await simRpc(sim, 'get_accounts');
        assert.deepEqual(accounts.subaddress_accounts.map((a) => [a.account_index, a.label]),
            [[0, 'Primary account'], [1, 'Savings'], [2, 'Holidays'], [3, '']]);
        assert.equal(accounts.subaddress_accounts[2].base_address, made.address);
        assert.equal((await simRpc(sim, 'get_address', { account_index: 1, address_index: [1] })).addresses[0].label, 'Salary, new');
        const refused = [
            ['label_account', { account_index: 9, label: 'x' }, /out of bound/],
            ['label_account', { label: 'x' }, /account_index is required/],
            ['label_account', { account_index: 1 }, /label must be a string/],
            ['label_address', { index: { major: 1, minor: 99 }, label: 'x' }, /out of bound/],
            ['label_address', { label: 'x' }, /index \{major, minor\} is required/],
            ['create_account', { label: 5 }, /label must be a string/],
        ];
        for (const [method, params, error] of refused) await assert.rejects(simRpc(sim, method, params), error, method);

        // Money from outside for account 2, then three destinations paid from it.
        await simRpc(sim, 'sim_receive', { amount: 5000000000000, account_index: 2 });
        await simRpc(sim, 'sim_mine', { blocks: 10 });
        const bob = walletAddress(dir, 'bob');
        const own = accounts.subaddress_accounts[0].base_address;
        const destinations = [{ address: bob, amount: 1000000000000 }, { address: own, amount: 2000000000000 },
            { address: bob, amount: 500000000000 }];
        const dry = await simRpc(sim, 'transfer', { destinations, account_index: 2, do_not_relay: true, get_tx_metadata: true });
        assert.equal(toAtomic(dry.amount), 3500000000000n);
        assert.equal(toAtomic(dry.fee), 3n * 30000000n);
        const before = await simRpc(sim, 'get_balance', { account_index: 0 });
        await simRpc(sim, 'relay_tx', { hex: dry.tx_metadata });
        const two = await simRpc(sim, 'get_balance', { account_index: 2 });
        assert.equal(toAtomic(two.balance), 5000000000000n - 3500000000000n - 90000000n);
        assert.equal(toAtomic((await simRpc(sim, 'get_balance', { account_index: 0 })).balance), toAtomic(before.balance) + 2000000000000n);
        const [sent] = (await simRpc(sim, 'get_transfers', { pending: true, account_index: 2 })).pending;
        assert.equal(toAtomic(sent.amount), 3500000000000n);
        assert.deepEqual(sent.destinations.map((d) => [d.address, toAtomic(d.amount)]), destinations.map((d) => [d.address, BigInt(d.amount)]));

        // A sweep of account 2 spends only what is unlocked there.
        await simRpc(sim, 'sim_mine', { blocks: 10 });
        const left = toAtomic((await simRpc(sim, 'get_balance', { account_index: 2 })).unlocked_balance);
        const sweep = await simRpc(sim, 'sweep_all', { address: bob, account_index: 2, do_not_relay: true, get_tx_metadata: true });
        const swept = sweep.amount_list.map(toAtomic).reduce((a, b) => a + b) + sweep.fee_list.map(toAtomic).reduce((a, b) => a + b);
        assert.equal(swept, left);
        await assert.rejects(simRpc(sim, 'sweep_all', { address: bob, account_index: 3 }), /No unlocked balance to sweep/);
    });
});
