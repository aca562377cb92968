// What a wallet owner does besides sending: wallets made and restored,
// keys and seeds, payment requests, the address book, notes, proofs and
// signatures. Refusals are asserted as the code and message the page gets.

import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { formatAmount, toAtomic } from '../../web/amount.js';
import { parseJsonExact, stringifyExact } from '../../web/exact-json.js';
import { SEED_LENGTH, SEED_WORDS, seedWordIndex } from '../../web/seed-words.js';
import { simRpc, startSimulator, tempDir, walletAddress } from './harness.mjs';

// The JSON-RPC error of a call that must be refused: {code, message}.
async function refusal(sim, method, params) {
    const response = await fetch(`http://127.0.0.1:${sim.walletPort}/json_rpc`, {
        method: 'POST',
        body: stringifyExact({ jsonrpc: '2.0', id: 1, method, params }),
    });
    const answer = parseJsonExact(await response.text());
    assert.ok(answer.error, `${method} ${JSON.stringify(params)} was not refused: ${JSON.stringify(answer.result)}`);
    return answer.error;
}

async function assertRefusals(sim, cases) {
    for (const [method, params, code, message] of cases) {
        const error = await refusal(sim, method, params);
        assert.deepEqual([error.code, error.message], [code, message], `${method} ${JSON.stringify(params)}`);
    }
}

// The address with the same body on another network: the prefix changes
// and the checksum (4 base58 digits of the body's SHA-256) follows it.
function onNetwork(address, prefix) {
    const alphabet = '123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz';
    const body = prefix + address.slice(3, -4);
    let n = BigInt(`0x${crypto.createHash('sha256').update(body).digest().subarray(0, 8).toString('hex')}`);
    let check = '';
    for (let i = 0; i < 4; i++, n /= 58n) check += alphabet[Number(n % 58n)];
    return body + check;
}

// One character of a signature changed to another of the same kind.
const tamper = (text, at) => text.slice(0, at) + (text[at] === 'a' ? 'b' : 'a') + text.slice(at + 1);

describe('wallet simulator: a wallet owner\'s methods', () => {
    let dir;
    let sim;
    let alice;
    let bob;

    before(async () => {
        dir = tempDir();
        sim = await startSimulator(dir, { extraArgs: ['--block-seconds', '3600'] });
        alice = walletAddress(dir, 'alice');
        bob = walletAddress(dir, 'bob');
    });

    after(async () => {
        await sim?.stop();
        fs.rmSync(dir, { recursive: true, force: true });
    });

    const open = (name, password = 'demo') => simRpc(sim, 'open_wallet', { filename: name, password });

    it('ships a fixed list of seed words, each told by its first four letters', () => {
        assert.equal(SEED_WORDS.length, 2048);
        assert.equal(new Set(SEED_WORDS.map((w) => w.slice(0, 4))).size, 2048);
        assert.ok(SEED_WORDS.every((w) => /^[a-z]{4,5}$/.test(w)));
        // Written-down seeds depend on it: the list never changes.
        assert.equal(crypto.createHash('sha256').update(SEED_WORDS.join('\n')).digest('hex').slice(0, 16), '8cc29c7d56b140ce');
        assert.equal(seedWordIndex('BABAH'), 0);
        assert.equal(seedWordIndex('babahx'), -1);
    });

    it('creates a wallet and opens it, refusing names that exist or leave the folder', async () => {
        assert.deepEqual(await simRpc(sim, 'create_wallet', { filename: 'carol', password: 'pw', language: 'English' }), {});
        const { address } = await simRpc(sim, 'get_address', { account_index: 0, address_index: [0] });
        assert.equal(address, walletAddress(dir, 'carol'));
        assert.equal(toAtomic((await simRpc(sim, 'get_balance')).balance), 0n);
        const name = (filename) => ['create_wallet', { filename, password: 'x', language: 'English' }, -22];
        await assertRefusals(sim, [
            [...name('alice'), 'Cannot create the wallet: a wallet named \'alice\' already exists'],
            [...name('../evil'), 'Cannot create the wallet: a wallet name may not hold a path separator'],
            [...name('a\\b'), 'Cannot create the wallet: a wallet name may not hold a path separator'],
            [...name('line\nbreak'), 'Cannot create the wallet: a wallet name may not hold a control character'],
            [...name('.hidden'), 'Cannot create the wallet: a wallet name may not begin with a dot'],
            [...name('x.keys'), 'Cannot create the wallet: a wallet name may not end in .keys'],
            [...name(''), 'Cannot create the wallet: a name is required'],
            ['create_wallet', { filename: 'dave', password: 'x', language: 'Klingon' }, -32602, 'Unknown language: Klingon (the simulator knows English)'],
        ]);
        assert.deepEqual(fs.readdirSync(path.join(dir, 'wallets')).filter((f) => !f.startsWith('.')).sort(),
            ['alice', 'alice.keys', 'bob', 'bob.keys', 'carol', 'carol.keys']);
    });

    it('restores a seed to the same address and history, and names a wrong word', async () => {
        await open('alice');
        const seed = (await simRpc(sim, 'query_key', { key_type: 'mnemonic' })).key;
        const words = seed.split(' ');
        assert.equal(words.length, SEED_LENGTH);
        const history = await simRpc(sim, 'get_transfers', { in: true, out: true });
        const restored = await simRpc(sim, 'restore_deterministic_wallet', {
            filename: 'alice-again', seed: `  ${seed.toUpperCase()}\n`, password: 'new', language: 'English',
        });
        assert.deepEqual(restored, { address: alice, info: 'Wallet has been restored successfully.', seed, was_deprecated: false });
        assert.deepEqual(await simRpc(sim, 'get_transfers', { in: true, out: true }), history);
        // From a height on, only what came after it.
        const late = await simRpc(sim, 'restore_deterministic_wallet', { filename: 'alice-late', seed, password: 'x', restore_height: 2000 });
        assert.equal(late.address, alice);
        assert.deepEqual((await simRpc(sim, 'get_transfers', { in: true })).in.map((t) => t.height), [2100]);
        const offset = await simRpc(sim, 'restore_deterministic_wallet', { filename: 'alice-offset', seed, seed_offset: 'pass', password: 'x' });
        assert.notEqual(offset.address, alice);
        // The seed answered with a passphrase restores that wallet without it.
        const again = await simRpc(sim, 'restore_deterministic_wallet', { filename: 'alice-offset-2', seed: offset.seed, password: 'x' });
        assert.equal(again.address, offset.address);

        // Money sent to alice reaches every wallet restored from her seed.
        await open('bob');
        const sent = await simRpc(sim, 'transfer', { destinations: [{ address: alice, amount: 1000000000000 }] });
        for (const name of ['alice', 'alice-again']) {
            await open(name, name === 'alice' ? 'demo' : 'new');
            assert.ok((await simRpc(sim, 'get_transfers', { pool: true })).pool.some((t) => t.txid === sent.tx_hash), name);
        }

        const misspelt = [...words];
        misspelt[6] = 'zzzzz';
        const swapped = [...words];
        [swapped[3], swapped[4]] = [words[4], words[3]];
        const restore = (text) => ['restore_deterministic_wallet', { filename: 'eve', seed: text, password: 'x' }, -23];
        await assertRefusals(sim, [
            [...restore(misspelt.join(' ')), 'Invalid seed: word 7 is not in the word list'],
            [...restore(words.slice(1).join(' ')), 'Invalid seed: it has 23 words, not 24'],
            [...restore(swapped.join(' ')), 'Invalid seed: its checksum does not match, so a word is wrong or out of place'],
            [...restore(42), 'Invalid seed: it must be text'],
        ]);
    });

    it('makes a view-only wallet from keys, which refuses to spend, sign or prove', async () => {
        await open('alice');
        const viewKey = (await simRpc(sim, 'query_key', { key_type: 'view_key' })).key;
        const spendKey = (await simRpc(sim, 'query_key', { key_type: 'spend_key' })).key;
        assert.deepEqual(await simRpc(sim, 'generate_from_keys', { filename: 'alice-watch', address: alice, viewkey: viewKey, password: 'x' }),
            { address: alice, info: 'View-only wallet has been generated successfully.' });
        assert.equal((await simRpc(sim, 'query_key', { key_type: 'view_key' })).key, viewKey);
        const viewOnly = 'This wallet is view-only: it holds no spend key';
        await assertRefusals(sim, [
            ['transfer', { destinations: [{ address: bob, amount: 1 }] }, -7, viewOnly],
            ['sweep_all', { address: bob }, -7, viewOnly],
            ['sign', { data: 'x' }, -7, viewOnly],
            ['get_tx_key', { txid: '0'.repeat(64) }, -7, viewOnly],
            ['get_reserve_proof', { all: true }, -7, viewOnly],
            ['query_key', { key_type: 'spend_key' }, -7, viewOnly],
            ['query_key', { key_type: 'mnemonic' }, -7, viewOnly],
        ]);

        const bobView = await (async () => {
            await open('bob');
            return (await simRpc(sim, 'query_key', { key_type: 'view_key' })).key;
        })();
        const keys = (params) => ['generate_from_keys', { filename: 'mallory', address: alice, viewkey: viewKey, password: 'x', ...params }];
        await assertRefusals(sim, [
            [...keys({ viewkey: bobView }), -24, 'The view key does not match the address'],
            [...keys({ spendkey: bobView }), -24, 'The spend key does not match the address'],
            [...keys({ viewkey: 'beef' }), -24, 'Failed to parse view key: it must be 64 hex digits'],
            [...keys({ address: onNetwork(alice, 'KRT') }), -2, 'The address is for testnet, and this wallet is on mainnet'],
        ]);
        const full = await simRpc(sim, 'generate_from_keys', { filename: 'alice-keys', address: alice, viewkey: viewKey, spendkey: spendKey, password: 'x' });
        assert.equal(full.info, 'Wallet has been generated successfully.');
        const { signature } = await simRpc(sim, 'sign', { data: 'from keys' });
        assert.deepEqual(await simRpc(sim, 'verify', { data: 'from keys', address: alice, signature }), { good: true });
    });

    it('signs messages that verify only with the same data and address', async () => {
        await open('bob');
        const data = 'I, bob, owe alice 5 KRV.\n';
        const { signature } = await simRpc(sim, 'sign', { data });
        assert.match(signature, /^SigV1[0-9a-f]{128}$/);
        const verify = async (params) => (await simRpc(sim, 'verify', { data, address: bob, signature, ...params })).good;
        assert.equal(await verify({}), true);
        assert.equal(await verify({ data: 'I, bob, owe alice 50 KRV.\n' }), false);
        assert.equal(await verify({ address: alice }), false);
        assert.equal(await verify({ signature: tamper(signature, 40) }), false);
        assert.equal(await verify({ signature: 'nonsense' }), false);
        await assertRefusals(sim, [['verify', { data, address: 'KRVnope', signature }, -2, 'Invalid address: KRVnope']]);
    });

    it('proves a payment with its tx key and with payment proofs; a changed proof fails', async () => {
        await open('bob');
        const sent = await simRpc(sim, 'transfer', { destinations: [{ address: alice, amount: 2500000000000 }] });
        const txid = sent.tx_hash;
        const { tx_key: txKey } = await simRpc(sim, 'get_tx_key', { txid });
        assert.deepEqual(await simRpc(sim, 'check_tx_key', { txid, tx_key: txKey, address: alice }), { confirmations: 0, in_pool: true, received: 2500000000000 });
        await simRpc(sim, 'sim_mine', { blocks: 2 });
        assert.deepEqual(await simRpc(sim, 'check_tx_key', { txid, tx_key: txKey, address: alice }), { confirmations: 2, in_pool: false, received: 2500000000000 });
        assert.equal((await simRpc(sim, 'check_tx_key', { txid, tx_key: txKey, address: bob })).received, 0);

        const message = 'Invoice 1042';
        const { signature: outProof } = await simRpc(sim, 'get_tx_proof', { txid, address: alice, message });
        assert.match(outProof, /^OutProofV1[0-9a-f]{64}$/);
        await open('alice');
        const { signature: inProof } = await simRpc(sim, 'get_tx_proof', { txid, address: alice, message });
        assert.match(inProof, /^InProofV1[0-9a-f]{64}$/);
        const good = { confirmations: 2, good: true, in_pool: false, received: 2500000000000 };
        const bad = { confirmations: 0, good: false, in_pool: false, received: 0 };
        for (const signature of [outProof, inProof]) {
            const check = (params) => simRpc(sim, 'check_tx_proof', { txid, address: alice, message, signature, ...params });
            assert.deepEqual(await check({}), good);
            assert.deepEqual(await check({ signature: tamper(signature, signature.length - 5) }), bad);
            assert.deepEqual(await check({ message: 'Invoice 1043' }), bad);
            assert.deepEqual(await check({ address: bob }), bad);
        }
        await assertRefusals(sim, [
            ['check_tx_key', { txid, tx_key: tamper(txKey, 3), address: alice }, -9, `The tx key is not the key of transaction ${txid}`],
            ['check_tx_key', { txid, tx_key: 'beef', address: alice }, -9, 'The tx key must be 64 hex digits'],
            ['check_tx_proof', { txid, address: alice, signature: 'SigV1ab' }, -9, 'The signature is not a payment proof'],
            ['check_tx_proof', { txid: 'f'.repeat(64), address: alice, signature: inProof }, -8, `Transaction ${'f'.repeat(64)} is in no block and not in the pool`],
            ['get_tx_key', { txid }, -8, `No tx key is kept for ${txid}: this wallet did not send it`],
            ['get_tx_key', { txid: 'xyz' }, -8, 'TX ID has invalid format: xyz'],
            ['get_tx_proof', { txid, address: bob }, -8, `This wallet did not send transaction ${txid}, nor does it hold that address`],
        ]);
    });

    it('proves reserves and tells how much of them was spent since', async () => {
        await open('bob');
        await simRpc(sim, 'sim_mine', { blocks: 10 });
        const { balance } = await simRpc(sim, 'get_balance');
        const { signature } = await simRpc(sim, 'get_reserve_proof', { all: true, message: 'audit' });
        const check = async (params) => {
            const answer = await simRpc(sim, 'check_reserve_proof', { address: bob, message: 'audit', signature, ...params });
            return { ...answer, spent: toAtomic(answer.spent), total: toAtomic(answer.total) };
        };
        assert.deepEqual(await check({}), { good: true, spent: 0n, total: toAtomic(balance) });
        const { signature: part } = await simRpc(sim, 'get_reserve_proof', { all: false, account_index: 0, amount: 1000000000000 });
        const partial = await simRpc(sim, 'check_reserve_proof', { address: bob, signature: part });
        assert.ok(partial.good && toAtomic(partial.total) >= 1000000000000n);

        await simRpc(sim, 'transfer', { destinations: [{ address: alice, amount: 1000000000000 }] });
        assert.deepEqual(await check({}), { good: true, spent: 1000000000000n + 30000000n, total: toAtomic(balance) });
        const bad = { good: false, spent: 0n, total: 0n };
        assert.deepEqual(await check({ signature: tamper(signature, signature.length - 3) }), bad);
        assert.deepEqual(await check({ message: 'audit 2' }), bad);
        assert.deepEqual(await check({ address: alice }), bad);
        const left = toAtomic((await simRpc(sim, 'get_balance')).balance);
        await assertRefusals(sim, [
            ['get_reserve_proof', { all: false, account_index: 0, amount: 1000000000000000 }, -4,
                `Not enough money in account 0 to prove 1000.000000000000 KRV: its confirmed receipts hold ${formatAmount(left)} KRV`],
            ['check_reserve_proof', { address: bob, signature: 'ReserveProofV1zz' }, -9, 'The signature is not a reserve proof'],
        ]);
    });

    it('makes payment URIs that read back exactly, and refuses ones it cannot read', async () => {
        await open('alice');
        const fields = { amount: 18446744073709551615n, payment_id: '0123456789abcdef', recipient_name: 'Zoë & Co', tx_description: 'Rent, 50% = ½?#' };
        const { uri } = await simRpc(sim, 'make_uri', { address: bob, ...fields });
        assert.equal(uri, `krv:${bob}?tx_amount=18446744.073709551615&tx_payment_id=0123456789abcdef&recipient_name=Zo%C3%AB%20%26%20Co&tx_description=Rent%2C%2050%25%20%3D%20%C2%BD%3F%23`);
        const read = (await simRpc(sim, 'parse_uri', { uri })).uri;
        assert.deepEqual({ ...read, amount: toAtomic(read.amount) }, { address: bob, ...fields });
        assert.equal((await simRpc(sim, 'make_uri', { address: bob, amount: 1500000000000 })).uri, `krv:${bob}?tx_amount=1.5`);
        assert.deepEqual(await simRpc(sim, 'parse_uri', { uri: `KRV:${bob}` }),
            { uri: { address: bob, amount: 0, payment_id: '', recipient_name: '', tx_description: '' } });

        const cannot = (uri, why) => ['parse_uri', { uri }, -11, `Cannot read the URI: ${why}`];
        const form = 'it must be krv:ADDRESS, then ?field=value&... when it has fields';
        await assertRefusals(sim, [
            cannot(`coin:${bob}`, form),
            cannot(`krv:${bob}#top`, form),
            cannot(`krv:${tamper(bob, 30)}`, 'the address in it is not valid'),
            cannot(`krv:${bob}?tx_amount=1.2.3`, 'the amount must be a number of coins such as 1.5, with at most 12 decimals'),
            cannot(`krv:${bob}?tx_amount=0.0000000000001`, 'the amount must be a number of coins such as 1.5, with at most 12 decimals'),
            cannot(`krv:${bob}?tx_amount=18446744.073709551616`, 'the amount is too large'),
            cannot(`krv:${bob}?tx_amount=1&tx_amount=2`, 'the field tx_amount comes twice'),
            cannot(`krv:${bob}?tx_description=%E0%A4%A`, 'the field tx_description is not percent-encoded UTF-8'),
            cannot(`krv:${bob}?tx_payment_id=xyz`, 'the payment id must be 16 or 64 hex digits'),
            cannot(`krv:${bob}?rent`, '"rent" is not field=value'),
            ['parse_uri', { uri: `krv:${onNetwork(bob, 'KRS')}` }, -2, 'The address in the URI is for stagenet, and this wallet is on mainnet'],
            ['make_uri', { address: onNetwork(bob, 'KRT') }, -2, 'The address is for testnet, and this wallet is on mainnet'],
            ['make_uri', { address: bob, payment_id: '12' }, -5, 'Invalid payment id: it must be 16 or 64 hex digits'],
        ]);
    });

    it('keeps an address book whose entries after a deleted one move down', async () => {
        await open('alice');
        const add = (address, description) => simRpc(sim, 'add_address_book', { address, description });
        assert.deepEqual(await add(bob, 'Bob'), { index: 0 });
        assert.deepEqual(await add(alice, 'Me'), { index: 1 });
        assert.deepEqual(await add(bob, 'Bob, shop'), { index: 2 });
        await simRpc(sim, 'edit_address_book', { index: 1, set_address: false, set_description: true, description: 'Myself' });
        await simRpc(sim, 'delete_address_book', { index: 0 });
        const entry = (index, address, description) => ({ address, description, index, payment_id: '0000000000000000' });
        assert.deepEqual(await simRpc(sim, 'get_address_book'), { entries: [entry(0, alice, 'Myself'), entry(1, bob, 'Bob, shop')] });
        assert.deepEqual(await simRpc(sim, 'get_address_book', { entries: [1] }), { entries: [entry(1, bob, 'Bob, shop')] });
        await assertRefusals(sim, [
            ['get_address_book', { entries: [2] }, -12, 'Index out of range: 2 (the address book has 2 entries)'],
            ['delete_address_book', { index: -1 }, -12, 'Index out of range: -1 (the address book has 2 entries)'],
            ['edit_address_book', { index: 0, set_address: true, address: 'KRVx', set_description: true, description: 'lost' }, -2, 'Invalid address: KRVx'],
            ['add_address_book', { address: onNetwork(bob, 'KRT') }, -2, 'The address is for testnet, and this wallet is on mainnet'],
        ]);
        assert.equal((await simRpc(sim, 'get_address_book')).entries[0].description, 'Myself', 'a refused edit changes nothing');
    });

    it('keeps notes on its own transfers, shown in the history too', async () => {
        await open('alice');
        const [first, second] = (await simRpc(sim, 'get_transfers', { in: true })).in.map((t) => t.txid);
        assert.deepEqual(await simRpc(sim, 'set_tx_notes', { txids: [first, second], notes: ['Salary', '=cmd|"/c calc"'] }), {});
        assert.deepEqual(await simRpc(sim, 'get_tx_notes', { txids: [second, first] }), { notes: ['=cmd|"/c calc"', 'Salary'] });
        assert.equal((await simRpc(sim, 'get_transfers', { in: true })).in[0].note, 'Salary');
        await assertRefusals(sim, [
            ['set_tx_notes', { txids: [first, 'a'.repeat(64)], notes: ['changed', 'x'] }, -8, `No transaction ${'a'.repeat(64)} in this wallet`],
            ['set_tx_notes', { txids: ['12'], notes: ['x'] }, -8, 'TX ID has invalid format: 12'],
            ['set_tx_notes', { txids: [first], notes: [] }, -32602, 'txids and notes must be lists of the same length'],
        ]);
        assert.deepEqual(await simRpc(sim, 'get_tx_notes', { txids: [first] }), { notes: ['Salary'] }, 'a refused batch changes nothing');
    });

    it('rescans to the same history while its height climbs back', async () => {
        await open('alice');
        const everything = { in: true, out: true, pending: true, pool: true, failed: true, all_accounts: true };
        const history = await simRpc(sim, 'get_transfers', everything);
        const { height: top } = await simRpc(sim, 'get_height');
        assert.deepEqual(await simRpc(sim, 'rescan_blockchain', { hard: true }), {});
        let last = -1;
        const deadline = Date.now() + 10000;
        while (last !== top) {
            const { height } = await simRpc(sim, 'get_height');
            assert.ok(height >= last && Date.now() < deadline, `height ${height} after ${last}`);
            if (last === -1) assert.ok(height < top, 'the rescan starts below the top');
            last = height;
            await new Promise((resolve) => setImmediate(resolve));
        }
        assert.deepEqual(await simRpc(sim, 'get_transfers', everything), history);
        assert.deepEqual(await simRpc(sim, 'rescan_spent'), {});
    });

    it('changes a password and keeps it, the address book, notes and new wallets across a restart', async () => {
        await open('carol', 'pw');
        await assertRefusals(sim, [
            ['change_wallet_password', { old_password: 'wrong', new_password: 'x' }, -42, 'Invalid original password'],
            ['change_wallet_password', { old_password: 'pw' }, -32602, 'new_password must be a string'],
        ]);
        assert.deepEqual(await simRpc(sim, 'change_wallet_password', { old_password: 'pw', new_password: 'better' }), {});
        await assertRefusals(sim, [['open_wallet', { filename: 'carol', password: 'pw' }, -21, 'Failed to open wallet: invalid password']]);
        await open('carol', 'better');
        await simRpc(sim, 'add_address_book', { address: bob, description: 'Bob' });
        const { walletPort, daemonPort } = sim;
        await sim.stop();
        sim = await startSimulator(dir, { walletPort, daemonPort, extraArgs: ['--block-seconds', '3600'] });
        await open('carol', 'better');
        assert.equal((await simRpc(sim, 'get_address_book')).entries[0].description, 'Bob');
        await open('alice');
        assert.equal((await simRpc(sim, 'get_tx_notes', { txids: [(await simRpc(sim, 'get_transfers', { in: true })).in[0].txid] })).notes[0], 'Salary');
        await open('alice-again', 'new');
    });
});
