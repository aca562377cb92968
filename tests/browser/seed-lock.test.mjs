// The seed and the idle lock, under Playwright's clock: the words shown
// leave the page when the wallet locks, and a skipped backup is said in the
// wallet's header until it is done, across a reload.

import assert from 'node:assert/strict';
import { before, describe, it } from 'node:test';

import { WAIT, openInPage, useDashboard } from './harness.mjs';

const MINUTE = 60000;

describe('the seed and the idle lock', { timeout: 60000 }, () => {
    const env = useDashboard();
    let page;

    const shows = (selector, text, options) => env.shows(selector, text, options);
    const words = () => page.locator('#seed-words li');

    before(async () => {
        page = env.page;
        await page.clock.install();
        await page.goto(env.server.url);
        await openInPage(page, 'alice');
    });

    it('takes the words out of the page when the wallet locks', async () => {
        await page.locator('#seed-tool > summary').click();
        await page.getByLabel('Password, to show the seed').fill('demo');
        await page.getByRole('button', { name: 'Show seed' }).click();
        await words().nth(23).waitFor(WAIT);
        const seed = await page.locator('#seed-words .seed-word').allTextContents();
        await page.clock.fastForward(16 * MINUTE);
        await shows('#wallet-message', 'alice was locked after 15 minutes without use; open it again with its password to continue.');
        assert.equal(await words().count(), 0);
        const html = await page.content();
        assert.ok(seed.every((w) => !html.includes(`>${w}<`)), 'no word is left in the page');
    });

    it('says a skipped backup in the header until the words are checked, across a reload', async () => {
        await page.locator('#create-tool > summary').click();
        await page.getByLabel('Name of the new wallet file').fill('dora');
        await page.getByLabel('Password for the new wallet').fill('dora pass');
        await page.getByLabel('The password again').fill('dora pass');
        await page.getByRole('button', { name: 'Create wallet' }).click();
        await words().nth(23).waitFor(WAIT);
        const seed = await page.locator('#seed-words .seed-word').allTextContents();
        await page.getByRole('button', { name: 'Skip for now' }).click();
        assert.equal(await words().count(), 0);
        await shows('#backup-note-text', 'The seed of this wallet is not backed up yet.');
        await page.reload();
        await shows('#backup-note-text', 'The seed of this wallet is not backed up yet.');
        await page.getByRole('button', { name: 'Back up the seed' }).click();
        await page.getByLabel('Password, to show the seed').fill('dora pass');
        await page.getByRole('button', { name: 'Show seed' }).click();
        await words().nth(23).waitFor(WAIT);
        await page.getByRole('button', { name: 'I wrote it down' }).click();
        for (const label of await page.locator('#seed-check-fields label').allTextContents()) {
            await page.getByLabel(label, { exact: true }).fill(seed[Number(label.replace('Word ', '')) - 1]);
        }
        await page.getByRole('button', { name: 'Check the words' }).click();
        await shows('#seed-message', 'The seed is backed up: all three words match.');
        await page.locator('#backup-note').waitFor({ state: 'hidden', ...WAIT });
        assert.equal(await page.evaluate(() => localStorage.getItem('krv-webui.seed-backup-skipped')), null);
        assert.deepEqual(env.messages.problems(), []);
    });
});
