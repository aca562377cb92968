// Sending money through the page, against the real server and the
// simulator: nothing reaches review that the wallet would refuse, the card
// shows the dry run's exact figures, and what is confirmed is what is sent,
// once. The steps build on each other, in order.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { before, describe, it } from 'node:test';

import { toAtomic } from '../../web/amount.js';
import { parseJsonExact } from '../../web/exact-json.js';
import { coins } from '../../web/format.js';
import {
    SCREENSHOT_DIR, WAIT, openInPage, rpcMethod, simRpc, useDashboard, waitForText, walletAddress,
} from './harness.mjs';

const krv = (atomic) => coins(atomic);

describe('sending from the dashboard', { timeout: 90000 }, () => {
    let dir;
    let sim;
    let server;
    let page;
    let messages;
    let requests;
    let alice;
    let bob;

    const shows = (selector, text, options) => waitForText(page, selector, text, options);
    const calls = (method) => requests.filter((r) => r.path === '/json_rpc' && rpcMethod(r) === method).length;
    const relays = async () => (await simRpc(sim, 'sim_calls')).calls.relay_tx ?? 0;
    const review = () => page.getByRole('button', { name: 'Review transfer' });
    const dialog = () => page.locator('#send-confirm');

    // Fills the form and waits for the wallet's verdict on the address.
    async function fill(address, amount, verdict = 'Valid address.') {
        await page.getByLabel('Destination address').fill(address);
        if (amount !== undefined) await page.getByLabel('Amount (KRV)').fill(amount);
        await shows('#send-address-check', verdict);
    }

    // Reviews and returns the dry run's answer as the page received it: its
    // result, or {error} when the wallet refused.
    async function reviewDryRun(method) {
        const answer = page.waitForResponse((r) => r.url().endsWith('/json_rpc') && rpcMethod({ body: r.request().postData() }) === method);
        await review().click();
        const dry = parseJsonExact(await (await answer).text());
        return dry.error ? { error: dry.error } : dry.result;
    }
    const sentFromAlice = async () => {
        const { out = [], pending = [] } = await simRpc(sim, 'get_transfers', { out: true, pending: true });
        return out.length + pending.length;
    };

    // The viewport at both sizes, scrolled to `subject`.
    async function screenshots(name, subject) {
        fs.mkdirSync(SCREENSHOT_DIR, { recursive: true });
        for (const [width, height] of [[1280, 800], [375, 812]]) {
            await page.setViewportSize({ width, height });
            await page.locator(subject).evaluate((node) => node.scrollIntoView({ block: 'center' }));
            await page.screenshot({ path: path.join(SCREENSHOT_DIR, `${name}-${width}x${height}.png`) });
        }
        await page.setViewportSize({ width: 1280, height: 800 });
    }

    // Blocks only when a test mines them: what was just relayed is still
    // pending when it is looked for.
    const env = useDashboard();
    before(async () => {
        ({ dir, sim, server, page, messages, requests } = env);
        alice = walletAddress(dir, 'alice');
        bob = walletAddress(dir, 'bob');
        await page.goto(server.url);
        await openInPage(page, 'alice');
        await shows('#unlocked', '12,345.678901234567 KRV');
    });

    it('checks the address as it is typed: a typo and a malformed one are stopped before review', async () => {
        // One character changed: the checksum no longer matches.
        const typo = bob.slice(0, 30) + (bob[30] === 'a' ? 'b' : 'a') + bob.slice(31);
        const cases = [
            ['hello', 'This address is not valid: check for a typo.', 'hello'],
            [typo, 'This address is not valid: check for a typo.', typo],
            [`${bob} x`, 'The address must not contain spaces or line breaks.', null],
            [bob, 'Valid address.', bob],
        ];
        for (const [address, verdict, asked] of cases) {
            await fill(address, '1', verdict);
            assert.equal(await review().isDisabled(), verdict !== 'Valid address.', address);
            if (asked) {
                const last = requests.filter((r) => rpcMethod(r) === 'validate_address').at(-1);
                assert.equal(JSON.parse(last.body).params.address, asked);
            }
        }
        assert.equal(calls('transfer'), 0, 'nothing reached a dry run');
        assert.deepEqual(messages.seen, []);
    });

    it('holds the amount against the unlocked balance before review', async () => {
        await shows('#send-available', 'Available: 12,345.678901234567 KRV');
        const cases = [
            ['12345.678901234568', 'More than the unlocked balance (12,345.678901234567 KRV).'],
            ['1.0000000000001', 'Amount has more than 12 decimal places.'],
            ['0', 'Amount must be greater than zero.'],
            ['1e3', 'Amount must be a number such as 1,000.5 (digits, commas between thousands, one dot).'],
            ['1,5', 'Amount must be a number such as 1,000.5 (digits, commas between thousands, one dot).'],
        ];
        for (const [amount, message] of cases) {
            await page.getByLabel('Amount (KRV)').fill(amount);
            await shows('#send-amount-check', message);
            assert.equal(await review().isDisabled(), true, amount);
        }
        await page.getByLabel('Amount (KRV)').fill('12345.678901234567');
        await page.locator('#send-amount-check').waitFor({ state: 'hidden' });
        assert.equal(await review().isEnabled(), true);
        assert.equal(calls('transfer'), 0);
    });

    it('shows the dry run\'s exact figures and relays that very transaction, once', async () => {
        await fill(bob, '1.5');
        await page.getByLabel('Priority').selectOption({ label: 'High' });
        await shows('#send-priority-hint', 'A larger fee, to go ahead of normal transfers when blocks are full.');
        const relaysBefore = await relays();
        const dry = await reviewDryRun('transfer');
        await dialog().waitFor({ state: 'visible', ...WAIT });
        // High priority: five times the normal fee of 0.00003 KRV.
        assert.equal(toAtomic(dry.fee), 150000000n);
        assert.equal(toAtomic(dry.amount), 1500000000000n);
        await shows('#confirm-from', 'alice, account 0 (Primary account)');
        assert.equal(await page.locator('#confirm-to').textContent(), bob);
        assert.equal(await page.locator('#confirm-to .group').count(), Math.ceil(bob.length / 4));
        assert.equal((await page.locator('#confirm-to strong').allTextContents()).join(''), bob.slice(0, 6) + bob.slice(-6));
        await shows('#confirm-amount', '1.50 KRV');
        await shows('#confirm-fee', '0.00015 KRV');
        await shows('#confirm-total', '1.50015 KRV');
        await shows('#confirm-after', '12,344.178751234567 KRV');
        await shows('#confirm-note', 'One transaction, at high priority.');
        assert.equal(await relays(), relaysBefore, 'the dry run relays nothing');
        assert.equal((await simRpc(sim, 'get_transfers', { pending: true })).pending, undefined);
        await screenshots('send-confirmation', '#send-confirm');

        // A double click: the second finds nothing left to send.
        await page.getByRole('button', { name: 'Confirm and send' }).dblclick();
        await shows('#sent-txid', dry.tx_hash);
        await shows('#sent-fee', '0.00015 KRV');
        assert.equal(await relays(), relaysBefore + 1);
        assert.equal(calls('relay_tx'), 1);
        const balance = await simRpc(sim, 'get_balance');
        assert.equal(krv(toAtomic(balance.balance)), '12,344.178751234567 KRV', 'the card\'s balance after');
        const pending = (await simRpc(sim, 'get_transfers', { pending: true })).pending;
        assert.deepEqual(pending.map((t) => [t.txid, toAtomic(t.amount), toAtomic(t.fee)]), [[dry.tx_hash, 1500000000000n, 150000000n]]);
        await shows('#balance', '12,344.178751234567 KRV');
        assert.equal(await dialog().isVisible(), false);
    });

    it('discards a reviewed transfer on Escape and on Cancel, sending nothing', async () => {
        const relaysBefore = await relays();
        for (const how of ['Escape', 'Cancel']) {
            await fill(bob, '2');
            await reviewDryRun('transfer');
            await dialog().waitFor({ state: 'visible', ...WAIT });
            if (how === 'Escape') await page.keyboard.press('Escape');
            else await page.getByRole('button', { name: 'Cancel' }).click();
            await dialog().waitFor({ state: 'hidden', ...WAIT });
            await shows('#send-result', 'Cancelled: nothing was sent.');
            assert.equal(await page.evaluate(() => document.activeElement.id), 'send-review', how);
        }
        assert.equal(await relays(), relaysBefore);
        assert.equal(calls('relay_tx'), 1);
        assert.equal(await sentFromAlice(), 1);
    });

    it('says in words why the wallet refuses, with its own message under it', async () => {
        // All that is unlocked passes the page's check, but the fee does not fit.
        await page.getByLabel('Priority').selectOption({ label: 'Normal' });
        await fill(bob, '12344.178751234567');
        assert.equal((await reviewDryRun('transfer')).error.code, -4);
        await shows('#send-result .sentence', 'Not enough unlocked funds for this amount and its fee.');
        await shows('#send-result .details', 'transfer: Not enough unlocked money: unlocked 12344.178751234567, needed ' +
            '12344.178781234567 (amount 12344.178751234567 + fee 0.000030000000) (code -4)');
        assert.equal(await dialog().isVisible(), false);
        await screenshots('send-error', '#send-result');
        assert.deepEqual(messages.seen, []);
    });

    it('switching wallets moves the open tag at once and clears what belonged to the previous one', async () => {
        // Give bob five receipts, unlocked, for the sweep that follows.
        for (let i = 0; i < 3; i++) {
            await simRpc(sim, 'transfer', { destinations: [{ address: bob, amount: 250000000000 }] });
        }
        await simRpc(sim, 'sim_mine', { blocks: 10 });
        await fill(bob, '3');
        const listPolls = requests.filter((r) => r.path === '/wallets').length;
        await openInPage(page, 'bob');
        // Everything below was true by the time "Opened bob." appeared.
        assert.equal(await page.locator('#wallet-list li', { has: page.locator('.tag') }).textContent(), 'bobopen');
        assert.equal(await page.getByLabel('Destination address').inputValue(), '');
        assert.equal(await page.getByLabel('Amount (KRV)').inputValue(), '');
        assert.equal(await page.locator('#send-result').textContent(), '');
        assert.equal(requests.filter((r) => r.path === '/wallets').length, listPolls, 'no list poll was needed');
        await shows('#wallet-address', bob);
        await shows('#unlocked', '44.250000000001 KRV');
        await shows('#send-available', 'Available: 44.250000000001 KRV');
    });

    it('Max sweeps everything unlocked: the card shows the sweep\'s exact amount and fee, each transaction relayed', async () => {
        await fill(alice);
        await page.getByRole('button', { name: /^Max/ }).click();
        assert.equal(await page.getByLabel('Amount (KRV)').inputValue(), '44.250000000001');
        await shows('#send-sweep-note', 'Max sends everything unlocked in this account to one address; the fee is taken from it.');
        const dry = await reviewDryRun('sweep_all');
        await dialog().waitFor({ state: 'visible', ...WAIT });
        // Five inputs: four in one transaction and one in another, each paying
        // the normal fee per input.
        assert.deepEqual(dry.fee_list.map(toAtomic), [120000000n, 30000000n]);
        const amount = dry.amount_list.map(toAtomic).reduce((a, b) => a + b);
        assert.equal(amount, 44250000000001n - 150000000n);
        await shows('#confirm-amount', krv(amount));
        await shows('#confirm-fee', '0.00015 KRV');
        await shows('#confirm-total', '44.250000000001 KRV');
        await shows('#confirm-note', 'Everything unlocked in this account, in 2 transactions, at normal priority: the fee is the total of ' +
            'all 2. They are sent one after another, and you can stop between two.');
        const { balance: before } = await simRpc(sim, 'get_balance');
        await shows('#confirm-after', krv(toAtomic(before) - 44250000000001n));

        const relaysBefore = await relays();
        await page.getByRole('button', { name: 'Confirm and send' }).click();
        await shows('#send-result strong', `Sent ${krv(amount)} in 2 transactions.`);
        await page.getByText('The 2 transaction ids').click();
        // The list is drawn when the fold opens, after the click.
        await page.locator('#send-result code').nth(1).waitFor(WAIT);
        assert.deepEqual(await page.locator('#send-result code').allTextContents(), dry.tx_hash_list);
        assert.equal(await relays(), relaysBefore + 2);
        const sent = (await simRpc(sim, 'get_transfers', { pending: true })).pending;
        assert.deepEqual(sent.map((t) => t.txid).sort(), [...dry.tx_hash_list].sort());
        assert.equal(sent.reduce((sum, t) => sum + toAtomic(t.amount), 0n), amount);
        const balance = await simRpc(sim, 'get_balance');
        assert.equal(krv(toAtomic(balance.balance)), await page.locator('#confirm-after').textContent());
        assert.equal(toAtomic(balance.unlocked_balance), 0n);
        assert.deepEqual(messages.seen, []);
    });
});
