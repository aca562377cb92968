// A wallet switch while an answer of the old wallet is still on its way: a
// dry run, a new address, a relay, a poll. Each answer is held back until
// the other wallet is shown, then let go; nothing of it may land in the new
// wallet's cards. The page's clock is Playwright's, so a poll comes when
// the test moves it.

import assert from 'node:assert/strict';
import { before, beforeEach, describe, it } from 'node:test';

import { toAtomic } from '../../web/amount.js';
import { coins } from '../../web/format.js';
import { WAIT, holdAnswer, openInPage, simRpc, useDashboard, walletAddress } from './harness.mjs';

describe('a wallet switch while an answer is on its way', { timeout: 90000 }, () => {
    const env = useDashboard();
    let page;
    let alice;
    let bob;

    const shows = (selector, text, options) => env.shows(selector, text, options);
    // The balance once the wallet's read has filled it in.
    const balance = async () => {
        await page.waitForFunction(() => document.getElementById('balance').textContent !== '\u2014', null, WAIT);
        return page.locator('#balance').textContent();
    };

    async function fillSend(address, amount) {
        await page.getByLabel('Destination address').fill(address);
        await page.getByLabel('Amount (KRV)').fill(amount);
        await shows('#send-address-check', 'Valid address.');
    }

    before(async () => {
        page = env.page;
        alice = walletAddress(env.dir, 'alice');
        bob = walletAddress(env.dir, 'bob');
        await page.clock.install();
    });

    // Each test starts from a page just loaded, whatever the one before left.
    beforeEach(() => page.goto(env.server.url));

    it('a dry run of the old wallet does not open its confirmation in the new one', async () => {
        await openInPage(page, 'alice');
        await shows('#unlocked', '12,345.678901234567 KRV');
        await fillSend(bob, '1.5');
        const held = await holdAnswer(page, 'transfer');
        await page.getByRole('button', { name: 'Review transfer' }).click();
        await held.made;
        await openInPage(page, 'bob');
        await shows('#send-available', 'Available: 42.000000000001 KRV');
        await held.release();
        assert.equal(await page.locator('#send-confirm').isVisible(), false);
        assert.equal(await page.locator('#send-result').textContent(), '');
        assert.equal(await page.getByLabel('Destination address').inputValue(), '');
        assert.equal(await page.getByRole('button', { name: 'Review transfer' }).isDisabled(), true);
    });

    it('a new address of the old wallet does not show in the new one\'s receive card', async () => {
        await openInPage(page, 'alice');
        await shows('#receive-address', alice);
        const held = await holdAnswer(page, 'create_address');
        await page.getByLabel('Label for a new address').fill('For the old wallet');
        await page.getByRole('button', { name: 'New address' }).click();
        await held.made;
        await openInPage(page, 'bob');
        await shows('#receive-address', bob);
        await page.getByLabel('Label for a new address').fill('Typed for the new wallet');
        await held.release();
        assert.equal(await page.getByLabel('Label for a new address').inputValue(), 'Typed for the new wallet');
        assert.equal(await page.locator('#receive-address').textContent(), bob);
        assert.equal(await page.locator('#receive-shown').textContent(), 'Account 0 (Primary account)');
        assert.equal(await page.locator('#address-list', { hasText: 'For the old wallet' }).count(), 0);
        assert.equal(await page.locator('#receive-message').textContent(), '');
        assert.equal(await page.getByRole('button', { name: 'New address' }).isEnabled(), true);
    });

    it('a relay of the old wallet neither closes the new one\'s confirmation nor clears its amount', async () => {
        await openInPage(page, 'alice');
        await fillSend(bob, '2');
        await page.getByRole('button', { name: 'Review transfer' }).click();
        await shows('#confirm-from', 'alice, account 0 (Primary account)');
        const held = await holdAnswer(page, 'relay_tx');
        await page.getByRole('button', { name: 'Confirm and send' }).click();
        await held.made;
        await shows('#relay-status', '0 of 1 transactions sent\u2026');

        // bob is opened outside the page; its next probe finds him, read-only.
        await simRpc(env.sim, 'open_wallet', { filename: 'bob', password: 'demo' });
        await page.clock.fastForward(10000);
        await shows('#send-locked-text', 'This wallet was not opened in this page: sending needs its password, entered here.');
        assert.equal(await page.locator('#send-confirm').isVisible(), false);
        await page.getByLabel('Name of this wallet').fill('bob');
        await page.getByLabel('Password of this wallet').fill('demo');
        await page.getByRole('button', { name: 'Unlock sending' }).click();
        await fillSend(alice, '3');
        await page.getByRole('button', { name: 'Review transfer' }).click();
        await shows('#confirm-from', 'bob, account 0 (Primary account)');

        await held.release();
        assert.equal(await page.locator('#send-confirm').isVisible(), true, 'bob\'s confirmation is still open');
        assert.equal(await page.getByLabel('Amount (KRV)').inputValue(), '3');
        assert.equal(await page.locator('#send-result').textContent(), '');
        await page.getByRole('button', { name: 'Cancel' }).click();
    });

    it('a poll of the old wallet does not put its figures in the new one', async () => {
        await openInPage(page, 'alice');
        const alices = await balance();
        // bob's balance from his records, without opening him.
        const totals = await simRpc(env.sim, 'sim_totals', { filename: 'bob' });
        const bobs = coins(toAtomic(totals.received) - toAtomic(totals.sent) - toAtomic(totals.fees));
        // The next full read of alice, held at its accounts.
        const held = await holdAnswer(page, 'get_accounts');
        await page.clock.fastForward(30000);
        await held.made;
        await openInPage(page, 'bob');
        // Every balance shown from now on.
        await page.evaluate(() => {
            window.krvBalances = [];
            new MutationObserver(() => window.krvBalances.push(document.getElementById('balance').textContent))
                .observe(document.getElementById('balance'), { childList: true, characterData: true, subtree: true });
        });
        await held.release();
        await shows('#balance', bobs);
        assert.notEqual(bobs, alices);
        assert.ok(!(await page.evaluate(() => window.krvBalances)).includes(alices), 'alice\'s balance was shown as bob\'s');
        assert.equal(await page.locator('#wallet-title').textContent(), 'Open wallet: bob');
        await page.locator('#transfers-body tr').first().waitFor(WAIT);
        assert.deepEqual(env.messages.problems(), []);
    });
});
