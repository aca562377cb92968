// The dashboard in headless Chromium, served by the real server, with the
// wallet simulator behind it. The steps build on each other, in order.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { before, describe, it } from 'node:test';

import {
    SCREENSHOT_DIR, WAIT, simRpc, startServer, useDashboard, waitForText, walletAddress,
} from './harness.mjs';


describe('dashboard in a browser', { timeout: 110000 }, () => {
    let dir;
    let sim;
    let server;
    let page;
    let messages;

    // Waits until the element's whole text is `text`.
    const shows = (selector, text, options) => waitForText(page, selector, text, options);

    const logPolls = () => page.locator('#log').evaluate((n) => Number(n.dataset.polls ?? 0));
    const countLines = (text) => page.locator('#log .log-line').evaluateAll(
        (rows, t) => rows.filter((r) => r.textContent.includes(t)).length, text);

    // The page's clock jumps ahead, so that what waits for its next poll
    // (a block, a wallet opened elsewhere) is seen at once.
    const skip = (ms) => page.clock.fastForward(ms);

    async function waitForLogPolls(count) {
        const start = await logPolls();
        await page.waitForFunction((n) => Number(document.getElementById('log').dataset.polls) >= n, start + count, WAIT);
    }

    async function send(address, amount) {
        await page.getByLabel('Destination address').fill(address);
        await page.getByLabel('Amount (KRV)').fill(amount);
        await shows('#send-address-check', 'Valid address.');
        await page.getByRole('button', { name: 'Review transfer' }).click();
    }

    // Blocks come only when a test mines them, so what it reads is what it made.
    const env = useDashboard();
    before(async () => {
        ({ dir, sim, server, page, messages } = env);
        await page.clock.install();
    });

    it('loads without console errors and shows the health badge and the daemon', async () => {
        await page.goto(server.url);
        await shows('#health-text', 'Wallet RPC online');
        await page.locator('#health[data-state="ok"]').waitFor(WAIT);
        await shows('#conn-daemon', 'Synchronized');
        await shows('#daemon-height', /^\d{4,}$/);
        await shows('#path-height', /^\d{4,}$/);
        await shows('#daemon-peers', /^8 out, \d in$/);
        await waitForLogPolls(2);
        assert.deepEqual(messages.seen, []);
        assert.equal(await page.locator('#banner').isHidden(), true);
    });

    it('lists the wallet files, each once and without .keys', async () => {
        await page.locator('#wallet-list li').nth(1).waitFor(WAIT);
        const names = await page.locator('#wallet-list .wallet-pick').allTextContents();
        assert.deepEqual(names.sort(), ['alice', 'bob']);
    });

    it('refuses a wrong password, then opens a wallet and shows its exact balance', async () => {
        await page.getByRole('button', { name: 'Choose wallet alice' }).click();
        assert.equal(await page.getByLabel('Wallet name').inputValue(), 'alice');
        await page.getByLabel('Password', { exact: true }).fill('wrong');
        await page.getByLabel('Password', { exact: true }).press('Enter');
        await shows('#open-message .sentence', 'Could not open alice. The wallet could not be opened: check its name and password.');
        await shows('#open-message .details', 'open_wallet: Failed to open wallet: invalid password (code -21)');
        await page.getByLabel('Password', { exact: true }).fill('demo');
        await page.getByRole('button', { name: 'Open wallet' }).click();
        // More than 2^53 atomic units: a float would get the last digits wrong.
        await shows('#balance', '12,345.678901234567 KRV');
        await shows('#unlocked', '12,345.678901234567 KRV');
        await shows('#balance-note', 'All of it can be spent now.');
        await shows('#wallet-address', walletAddress(dir, 'alice'));
        await shows('#wallet-title', 'Open wallet: alice');
        await shows('#wallet-height', /^\d{4,}$/);
        await page.locator('#transfers-body tr').nth(1).waitFor(WAIT);
        assert.equal(await page.locator('#transfers-body tr').count(), 2);
    });

    it('sends a transfer after confirmation and shows it, its fee and the new balance', async () => {
        await send(walletAddress(dir, 'bob'), '1.5');
        await shows('#confirm-amount', '1.50 KRV');
        await page.getByRole('button', { name: 'Confirm and send' }).click();
        await shows('#sent-fee', '0.00003 KRV');
        const txid = await page.locator('#sent-txid').textContent();
        assert.match(txid, /^[0-9a-f]{64}$/);
        // 12345.678901234567 - 1.5 - 0.00003
        await shows('#balance', '12,344.178871234567 KRV');
        const row = page.locator(`#transfers-body tr[data-txid="${txid}"]`);
        await row.waitFor(WAIT);
        assert.equal(await page.locator('#transfers-body tr').first().getAttribute('data-txid'), txid, 'newest first');
        assert.deepEqual((await row.locator('td').allTextContents()).slice(0, 4), ['Pending', '\u22121.50', '0', 'pending']);

        // The block is seen at the daemon's next poll, which reads the wallet again.
        await simRpc(sim, 'sim_mine', { blocks: 2 });
        await skip(15000);
        await row.locator('td').first().filter({ hasText: 'Sent' }).waitFor(WAIT);
        const cells = await row.locator('td').allTextContents();
        assert.equal(Number(cells[2]) >= 2, true, `confirmations: ${cells[2]}`);
        assert.match(cells[3], /^\d+$/);
        assert.equal(cells[6], `${txid.slice(0, 10)}…${txid.slice(-4)}`);
    });

    it('follows the log: new lines appear within a poll, each once, and the filter narrows them', async () => {
        const stamp = Date.now();
        const markers = [`marker-one-${stamp}`, `marker-two-${stamp}`, `marker-three-${stamp}`];
        for (const m of markers.slice(0, 2)) await simRpc(sim, 'sim_log', { message: m });
        for (const m of markers.slice(0, 2)) {
            await page.locator('#log .log-line', { hasText: m }).first().waitFor({ timeout: 3000 });
        }
        await simRpc(sim, 'sim_log', { message: markers[2] });
        await page.locator('#log .log-line', { hasText: markers[2] }).first().waitFor({ timeout: 3000 });
        // Polls that find nothing new must not repeat what is shown.
        await waitForLogPolls(3);
        for (const m of markers) assert.equal(await countLines(m), 1, m);

        await page.getByLabel('Filter log lines').fill(`marker-two-${stamp}`);
        const visible = await page.locator('#log .log-line:visible').allTextContents();
        assert.equal(visible.length, 1);
        assert.match(visible[0], new RegExp(markers[1]));
        await page.getByLabel('Filter log lines').fill('');
    });

    it('filters the log by level with the count of matching lines, and holds still under a paused reader', async () => {
        const box = page.locator('#log');
        await simRpc(sim, 'sim_log', { message: 'disk nearly full', level: 'W' });
        await simRpc(sim, 'sim_log', { message: 'refresh failed', level: 'E' });
        await page.locator('#log .log-line.error', { hasText: 'refresh failed' }).waitFor(WAIT);
        await page.getByLabel('Log level').selectOption('error');
        const errors = await page.locator('#log .log-line:visible').evaluateAll((rows) => rows.map((r) => r.className));
        assert.ok(errors.length >= 1 && errors.every((c) => c === 'log-line error'), errors.join());
        const total = await page.locator('#log .log-line').count();
        await shows('#log-count', `${errors.length} of ${total} lines match`);
        await page.getByLabel('Log level').selectOption('warn');
        assert.equal(await page.locator('#log .log-line.warn:visible', { hasText: 'disk nearly full' }).count(), 1);
        await page.getByLabel('Log level').selectOption('all');
        await shows('#log-count', `${total} lines`);

        // Fill the panel to its limit, then read from the middle while more arrive.
        const batch = (from, n) => Promise.all(Array.from({ length: n }, (_, i) => simRpc(sim, 'sim_log', { message: `filler ${from + i}` })));
        for (let i = 0; i < 500; i += 50) await batch(i, 50);
        await page.waitForFunction(() => document.querySelectorAll('#log .log-line').length >= 500, null, { timeout: 8000 });
        const reading = () => box.evaluate((b) => {
            const row = [...b.querySelectorAll('.log-line')].find((r) => r.offsetTop >= b.scrollTop);
            return { text: row.textContent, offset: row.offsetTop - b.scrollTop, first: b.firstElementChild.textContent };
        });
        await box.evaluate((b) => { b.scrollTop = b.scrollHeight / 2; });
        await page.getByRole('button', { name: 'Paused — jump to latest' }).waitFor(WAIT);
        const before = await reading();
        await batch(1000, 60);
        await page.locator('#log .log-line', { hasText: 'filler 1059' }).waitFor({ timeout: 5000 });
        const afterwards = await reading();
        assert.equal(await page.locator('#log .log-line').count(), 500, 'the oldest lines were dropped');
        assert.notEqual(afterwards.first, before.first);
        assert.equal(afterwards.text, before.text, 'the line being read is still the one at the top');
        assert.ok(Math.abs(afterwards.offset - before.offset) <= 1, `moved by ${afterwards.offset - before.offset} px`);
        await page.getByRole('button', { name: 'Paused — jump to latest' }).click();
        assert.equal(await box.evaluate((b) => b.scrollTop + b.clientHeight >= b.scrollHeight - 8), true);
    });

    // The dashboard server itself down: Chromium notes each failed request in
    // the console, so only the page's own output is held to silence here.
    it('shows a banner while the dashboard server itself is down, and recovers', async () => {
        assert.deepEqual(messages.problems(), []);
        const { port } = server;
        await server.stop();
        await shows('#banner-text', `The dashboard server at 127.0.0.1:${port} does not answer. Start krv-webui again; this page reconnects by itself.`);
        await shows('#health-text', 'Dashboard server offline');
        await page.locator('[data-stale-group="wallet"] .stale-note', { hasText: /^Last updated \d\d:\d\d:\d\d$/ }).first().waitFor(WAIT);
        await shows('#open-blocked', 'Unavailable: the dashboard server does not answer.');
        // Backing off, the next try may be seconds away; coming back to the
        // page (as after starting the server in a terminal) tries at once.
        await page.waitForFunction(() => document.getElementById('health').dataset.state === 'down');
        server = env.server = await startServer(dir, sim, port);
        await page.evaluate(() => window.dispatchEvent(new Event('focus')));
        await page.locator('#banner').waitFor({ state: 'hidden', timeout: 2000 });
        await shows('#health-text', 'Wallet RPC online');
        assert.deepEqual(messages.problems(), []);
        for (const line of messages.network()) assert.match(line.text, /net::ERR_CONNECTION_REFUSED/);
    });

    it('saves full-page screenshots at 1280x800 and 375x812', async () => {
        await shows('#balance', '12,344.178871234567 KRV');
        fs.mkdirSync(SCREENSHOT_DIR, { recursive: true });
        await page.setViewportSize({ width: 1280, height: 800 });
        await page.screenshot({ path: path.join(SCREENSHOT_DIR, 'dashboard-1280x800.png'), fullPage: true });
        await page.setViewportSize({ width: 375, height: 812 });
        const width = await page.evaluate(() => document.documentElement.scrollWidth);
        assert.ok(width <= 375, `page is ${width} px wide at 375 px`);
        await page.screenshot({ path: path.join(SCREENSHOT_DIR, 'dashboard-375x812.png'), fullPage: true });
        await page.emulateMedia({ colorScheme: 'dark' });
        await page.setViewportSize({ width: 1280, height: 800 });
        await page.screenshot({ path: path.join(SCREENSHOT_DIR, 'dashboard-1280x800-dark.png'), fullPage: true });
        await page.emulateMedia({ colorScheme: 'light' });
    });
});
