// Max on a wallet of many small receipts: the sweep takes several
// transactions, the confirmation says how many and their total fee, the
// relay shows "n of N" and can be stopped between two (by its button or by
// Escape), and the result is a count with the ids folded. Each relay's
// answer is held until the test lets it go.

import assert from 'node:assert/strict';
import { before, describe, it } from 'node:test';

import { toAtomic } from '../../web/amount.js';
import { coins } from '../../web/format.js';
import {
    WAIT, openInPage, rpcMethod, screenshotsAt, simRpc, until, useDashboard, walletAddress,
} from './harness.mjs';

const RECEIPTS = 40;

describe('Max over many small receipts', { timeout: 90000 }, () => {
    const env = useDashboard();
    let page;
    let alice;
    const held = [];

    const shows = (selector, text, options) => env.shows(selector, text, options);
    const letOneGo = async () => {
        await until(() => held.length > 0, 5000, 'a relay waits for its answer');
        held.shift()();
    };
    const sentFromBob = async () => (await simRpc(env.sim, 'get_transfers', { pending: true, out: true })).pending ?? [];

    // Reviews Max and returns the dry run's answer.
    async function reviewMax() {
        await page.getByLabel('Destination address').fill(alice);
        await shows('#send-address-check', 'Valid address.');
        await page.getByRole('button', { name: /^Max/ }).click();
        const answer = page.waitForResponse((r) => rpcMethod({ body: r.request().postData() }) === 'sweep_all');
        await page.getByRole('button', { name: 'Review transfer' }).click();
        await page.locator('#send-confirm').waitFor({ state: 'visible', ...WAIT });
        return JSON.parse(await (await answer).text()).result;
    }

    before(async () => {
        page = env.page;
        alice = walletAddress(env.dir, 'alice');
        for (let i = 0; i < RECEIPTS; i++) await simRpc(env.sim, 'sim_receive', { filename: 'bob', amount: 100000000000 + i });
        await simRpc(env.sim, 'sim_mine', { blocks: 10 });
        await page.route('**/json_rpc', async (route) => {
            if (rpcMethod({ body: route.request().postData() }) !== 'relay_tx') return route.fallback();
            const response = await route.fetch();
            await new Promise((resolve) => held.push(resolve));
            await route.fulfill({ response }).catch(() => {});
        });
        await page.goto(env.server.url);
        await openInPage(page, 'bob');
    });

    it('says how many transactions and their total fee, shows n of N, stops between two and says what went out', async () => {
        const dry = await reviewMax();
        // bob's first receipt and the forty: four inputs a transaction.
        const n = Math.ceil((RECEIPTS + 1) / 4);
        assert.equal(dry.tx_hash_list.length, n);
        const fees = dry.fee_list.map(toAtomic);
        await shows('#confirm-fee', coins(fees.reduce((a, b) => a + b)));
        await shows('#confirm-note', `Everything unlocked in this account, in ${n} transactions, at normal priority: the fee is the total ` +
            `of all ${n}. They are sent one after another, and you can stop between two.`);

        await page.getByRole('button', { name: 'Confirm and send' }).click();
        await shows('#relay-status', `0 of ${n} transactions sent\u2026`);
        await letOneGo();
        await letOneGo();
        await shows('#relay-status', `2 of ${n} transactions sent\u2026`);
        assert.equal(await page.locator('#relay-bar').evaluate((bar) => [bar.value, bar.max].join('/')), `2/${n}`);
        assert.equal(await page.getByRole('button', { name: 'Confirm and send' }).isVisible(), false);
        await screenshotsAt(page, 'max-relaying', '#send-confirm');
        await page.getByRole('button', { name: 'Stop sending' }).click();
        await shows('#relay-status', 'Stopping after the transaction being sent\u2026');
        await letOneGo();
        const amount = dry.amount_list.slice(0, 3).map(toAtomic).reduce((a, b) => a + b);
        const fee = fees.slice(0, 3).reduce((a, b) => a + b);
        await shows('#send-result strong', `Stopped. 3 of ${n} transactions were sent (${coins(amount)}, fee ${coins(fee)}); the other ${n - 3} were not.`);
        assert.equal(await page.locator('#send-confirm').isVisible(), false);

        const sent = await sentFromBob();
        assert.deepEqual(sent.map((t) => t.txid).sort(), dry.tx_hash_list.slice(0, 3).sort());
        assert.ok((await page.locator('#send-result').boundingBox()).height < 200, 'a count, not a wall of ids');
        await page.getByText('The 3 transaction ids').click();
        // The list is drawn when the fold opens, after the click.
        await page.locator('#send-result .sent-ids code').nth(2).waitFor(WAIT);
        assert.deepEqual(await page.locator('#send-result .sent-ids code').allTextContents(), dry.tx_hash_list.slice(0, 3));
        await screenshotsAt(page, 'max-stopped', '#send-result');
    });

    it('stops at Escape too, after the transaction being sent', async () => {
        const dry = await reviewMax();
        const n = dry.tx_hash_list.length;
        await page.getByRole('button', { name: 'Confirm and send' }).click();
        await until(() => held.length > 0, 5000, 'the first relay waits');
        await page.keyboard.press('Escape');
        await shows('#relay-status', 'Stopping after the transaction being sent\u2026');
        assert.equal(await page.locator('#send-confirm').isVisible(), true, 'a relay under way is not cancelled away');
        await letOneGo();
        await shows('#send-result strong', new RegExp(`^Stopped\\. 1 of ${n} transactions were sent`));
        assert.equal((await sentFromBob()).length, 4);
        assert.deepEqual(env.messages.problems(), []);
    });
});
