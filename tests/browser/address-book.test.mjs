// The address book: its card, the picker in Send, and keeping an address
// after a send. The steps build on each other, in order.

import assert from 'node:assert/strict';
import { before, describe, it } from 'node:test';

import {
    WAIT, axeFindings, openInPage, simRpc, useDashboard, walletAddress,
} from './harness.mjs';
import { viewShots } from './screens.mjs';

describe('the address book', { timeout: 90000 }, () => {
    const env = useDashboard();
    let page;
    let alice;
    let bob;

    const shows = (selector, text, options) => env.shows(selector, text, options);
    const card = () => page.locator('#book-card');
    const listed = () => page.locator('#book-list .book-desc').allTextContents();
    const book = async () => (await simRpc(env.sim, 'get_address_book')).entries.map((e) => [e.description, e.address]);

    async function add(description, address) {
        await card().getByLabel('Description').fill(description);
        await card().getByLabel('Address', { exact: true }).fill(address);
        await card().locator('#book-save').click();
    }

    before(async () => {
        page = env.page;
        alice = walletAddress(env.dir, 'alice');
        bob = walletAddress(env.dir, 'bob');
        await page.goto(env.server.url);
        await openInPage(page, 'alice');
        // The card is built, and the book read, once it is in view.
        await card().scrollIntoViewIfNeeded();
        await shows('#book-empty', 'No addresses saved yet.');
    });

    it('adds entries, and refuses an address that is not valid while keeping what was typed', async () => {
        await add('Typo', `${bob.slice(0, -1)}x`);
        await shows('#book-message', 'This is not a valid address of this network.');
        assert.equal(await card().getByLabel('Address', { exact: true }).inputValue(), `${bob.slice(0, -1)}x`);
        await add('Bob\u2019s shop', bob);
        await shows('#book-message', 'Added Bob\u2019s shop.');
        await add('Savings', alice);
        await shows('#book-count', '2 entries');
        assert.deepEqual(await listed(), ['Bob\u2019s shop', 'Savings']);
        assert.equal(await card().getByLabel('Address', { exact: true }).inputValue(), '', 'the form is empty again');
    });

    it('finds entries by description or address, and edits one', async () => {
        await card().getByLabel('Find in the address book').fill('SHOP');
        assert.deepEqual(await listed(), ['Bob\u2019s shop']);
        await card().getByLabel('Find in the address book').fill(alice.slice(10, 20));
        assert.deepEqual(await listed(), ['Savings']);
        await card().getByLabel('Find in the address book').fill('nothing like it');
        await shows('#book-empty', 'No entry matches the search.');
        await card().getByLabel('Find in the address book').fill('');
        await page.getByRole('button', { name: 'Edit Bob\u2019s shop' }).click();
        await shows('#book-form-title', 'Edit Bob\u2019s shop');
        await card().getByLabel('Description').fill('Bob');
        await card().locator('#book-save').click();
        await shows('#book-message', 'Saved Bob.');
        assert.deepEqual(await book(), [['Bob', bob], ['Savings', alice]]);
        await viewShots(page, 'address-book', '#book-card');
        assert.deepEqual(await axeFindings(page), []);
    });

    it('changes nothing when the entry moved since it was shown', async () => {
        // Another tab deletes the first entry: "Savings" moves to index 0.
        await simRpc(env.sim, 'add_address_book', { address: bob, description: 'Elsewhere' });
        await simRpc(env.sim, 'delete_address_book', { index: 0 });
        await page.getByRole('button', { name: 'Delete Bob' }).click();
        await card().getByRole('button', { name: 'Delete', exact: true }).click();
        await shows('#book-message', 'The address book changed meanwhile: check the entry and try again.');
        assert.deepEqual(await book(), [['Savings', alice], ['Elsewhere', bob]]);
        assert.deepEqual(await listed(), ['Savings', 'Elsewhere']);
    });

    it('picks an address in Send by its description, and deletes an entry after a second click', async () => {
        await page.getByLabel('Pick from the address book').selectOption({ label: `Elsewhere (${bob.slice(0, 6)}\u2026${bob.slice(-6)})` });
        assert.equal(await page.getByLabel('Destination address').inputValue(), bob);
        await shows('#send-address-check', 'Valid address.');
        await page.getByRole('button', { name: 'Delete Elsewhere' }).click();
        await page.getByRole('button', { name: 'Keep' }).click();
        assert.deepEqual(await listed(), ['Savings', 'Elsewhere']);
        await page.getByRole('button', { name: 'Delete Elsewhere' }).click();
        await card().getByRole('button', { name: 'Delete', exact: true }).click();
        await shows('#book-message', 'Deleted Elsewhere.');
        assert.deepEqual(await book(), [['Savings', alice]]);
    });

    it('offers to keep an address the book does not hold after a send to it', async () => {
        await page.getByLabel('Amount (KRV)').fill('1');
        await page.getByRole('button', { name: 'Review transfer' }).click();
        await page.getByRole('button', { name: 'Confirm and send' }).click();
        await shows('#send-result strong', 'Sent 1.00 KRV.');
        await page.getByLabel('Keep this address').fill('Bob again');
        await viewShots(page, 'address-book-offer', '#book-offers');
        await page.getByRole('button', { name: 'Save to address book' }).click();
        await shows('#book-offers [role="status"]', 'Saved to the address book.');
        assert.deepEqual(await book(), [['Savings', alice], ['Bob again', bob]]);
        await page.locator('#book-list li').nth(1).waitFor(WAIT);
        assert.deepEqual(env.messages.problems(), []);
    });
});
