// Making and keeping wallets from the page: a new wallet and its seed
// backup, the seed restored into another file, a view-only wallet from
// keys, a new password and a rescan. The steps build on each other, in order.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { before, describe, it } from 'node:test';

import { SEED_LENGTH, seedWordIndex } from '../../web/seed-words.js';
import {
    WAIT, axeFindings, openInPage, useDashboard, walletAddress,
} from './harness.mjs';
import { viewShots } from './screens.mjs';

describe('wallets made and kept from the page', { timeout: 120000 }, () => {
    const env = useDashboard();
    let page;
    let seed = [];

    const shows = (selector, text, options) => env.shows(selector, text, options);
    const keysOf = (name) => JSON.parse(fs.readFileSync(path.join(env.dir, 'wallets', `${name}.keys`), 'utf8'));
    const shownWords = () => page.locator('#seed-words .seed-word').allTextContents();

    // Opens a tool's section by its summary, unless it is open.
    async function openTool(selector) {
        if (!(await page.locator(selector).evaluate((d) => d.open))) await page.locator(`${selector} > summary`).click();
    }

    async function make(how, fields) {
        await openTool('#create-tool');
        await page.getByLabel(how).check();
        for (const [label, value] of Object.entries(fields)) await page.getByLabel(label, { exact: true }).fill(value);
        await page.locator('#create-button').click();
    }

    // Everything the page has put where a seed must never go.
    async function leftBehind() {
        const kept = await page.evaluate(() => JSON.stringify({ local: { ...localStorage }, session: { ...sessionStorage }, url: location.href }));
        return kept + JSON.stringify(env.messages.seen) + JSON.stringify(env.requests.map((r) => r.path));
    }

    before(async () => {
        page = env.page;
        await page.goto(env.server.url);
        await page.getByRole('button', { name: 'Choose wallet alice' }).waitFor(WAIT);
    });

    it('shows the seed backup only to a browser on this computer', async () => {
        const hosts = await page.evaluate(async () => {
            const { isLoopbackHost } = await import('/seed-backup.js');
            return ['127.0.0.1', '127.1.2.3', 'localhost', '[::1]', '192.168.1.20', 'wallet-box', '127.0.0.1.example.com', '[::ffff:7f00:1]']
                .map((h) => [h, isLoopbackHost(h)]);
        });
        assert.deepEqual(hosts.filter(([, local]) => local).map(([h]) => h), ['127.0.0.1', '127.1.2.3', 'localhost', '[::1]']);
    });

    it('refuses a name that exists or holds a separator, before asking, and keeps what was typed', async () => {
        const cases = [
            ['alice', 'A wallet named alice exists already: choose another name.'],
            ['a/b', 'A wallet name cannot hold / or \\.'],
            ['.hidden', 'A wallet name cannot begin with a dot.'],
        ];
        for (const [name, sentence] of cases) {
            await make('New, with a new seed', { 'Name of the new wallet file': name, 'Password for the new wallet': 'p', 'The password again': 'p' });
            await shows('#create-message', sentence);
            assert.equal(await page.getByLabel('Name of the new wallet file').inputValue(), name);
        }
        await make('New, with a new seed', { 'Name of the new wallet file': 'carol', 'Password for the new wallet': 'one', 'The password again': 'two' });
        await shows('#create-message', 'The two passwords differ; type them again.');
        assert.equal(env.requests.filter((r) => /create_wallet/.test(r.body)).length, 0);
        await viewShots(page, 'wallet-create', '#create-tool');
    });

    it('makes a wallet, opens it and shows its seed at once, numbered, with a warning', async () => {
        await make('New, with a new seed', { 'Name of the new wallet file': 'carol', 'Password for the new wallet': 'carol pass', 'The password again': 'carol pass' });
        await shows('#create-message', 'Created carol. Write down its seed now.');
        await shows('#wallet-title', 'Open wallet: carol');
        await page.locator('#seed-shown').waitFor({ state: 'visible', ...WAIT });
        seed = await shownWords();
        assert.equal(seed.length, SEED_LENGTH);
        assert.ok(seed.every((w) => seedWordIndex(w) >= 0));
        assert.equal(await page.locator('#seed-words li').first().getAttribute('value'), '1');
        assert.match(await page.locator('.seed-warning').textContent(), /^Anyone who has these words can take the money/);
        await page.getByRole('button', { name: 'Choose wallet carol' }).waitFor(WAIT);
        await shows('#backup-note-text', 'The seed of this wallet is not backed up yet.');
        await viewShots(page, 'seed-backup', '#seed-tool');
        assert.deepEqual(await axeFindings(page), []);
    });

    it('asks for three of the words, names the wrong one, and then takes the note from the header', async () => {
        await page.getByRole('button', { name: 'I wrote it down' }).click();
        const labels = await page.locator('#seed-check-fields label').allTextContents();
        assert.equal(labels.length, 3);
        assert.equal(await page.locator('#seed-words li').count(), 0, 'the words are gone while they are asked for');
        const at = labels.map((l) => Number(l.replace('Word ', '')) - 1);
        await page.getByLabel(labels[0], { exact: true }).fill(seed[at[0]]);
        await page.getByLabel(labels[1], { exact: true }).fill('wrong');
        await page.getByLabel(labels[2], { exact: true }).fill(seed[at[2]].toUpperCase());
        await viewShots(page, 'seed-check', '#seed-tool');
        await page.getByRole('button', { name: 'Check the words' }).click();
        await shows('#seed-message', `Word ${at[1] + 1} does not match the seed. Check your paper, or show the seed again.`);
        await page.getByLabel(labels[1], { exact: true }).fill(seed[at[1]]);
        await page.getByRole('button', { name: 'Check the words' }).click();
        await shows('#seed-message', 'The seed is backed up: all three words match.');
        assert.equal(await page.locator('#backup-note').isVisible(), false);
    });

    it('shows the seed again only after the password reopens the wallet, and drops it when the wallet closes', async () => {
        const tool = page.locator('#seed-tool');
        await tool.getByLabel('Password, to show the seed').fill('not it');
        await tool.getByRole('button', { name: 'Show seed' }).click();
        await shows('#seed-message', 'Wrong password: the seed stays hidden.');
        assert.equal(await page.locator('#seed-words li').count(), 0);
        await tool.getByLabel('Password, to show the seed').fill('carol pass');
        await tool.getByRole('button', { name: 'Show seed' }).click();
        await page.locator('#seed-shown').waitFor({ state: 'visible', ...WAIT });
        assert.deepEqual(await shownWords(), seed);
        // Folding the section takes the words away; showing them again asks again.
        await page.locator('#seed-tool > summary').click();
        await page.locator('#seed-words li').first().waitFor({ state: 'detached', ...WAIT });
        await page.locator('#seed-tool > summary').click();
        assert.equal(await page.locator('#seed-shown').isVisible(), false);
        await tool.getByLabel('Password, to show the seed').fill('carol pass');
        await tool.getByRole('button', { name: 'Show seed' }).click();
        await page.locator('#seed-shown').waitFor({ state: 'visible', ...WAIT });
        await page.getByRole('button', { name: 'Close wallet' }).click();
        await shows('#open-message', 'carol was closed.');
        assert.equal(await page.locator('#seed-words li').count(), 0);
        const html = await page.content();
        const kept = await leftBehind();
        for (const word of seed) {
            assert.ok(!html.includes(`>${word}<`), `${word} is still in the page`);
        }
        assert.ok(!kept.includes(seed.slice(0, 3).join(' ')) && !kept.includes(seed[5]), 'a seed word was kept');
    });

    it('checks a restored seed word by word, then restores it into a new file with the same address', async () => {
        const typo = [...seed];
        typo[6] = `${seed[6]}x`;
        await make('Restored from its seed', { 'Name of the new wallet file': 'carol-again' });
        await page.getByLabel('Seed: the 24 words, in order').fill(`${typo.join(' ')} `);
        await shows('#create-seed-check', `Word 7, \u201c${typo[6]}\u201d, is not in the word list: check its spelling.`);
        await page.getByLabel('Seed: the 24 words, in order').fill(seed.slice(0, 20).join(' '));
        await shows('#create-seed-check', '20 of 24 words.');
        await page.getByLabel('Password for the new wallet').fill('again');
        await page.getByLabel('The password again').fill('again');
        await page.locator('#create-button').click();
        await shows('#create-message', 'The seed has 20 words; it needs 24.');
        assert.equal(await page.getByLabel('Seed: the 24 words, in order').inputValue(), seed.slice(0, 20).join(' '));
        await page.getByLabel('Seed: the 24 words, in order').fill(seed.join('  ').toUpperCase());
        await shows('#create-seed-check', '24 words, all in the word list.');
        await page.getByLabel('Restore from block height (0 for the whole chain)').fill('2000');
        await page.locator('#create-button').click();
        await shows('#create-message', 'Restored carol-again.');
        await shows('#wallet-address', walletAddress(env.dir, 'carol'));
        await shows('#rescan-message', /^Scanning the chain for carol-again(: block [\d,]+ of [\d,]+\.| finished; the history was read again\.)$/);
        assert.equal(await page.getByLabel('Seed: the 24 words, in order').inputValue(), '', 'the seed leaves the form');
        await viewShots(page, 'wallet-restored', '#wallet-card');
    });

    it('makes a view-only wallet from an address and its view key, which says why it cannot send', async () => {
        const alice = keysOf('alice');
        await make('From its address and keys', {
            'Name of the new wallet file': 'watcher',
            'Address of the wallet': alice.address,
            'Secret view key (64 hex digits)': alice.spend_key,
            'Password for the new wallet': 'w',
            'The password again': 'w',
        });
        await shows('#create-message', /^Could not make watcher\. These keys do not belong to this address\./);
        await page.getByLabel('Secret view key (64 hex digits)').fill(alice.view_key);
        // A day back is 720 blocks of two minutes below the daemon's height.
        const yesterday = await page.evaluate(() => {
            const d = new Date(Date.now() - 86400000);
            return `${d.getFullYear()}-${String(d.getMonth() + 1).padStart(2, '0')}-${String(d.getDate()).padStart(2, '0')}`;
        });
        await page.getByLabel('Or the day the wallet was made').fill(yesterday);
        await page.locator('#create-button').click();
        await shows('#create-message', 'Made watcher from its keys.');
        const asked = JSON.parse(env.requests.filter((r) => /generate_from_keys/.test(r.body)).at(-1).body).params;
        assert.ok(asked.restore_height >= 2500 - 2 * 720 && asked.restore_height <= 2500 - 720, String(asked.restore_height));
        assert.equal(asked.spendkey, undefined, 'no spend key: view-only');
        await shows('#wallet-title', 'Open wallet: watcher');
        // Only what arrived after the day given is found.
        await shows('#balance', /^[\d,.]+ KRV$/, { timeout: 15000 });
        await page.getByLabel('Destination address').fill(walletAddress(env.dir, 'bob'));
        await page.getByLabel('Amount (KRV)').fill('1');
        await shows('#send-address-check', 'Valid address.');
        await page.getByRole('button', { name: 'Review transfer' }).click();
        await shows('#send-result .sentence', 'This wallet is view-only: it holds no spend key, so it can watch money arrive but not send it.');
    });

    it('changes the password: the old one is refused and the new one opens', async () => {
        await openInPage(page, 'bob');
        await openTool('#password-tool');
        const fill = async (old, fresh, again) => {
            await page.getByLabel('Current password').fill(old);
            await page.getByLabel('New password', { exact: true }).fill(fresh);
            await page.getByLabel('New password again').fill(again);
            await page.getByRole('button', { name: 'Change password' }).click();
        };
        await fill('demo', 'correct horse battery staple', 'correct horse battery stapel');
        await shows('#password-message', 'The new password and its repetition differ; type them again.');
        await shows('#password-strength', 'Strong.');
        await fill('wrong', 'correct horse battery staple', 'correct horse battery staple');
        await shows('#password-message', 'The current password is wrong; the password was not changed.');
        assert.equal(await page.getByLabel('New password', { exact: true }).inputValue(), 'correct horse battery staple');
        await page.getByLabel('New password', { exact: true }).fill('short');
        await shows('#password-strength', 'Weak: use at least 12 characters, or four unrelated words.');
        await viewShots(page, 'wallet-password', '#password-tool');
        await fill('demo', 'correct horse battery staple', 'correct horse battery staple');
        await shows('#password-message', 'The password of bob is changed: open it with the new one from now on.');
        await page.getByRole('button', { name: 'Close wallet' }).click();
        await shows('#open-message', 'bob was closed.');
        await page.getByRole('button', { name: 'Choose wallet bob' }).click();
        await page.getByLabel('Password', { exact: true }).fill('demo');
        await page.getByRole('button', { name: 'Open wallet' }).click();
        await shows('#open-message .sentence', 'Could not open bob. The wallet could not be opened: check its name and password.');
        await openInPage(page, 'bob', 'correct horse battery staple');
    });

    it('rescans after a confirmation, shows the climb, and finds the same history', async () => {
        await openInPage(page, 'alice');
        await page.locator('#transfers-body tr').first().waitFor(WAIT);
        const before = await page.locator('#transfers-body').textContent();
        await openTool('#rescan-tool');
        await page.getByRole('button', { name: 'Rescan the chain' }).click();
        await shows('#rescan-question', 'Rescan the whole chain now?');
        await viewShots(page, 'wallet-rescan', '#rescan-tool');
        await page.getByRole('button', { name: 'Rescan now' }).click();
        await shows('#rescan-message', 'Rescan finished; the history was read again.', { timeout: 15000 });
        await page.locator('#transfers-body tr').first().waitFor(WAIT);
        assert.equal(await page.locator('#transfers-body').textContent(), before);
        await page.getByRole('button', { name: 'Rescan spent outputs' }).click();
        await shows('#rescan-message', 'Spent outputs checked again.');
        assert.deepEqual(await axeFindings(page), []);
        assert.deepEqual(env.messages.problems(), []);
    });
});
