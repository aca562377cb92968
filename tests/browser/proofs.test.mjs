// Proofs and signatures made and checked from the page, each result in one
// sentence, and notes edited in a transfer's details. The steps build on
// each other, in order.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import { before, describe, it } from 'node:test';

import {
    WAIT, axeFindings, openInPage, simRpc, useDashboard, walletAddress,
} from './harness.mjs';
import { viewShots } from './screens.mjs';

// One hex digit of text changed, at position at.
const tamper = (text, at) => text.slice(0, at) + (text[at] === '0' ? '1' : '0') + text.slice(at + 1);

describe('proofs, signatures and notes', { timeout: 90000 }, () => {
    const env = useDashboard();
    let page;
    let alice;
    let bob;
    let txid;

    const shows = (selector, text, options) => env.shows(selector, text, options);
    const make = (name) => page.locator(`#proof-make-in-${name}`);
    const check = (name) => page.locator(`#proof-check-in-${name}`);

    async function made(kind, fields) {
        await page.getByLabel('Kind').selectOption(kind);
        for (const [name, value] of Object.entries(fields)) await make(name).fill(value);
        await page.locator('#proof-make-button').click();
        await page.locator('#proof-made').waitFor({ state: 'visible', ...WAIT });
        return page.locator('#proof-signature').textContent();
    }

    // A refusal's sentence has the wallet's own words under it.
    async function checked(fields, sentence, where = '#proof-check-message') {
        for (const [name, value] of Object.entries(fields)) await check(name).fill(value);
        await page.locator('#proof-check-button').click();
        await shows(where, sentence);
    }

    before(async () => {
        page = env.page;
        alice = walletAddress(env.dir, 'alice');
        bob = walletAddress(env.dir, 'bob');
        // Sent before the page opens the wallet, so that its first read has it.
        await simRpc(env.sim, 'open_wallet', { filename: 'alice', password: 'demo' });
        txid = (await simRpc(env.sim, 'transfer', { destinations: [{ address: bob, amount: 2500000000000 }] })).tx_hash;
        await simRpc(env.sim, 'sim_mine', { blocks: 2 });
        await page.goto(env.server.url);
        await openInPage(page, 'alice');
        await page.locator('#proof-tool > summary').click();
    });

    it('makes a payment proof, copies and downloads it, and checks it good, tampered and malformed', async () => {
        const proof = await made('payment', { txid, address: bob, message: 'Invoice 1042' });
        assert.match(proof, /^OutProofV1[0-9a-f]{64}$/);
        const [download] = await Promise.all([page.waitForEvent('download'), page.getByRole('button', { name: 'Download as a text file' }).click()]);
        assert.equal(download.suggestedFilename(), `payment-proof-${txid.slice(0, 8)}.txt`);
        assert.equal(fs.readFileSync(await download.path(), 'utf8'), `${proof}\n`);
        await shows('#proof-status', `Saved as payment-proof-${txid.slice(0, 8)}.txt.`);
        await checked({ txid, address: bob, message: 'Invoice 1042', signature: proof },
            'Good proof: the address received 2.50 KRV in this transaction, with 2 confirmations.');
        await viewShots(page, 'proofs', '#proof-tool');
        await checked({ signature: tamper(proof, proof.length - 3) }, 'Bad proof: it was not made for this transaction, address and message, or it was changed.');
        await checked({ signature: 'hello' }, 'Bad: this text is not a proof, key or signature of this kind, or it was changed.');
        assert.equal(await check('signature').inputValue(), 'hello', 'what was typed stays');
        await checked({ txid: 'abc' }, 'A transaction id is 64 hex digits (0\u20139 and a\u2013f).');
        assert.deepEqual(await axeFindings(page), []);
    });

    it('gives the transaction key and checks it, good and tampered', async () => {
        const key = await made('txkey', { txid });
        assert.match(key, /^[0-9a-f]{64}$/);
        await checked({ txid, txkey: key, address: bob }, 'Good key: the address received 2.50 KRV in this transaction, with 2 confirmations.');
        await checked({ address: alice }, 'The key is this transaction\u2019s, but the address received nothing in it.');
        await checked({ txkey: tamper(key, 5), address: bob }, 'Bad: this text is not a proof, key or signature of this kind, or it was changed.');
    });

    it('proves reserves and checks them, good and tampered', async () => {
        await page.getByLabel('Kind').selectOption('reserve');
        await make('account').fill('0');
        await page.locator('#proof-make-button').click();
        await shows('#proof-make-message', 'Enter the amount to prove for this account.');
        const proof = await made('reserve', { account: '', amount: '', message: 'Audit 2026' });
        assert.match(proof, /^ReserveProofV1/);
        await checked({ address: alice, message: 'Audit 2026', signature: proof },
            /^Good proof: the address held [\d,]+\.\d+ KRV when it was made, none of it spent since\.$/);
        await checked({ message: 'Audit 2027' }, 'Bad proof: it was not made for this address and message, or it was changed.');
        // At least an amount, from one account.
        const part = await made('reserve', { account: '0', amount: '100', message: '' });
        await checked({ address: alice, message: '', signature: part }, /^Good proof: the address held [\d,]+(\.\d+)? KRV when it was made, none of it spent since\.$/);
        await make('amount').fill('99999');
        await page.locator('#proof-make-button').click();
        await shows('#proof-make-message .sentence', 'The wallet does not hold that much in confirmed money.');
    });

    it('signs a message and verifies it, good and bad', async () => {
        const signature = await made('message', { data: 'I am alice.' });
        await checked({ signed: 'I am alice.', address: alice, signature }, 'Good signature: the holder of this address signed this message.');
        await checked({ address: bob }, 'Bad signature: this address did not sign this message, or it was changed.');
        await checked({ address: 'KRVnot' }, 'This is not a valid address of this network.', '#proof-check-message .sentence');
    });

    it('edits a transfer\u2019s note in its details, and proves the payment from there', async () => {
        const row = page.locator(`#transfers-body tr[data-txid="${txid}"] .row-open`);
        await row.waitFor(WAIT);
        await row.click();
        await page.getByLabel('Note', { exact: true }).fill('Rent for May');
        await page.getByRole('button', { name: 'Save note' }).click();
        await shows('#note-message', 'Note saved.');
        assert.deepEqual((await simRpc(env.sim, 'get_tx_notes', { txids: [txid] })).notes, ['Rent for May']);
        await viewShots(page, 'transfer-note', '#transfer-details');
        await page.getByRole('button', { name: 'Prove this payment' }).click();
        assert.equal(await make('txid').inputValue(), txid);
        assert.equal(await make('address').inputValue(), bob);
        assert.deepEqual(env.messages.problems(), []);
    });
});
