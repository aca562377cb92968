// Who may spend, from which account, to whom: a wallet this page did not
// open is read-only until its password is typed here; Send pays from the
// account chosen and says so; several recipients go in one transaction;
// accounts and labels change in place; redraws keep the focus; and no
// state, an error included, makes the page scroll sideways. alice has 300
// transfers over two accounts. The steps build on each other, in order.

import assert from 'node:assert/strict';
import { before, describe, it } from 'node:test';

import { toAtomic } from '../../web/amount.js';
import { coins } from '../../web/format.js';
import {
    WAIT, axeFindings, launchBrowser, openInPage, rpcMethod, screenshotsAt, simRpc, useDashboard, walletAddress, watchConsole,
} from './harness.mjs';

const FEE = 30000000n;

describe('spending: the password, the account, the recipients', { timeout: 150000 }, () => {
    const env = useDashboard({ simArgs: ['--transfers', '300'] });
    let page;
    let bob;

    const shows = (selector, text, options) => env.shows(selector, text, options);
    const calls = (method) => env.requests.filter((r) => r.path === '/json_rpc' && rpcMethod(r) === method);
    const lastParams = (method) => JSON.parse(calls(method).at(-1).body).params;
    const accountsNow = async () => (await simRpc(env.sim, 'get_accounts')).subaddress_accounts;
    const relays = async () => (await simRpc(env.sim, 'sim_calls')).calls.relay_tx ?? 0;
    const review = () => page.getByRole('button', { name: 'Review transfer' });

    before(async () => {
        page = env.page;
        bob = walletAddress(env.dir, 'bob');
        await page.clock.install();
        await page.goto(env.server.url);
        await openInPage(page, 'alice');
        await page.locator('#account-list .pick').nth(1).waitFor(WAIT);
    });

    it('shows a wallet this browser did not open read-only, until its password is typed here', async () => {
        const other = await launchBrowser(env.dir);
        try {
            const second = other.pages()[0] ?? (await other.newPage());
            const quiet = watchConsole(second);
            await second.goto(env.server.url);
            const unlocked = coins(toAtomic((await simRpc(env.sim, 'get_balance', { all_accounts: true })).unlocked_balance));
            await second.locator('#unlocked', { hasText: unlocked }).waitFor(WAIT);
            await second.locator('#transfers-body tr').first().waitFor(WAIT);
            await second.locator('#receive-address', { hasText: /^KRV/ }).waitFor(WAIT);
            assert.equal(await second.locator('#wallet-name').textContent(), 'Opened outside this page: read-only until its password is entered here');
            assert.equal(await second.locator('#send-locked-text').textContent(),
                'This wallet was not opened in this page: sending needs its password, entered here.');
            for (const name of ['Review transfer', 'Max: send everything unlocked']) {
                assert.equal(await second.getByRole('button', { name }).count(), 0, `${name} is not offered`);
            }
            await screenshotsAt(second, 'read-only', '#send-card');
            assert.deepEqual(await axeFindings(second), [], 'read-only, light');

            await second.getByLabel('Name of this wallet').fill('alice');
            await second.getByLabel('Password of this wallet').fill('wrong');
            await second.getByRole('button', { name: 'Unlock sending' }).click();
            await second.locator('#send-unlock-message .sentence', { hasText: 'Could not open alice. The wallet could not be opened: check its name and password.' }).waitFor(WAIT);
            assert.equal(await second.getByLabel('Password of this wallet').inputValue(), '', 'a wrong password is not kept');
            await screenshotsAt(second, 'read-only-wrong-password', '#send-card');
            assert.equal(await second.getByRole('button', { name: 'Review transfer' }).count(), 0);

            await second.getByLabel('Password of this wallet').fill('demo');
            await second.getByRole('button', { name: 'Unlock sending' }).click();
            await second.getByRole('button', { name: 'Review transfer' }).waitFor(WAIT);
            await second.locator('#send-available', { hasText: /^Available: / }).waitFor(WAIT);
            assert.equal(await second.locator('#wallet-name').textContent(), '');
            assert.equal(await second.locator('#wallet-title').textContent(), 'Open wallet: alice');
            assert.deepEqual(quiet.problems(), []);
        } finally {
            await other.close();
        }
        // This tab opened alice with its password before: it still may spend.
        await page.clock.fastForward(10000);
        assert.equal(await review().count(), 1);
    });

    it('pays from the account chosen: its Available, the dry run, the confirmation and the exact balance after', async () => {
        const [, savings] = await accountsNow();
        // Send follows the account chosen in Receive until one is picked in Send.
        await page.locator('#account-list .pick').nth(1).click();
        assert.equal(await page.locator('#send-from').inputValue(), '1');
        await shows('#send-available', `Available: ${coins(toAtomic(savings.unlocked_balance))}`);
        await page.locator('#send-from').selectOption('0');
        await page.locator('#account-list .pick').nth(0).click();
        await page.locator('#account-list .pick').nth(1).click();
        assert.equal(await page.locator('#send-from').inputValue(), '0', 'picked in Send, it stays');
        await page.locator('#send-from').selectOption('1');

        const [primaryBefore] = await accountsNow();
        await page.getByLabel('Destination address').fill(bob);
        await page.getByLabel('Amount (KRV)').fill('1.25');
        await shows('#send-address-check', 'Valid address.');
        await review().click();
        await shows('#confirm-from', 'alice, account 1 (Savings)');
        assert.equal(lastParams('transfer').account_index, 1);
        assert.equal(lastParams('get_balance').account_index, 1);
        const after = toAtomic(savings.balance) - 1250000000000n - FEE;
        await shows('#confirm-after', coins(after));
        await page.getByRole('button', { name: 'Confirm and send' }).click();
        await page.locator('#sent-txid').waitFor(WAIT);
        const [primaryNow, savingsNow] = await accountsNow();
        assert.equal(toAtomic(savingsNow.balance), after, 'the balance after, exactly');
        assert.equal(toAtomic(primaryNow.balance), toAtomic(primaryBefore.balance), 'account 0 untouched');

        // Max too sweeps the account chosen.
        await page.getByRole('button', { name: /^Max/ }).click();
        await review().click();
        await page.locator('#send-confirm').waitFor({ state: 'visible', ...WAIT });
        assert.equal(lastParams('sweep_all').account_index, 1);
        await shows('#confirm-from', 'alice, account 1 (Savings)');
        await page.getByRole('button', { name: 'Cancel' }).click();
        await page.getByRole('button', { name: /^Max/ }).click();
        assert.match(await page.locator('#balance-label').textContent(), /^Balance, all accounts$/);
        assert.match(await page.locator('#unlocked-label').textContent(), /^Unlocked, all accounts$/);
    });

    it('sends to three recipients in one transaction, each checked and listed with its amount', async () => {
        await page.locator('#send-from').selectOption('0');
        const donations = (await simRpc(env.sim, 'get_address', { account_index: 0, address_index: [1] })).addresses[0];
        await page.getByLabel('Destination address').fill(bob);
        await page.getByLabel('Amount (KRV)').fill('1.5');
        await page.getByRole('button', { name: 'Add recipient' }).click();
        await page.getByLabel('Address of recipient 2').fill(donations.address);
        await page.getByLabel('Amount for recipient 2 (KRV)').fill('0.25');
        await shows('#send-address-check-2', 'This is Address 0/1 (Donations) of this wallet: the money stays in it and only the fee is spent.');
        await page.getByRole('button', { name: 'Add recipient' }).click();
        const typo = bob.slice(0, 50) + (bob[50] === 'a' ? 'b' : 'a') + bob.slice(51);
        await page.getByLabel('Address of recipient 3').fill(typo);
        await page.getByLabel('Amount for recipient 3 (KRV)').fill('2');
        await shows('#send-address-check-3', 'This address is not valid: check for a typo.');
        assert.equal(await review().isDisabled(), true);
        await screenshotsAt(page, 'send-three-recipients-typo', '#recipients');
        await page.getByLabel('Address of recipient 3').fill(bob);
        await shows('#send-address-check-3', 'Valid address.');
        await shows('#send-total', 'Together 3.75 KRV, in one transaction.');

        const relaysBefore = await relays();
        await review().click();
        await page.locator('#send-confirm').waitFor({ state: 'visible', ...WAIT });
        assert.deepEqual(lastParams('transfer').destinations,
            [{ amount: 1500000000000, address: bob }, { amount: 250000000000, address: donations.address }, { amount: 2000000000000, address: bob }]);
        const listed = await page.locator('#confirm-to li').evaluateAll((lis) => lis.map((li) =>
            [li.querySelector('.address-groups').textContent, li.querySelector('.amount').textContent]));
        assert.deepEqual(listed, [[bob, '1.50 KRV'], [donations.address, '0.25 KRV'], [bob, '2.00 KRV']]);
        await shows('#confirm-amount', '3.75 KRV');
        await shows('#confirm-fee', '0.00009 KRV');
        await shows('#confirm-total', '3.75009 KRV');
        await shows('#confirm-note', 'One transaction to 3 recipients, at normal priority.');
        await screenshotsAt(page, 'send-three-recipients', '#send-confirm');
        assert.deepEqual(await axeFindings(page), [], 'confirmation of three recipients');
        await page.getByRole('button', { name: 'Confirm and send' }).click();
        await page.locator('#sent-txid').waitFor(WAIT);
        assert.equal(await relays(), relaysBefore + 1, 'relayed once');
        const [sent] = (await simRpc(env.sim, 'get_transfers', { pending: true })).pending.filter((t) => t.destinations);
        assert.equal(toAtomic(sent.amount), 3750000000000n);
        assert.equal(sent.destinations.length, 3);
        assert.equal(await page.locator('#recipients > li').count(), 1, 'the form is back to one recipient');

        // Sixteen at most; removing one moves those after it up.
        for (let n = 2; n <= 16; n++) await page.getByRole('button', { name: 'Add recipient' }).click();
        assert.equal(await page.getByRole('button', { name: 'Add recipient' }).isDisabled(), true);
        await shows('#send-add-note', 'At most 16 recipients.');
        await page.getByLabel('Amount for recipient 3 (KRV)').fill('3');
        await page.getByRole('button', { name: 'Remove recipient 2' }).click();
        assert.equal(await page.getByLabel('Amount for recipient 2 (KRV)').inputValue(), '3');
        assert.equal(await page.locator('#recipients > li').count(), 15);
        await screenshotsAt(page, 'send-fifteen-recipients', '#send-add');
        while (await page.locator('#recipients > li').count() > 1) await page.getByRole('button', { name: /^Remove recipient/ }).last().click();
    });

    it('reads the page\'s own figures in the amount field, exactly, and refuses what it cannot read', async () => {
        const available = (await page.locator('#send-available').textContent()).replace(/^Available: /, '');
        const cases = [
            [available, ''],
            ['1,000.5', ''],
            ['1,5', 'Amount must be a number such as 1,000.5 (digits, commas between thousands, one dot).'],
        ];
        await page.getByLabel('Destination address').fill(bob);
        for (const [typed, error] of cases) {
            await page.getByLabel('Amount (KRV)').fill(typed);
            if (error) await shows('#send-amount-check', error);
            else await page.locator('#send-amount-check').waitFor({ state: 'hidden' });
        }
        await screenshotsAt(page, 'send-amount-refused', '#send-amount-check');
        // Two amounts that each fit but together do not.
        await page.getByLabel('Amount (KRV)').fill(available);
        await page.getByRole('button', { name: 'Add recipient' }).click();
        await page.getByLabel('Address of recipient 2').fill(bob);
        await page.getByLabel('Amount for recipient 2 (KRV)').fill('1');
        await shows('#send-total', /^Together [\d,.]+ KRV: more than the unlocked balance \([\d,.]+ KRV\)\.$/);
        await screenshotsAt(page, 'send-together-refused', '#send-total');
        await page.getByRole('button', { name: 'Remove recipient 2' }).click();
        await page.getByLabel('Amount (KRV)').fill(available);
        await shows('#send-address-check', 'Valid address.');
        assert.equal(await review().isEnabled(), true, `${available} is all that is unlocked, and no more`);
        await page.getByLabel('Amount (KRV)').fill('');
    });

    it('makes an account and relabels accounts and addresses in place', async () => {
        await page.getByLabel('Label for a new account').fill('Travel');
        await page.getByRole('button', { name: 'New account' }).click();
        await shows('#account-list [data-key="a:2"] .pick-name', 'Account 2 (Travel)');
        await shows('#addresses-title', 'Addresses of account 2');
        await page.locator('#send-from option[value="2"]').waitFor({ state: 'attached', ...WAIT });

        await page.getByRole('button', { name: 'Rename Account 2 (Travel)' }).click();
        assert.equal(await page.evaluate(() => document.activeElement.getAttribute('aria-label')), 'Label of account 2');
        await page.getByLabel('Label of account 2').fill('Holidays');
        await page.keyboard.press('Enter');
        await shows('#account-list [data-key="a:2"] .pick-name', 'Account 2 (Holidays)');
        assert.equal(await page.evaluate(() => document.activeElement.getAttribute('aria-label')), 'Rename Account 2 (Holidays)');
        assert.equal((await accountsNow())[2].label, 'Holidays');

        await page.locator('#account-list .pick').nth(1).click();
        await page.getByRole('button', { name: 'Rename Address 1/1 (Salary)' }).click();
        await page.getByLabel('Label of address 1/1').fill('Pay');
        await page.getByRole('button', { name: 'Save' }).click();
        await shows('#address-list [data-key="1/1"] .pick-name', /^Address 1\/1 \(Pay\)(used)?$/);
        assert.equal((await simRpc(env.sim, 'get_address', { account_index: 1, address_index: [1] })).addresses[0].label, 'Pay');
        // Escape leaves a label as it was.
        await page.getByRole('button', { name: 'Rename Address 1/1 (Pay)' }).click();
        await page.getByLabel('Label of address 1/1').fill('Not this');
        await page.keyboard.press('Escape');
        await shows('#address-list [data-key="1/1"] .pick-name', /^Address 1\/1 \(Pay\)(used)?$/);

        // A label of a hundred letters wraps inside its card.
        await page.getByRole('button', { name: 'Rename Account 1 (Savings)' }).click();
        await page.getByLabel('Label of account 1').fill('S'.repeat(100));
        await page.keyboard.press('Enter');
        await shows('#account-list [data-key="a:1"] .pick-name', `Account 1 (${'S'.repeat(100)})`);
        // The account's label is its first address's too.
        await shows('#address-list [data-key="1/0"] .pick-name', new RegExp(`^Account 1 \\(${'S'.repeat(100)}\\)(used)?$`));
        await page.clock.fastForward(30000);
        await page.locator('#send-from option[value="1"]', { hasText: 'S'.repeat(100) }).waitFor({ state: 'attached', ...WAIT });
        await screenshotsAt(page, 'long-labels', '#receive-card');
    });

    it('keeps the focus through redraws of the accounts, the wallet list and the transfers, and shows a new address', async () => {
        // An account whose balance changes is drawn anew; the focus stays on it.
        const pick = page.locator('#account-list [data-key="a:1"] .pick');
        await pick.focus();
        const before = await pick.textContent();
        await simRpc(env.sim, 'sim_receive', { amount: 1000000000000, account_index: 1 });
        await page.clock.fastForward(30000);
        await page.locator('#account-list [data-key="a:1"] .pick').filter({ hasNotText: before }).waitFor(WAIT);
        assert.equal(await page.evaluate(() => document.activeElement.closest('li')?.dataset.key), 'a:1');

        await page.getByRole('button', { name: 'Choose wallet bob' }).focus();
        await page.clock.fastForward(60000);
        await page.waitForFunction(() => document.getElementById('log').dataset.polls > 0);
        assert.equal(await page.evaluate(() => document.activeElement.getAttribute('aria-label')), 'Choose wallet bob');

        // The times of the rows move; the focused row is drawn anew and keeps it.
        const row = page.locator('#transfers-body tr').nth(4);
        const key = await row.getAttribute('data-key');
        const time = await row.locator('td.time').textContent();
        await row.getByRole('button').focus();
        await page.clock.fastForward(120000);
        await page.locator(`#transfers-body tr[data-key="${key}"] td.time`).filter({ hasNotText: time }).waitFor(WAIT);
        assert.equal(await page.evaluate(() => document.activeElement.closest('tr')?.dataset.key), key);

        // A new address in a list that scrolls is scrolled into view.
        await page.locator('#account-list .pick').nth(0).click();
        for (let i = 0; i < 6; i++) {
            await page.getByLabel('Label for a new address').fill(`Invoice ${i}`);
            await page.getByRole('button', { name: 'New address' }).click();
            await shows('#receive-shown', new RegExp(`\\(Invoice ${i}\\)$`));
        }
        const [item, list] = await page.locator('#address-list li.current').evaluate((li) =>
            [li.getBoundingClientRect(), li.parentElement.getBoundingClientRect()].map((r) => ({ top: r.top, bottom: r.bottom })));
        assert.ok(item.top >= list.top - 1 && item.bottom <= list.bottom + 1, `the new address lies inside its list: ${JSON.stringify([item, list])}`);
        assert.ok(await page.locator('#address-list').evaluate((l) => l.scrollHeight > l.clientHeight), 'the list scrolls');
    });

    it('says in one sentence why a send was refused, with no sideways scrolling at any size', async () => {
        await page.getByLabel('Destination address').fill(bob);
        const available = (await page.locator('#send-available').textContent()).replace(/^Available: /, '');
        await page.getByLabel('Amount (KRV)').fill(available);
        await shows('#send-address-check', 'Valid address.');
        await review().click();
        await shows('#send-result .sentence', 'Not enough unlocked funds for this amount and its fee.');
        await screenshotsAt(page, 'send-refused', '#send-result');
        await page.getByLabel('Amount (KRV)').fill('');

        await page.getByRole('button', { name: 'Close wallet' }).click();
        await page.getByRole('button', { name: 'Choose wallet alice' }).click();
        await page.getByLabel('Password', { exact: true }).fill('not the password');
        await page.getByRole('button', { name: 'Open wallet' }).click();
        await shows('#open-message .details', 'open_wallet: Failed to open wallet: invalid password (code -21)');
        await screenshotsAt(page, 'wrong-password', '#open-message');
        assert.deepEqual(env.messages.problems(), []);
    });
});
