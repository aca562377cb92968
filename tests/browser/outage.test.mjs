// The simulator (wallet RPC service and daemon) stops and comes back on the
// same ports while the page watches. The page runs its clocks 20 times
// faster here (every poll interval and back-off step, a "minute" is 3 s), so
// that the minute-long figures of an outage are seen in seconds; the time
// limits below are real seconds.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { before, describe, it } from 'node:test';

import {
    SCREENSHOT_DIR, assertNoSideScroll, isStaticPath, openInPage, startSimulator, until, useDashboard, waitForText,
    walletAddress,
} from './harness.mjs';

const PACE = 0.05;
const MINUTE_MS = 60000 * PACE;

// The polls, by the route each uses (the log's query left out).
const pollOf = (r) => (r.path === '/json_rpc' || r.path === '/daemon_rpc' ? r.path : r.path.replace(/\?.*$/, ''));

describe('an outage of the wallet service and the daemon', { timeout: 60000 }, () => {
    let dir;
    let sim;
    let server;
    let page;
    let messages;
    let requests;
    const bad = [];

    const shows = (selector, text, options) => waitForText(page, selector, text, options);

    const env = useDashboard({ blockSeconds: null, pace: PACE });
    before(async () => {
        ({ dir, sim, server, page, messages, requests } = env);
        page.on('response', (r) => { if (r.status() >= 400) bad.push({ status: r.status(), path: new URL(r.url()).pathname }); });
        await page.goto(server.url);
        await openInPage(page, 'alice');
        await shows('#balance', '12,345.678901234567 KRV');
        await page.getByLabel('Destination address').fill(walletAddress(dir, 'bob'));
        await page.getByLabel('Amount (KRV)').fill('1');
        await shows('#send-address-check', 'Valid address.');
    });

    it('marks what is stale, disables what cannot work, backs off, and recovers within 3 s', async (t) => {
        // Any moment at which the badge and the banner tell different stories.
        await page.evaluate(() => {
            window.krvDisagreements = [];
            const check = () => {
                const state = document.getElementById('health').dataset.state;
                const banner = !document.getElementById('banner').hidden;
                if (banner === (state === 'ok' || state === 'checking')) {
                    window.krvDisagreements.push(`${document.getElementById('health-text').textContent} / banner ${banner}`);
                }
            };
            new MutationObserver(check).observe(document.body, { subtree: true, childList: true, attributes: true, characterData: true });
        });
        const { walletPort, daemonPort } = sim;
        const stopped = Date.now();
        await sim.stop();

        // Within 2 s: stale figures with their time, actions disabled with the
        // reason, badge and banner saying the same.
        await page.waitForFunction(() => {
            const stale = [...document.querySelectorAll('[data-stale-group]')].every((s) => 'stale' in s.dataset);
            const off = ['send-review', 'open-button', 'close-button'].every((id) => document.getElementById(id).disabled);
            return stale && off && document.getElementById('health').dataset.state === 'bad' && !document.getElementById('banner').hidden;
        }, null, { timeout: Math.max(1, 2000 - (Date.now() - stopped)) });
        const detected = Date.now() - stopped;
        for (const note of await page.locator('.stale-note').allTextContents()) assert.match(note, /^Last updated \d\d:\d\d:\d\d$/);
        // The connection, the wallet, its receive card and its transfers.
        assert.equal(await page.locator('.stale-note:visible').count(), 4);
        const reason = 'Unavailable: the wallet RPC service does not answer.';
        for (const id of ['send-blocked', 'open-blocked', 'close-blocked']) await shows(`#${id}`, reason);
        await shows('#health-text', 'Wallet RPC unreachable');
        await shows('#banner-text', `The wallet RPC service at 127.0.0.1:${walletPort} and the daemon at 127.0.0.1:${daemonPort} ` +
            'do not answer. Start them, or check --rpc-port and --daemon-port.');
        const details = await page.locator('#banner-list li').allTextContents();
        assert.match(details[0], /^Wallet RPC service: Cannot connect to krv-wallet-rpc at 127\.0\.0\.1:\d+ \(since \d\d:\d\d:\d\d\)$/);
        assert.match(details[1], /^Daemon: Cannot connect to krv daemon at 127\.0\.0\.1:\d+ \(since \d\d:\d\d:\d\d\)$/);
        assert.equal(await page.locator('#banner-details').getAttribute('open'), null, 'details folded');

        fs.mkdirSync(SCREENSHOT_DIR, { recursive: true });
        for (const [width, height] of [[1280, 800], [375, 812]]) {
            await page.setViewportSize({ width, height });
            await assertNoSideScroll(page, `the outage at ${width}x${height}`);
            await page.screenshot({ path: path.join(SCREENSHOT_DIR, `outage-${width}x${height}.png`) });
        }
        await page.setViewportSize({ width: 1280, height: 800 });

        // Down for long enough that the back-off has grown (20 s), then one
        // whole minute more: that last minute is counted, poll by poll.
        await until(() => Date.now() - stopped >= 20000 * PACE + MINUTE_MS, MINUTE_MS * 3, 'the outage lasts');
        const restartAt = Date.now();
        const perPoll = {};
        for (const r of requests) if (r.at >= restartAt - MINUTE_MS && r.at < restartAt) perPoll[pollOf(r)] = (perPoll[pollOf(r)] ?? 0) + 1;
        const before = {};
        for (const r of requests) {
            if (r.at >= stopped - MINUTE_MS && r.at < stopped && !isStaticPath(r.path)) before[pollOf(r)] = (before[pollOf(r)] ?? 0) + 1;
        }
        t.diagnostic(`detected after ${detected} ms; requests per scaled minute before: ${JSON.stringify(before)}; while down: ${JSON.stringify(perPoll)}`);
        for (const [poll, count] of Object.entries(perPoll)) assert.ok(count <= 4, `${poll}: ${count} requests in a minute while down`);
        for (const poll of ['/json_rpc', '/rpc/get_height']) assert.equal(perPoll[poll] ?? 0, 0, `${poll} waits for recovery`);

        // Back on the same ports: within 3 s everything returns, and the page
        // says that the wallet it had open was closed.
        sim = env.sim = await startSimulator(dir, { walletPort, daemonPort });
        const restarted = Date.now();
        await page.waitForFunction(() => {
            const fresh = [...document.querySelectorAll('[data-stale-group]')].every((s) => !('stale' in s.dataset));
            return fresh && document.getElementById('banner').hidden && document.getElementById('health').dataset.state === 'ok' &&
                !document.getElementById('open-button').disabled &&
                document.getElementById('wallet-message').textContent === 'alice was closed by the wallet service; open it again.';
        }, null, { timeout: 3000 });
        t.diagnostic(`recovered ${Date.now() - restarted} ms after the restart`);
        await shows('#wallet-none', /No wallet is open/);
        assert.equal(await page.locator('#open-message').textContent(), '');
        assert.equal(await page.getByLabel('Wallet name').inputValue(), 'alice');
        assert.equal(await page.locator('#wallet-list .tag').count(), 0);
        for (const id of ['open-blocked', 'close-blocked']) assert.equal(await page.locator(`#${id}`).textContent(), '');
        await shows('#send-blocked', 'Open a wallet first.');
        // Back to the usual pace: three health checks within 2.5 s at the usual
        // 15 s (0.75 s here); at the back-off's 30 s there would be two.
        const healthChecks = () => requests.filter((r) => r.path === '/health' && r.at > restarted).length;
        await until(() => healthChecks() >= 3, 2500, 'health checks at the usual pace');

        assert.deepEqual(await page.evaluate(() => window.krvDisagreements), []);
        // The page itself says nothing in the console; Chromium's note for
        // each request answered 502 (the probes that found a side down) is
        // all there is, one per such answer.
        assert.deepEqual(messages.problems(), []);
        const gateways = bad.filter((b) => b.status === 502);
        assert.equal(bad.length, gateways.length, JSON.stringify(bad));
        assert.equal(messages.network().length, gateways.length);
        for (const line of messages.network()) assert.match(line.text, /status of 502 \(Bad Gateway\)$/);
        const byRoute = {};
        for (const g of gateways) byRoute[g.path] = (byRoute[g.path] ?? 0) + 1;
        t.diagnostic(`502 answers during the outage, by route: ${JSON.stringify(byRoute)}`);
    });

    it('keeps the send draft through the outage: opened again, alice finds it as it was', async () => {
        await openInPage(page, 'alice');
        await shows('#send-available', 'Available: 12,345.678901234567 KRV');
        assert.equal(await page.getByLabel('Destination address').inputValue(), walletAddress(dir, 'bob'));
        assert.equal(await page.getByLabel('Amount (KRV)').inputValue(), '1');
        await shows('#send-address-check', 'Valid address.');
        assert.equal(await page.getByRole('button', { name: 'Review transfer' }).isEnabled(), true);
    });
});
