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
});
