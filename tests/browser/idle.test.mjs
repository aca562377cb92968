// What an open page costs while nothing happens, with alice's 10,000
// transfers open: requests and bytes in a minute, what a refresh moves, and
// nothing at all while the tab is hidden. The page's clock is Playwright's:
// paused, then moved on a second at a time, each second's requests settled
// before the next, so a minute of the page's time takes a second or two.
// KRV_REAL_MINUTE=1 lets a real minute pass instead.

import assert from 'node:assert/strict';
import { before, describe, it } from 'node:test';

import { WAIT, countRequests, openInPage, simRpc, useDashboard } from './harness.mjs';

const REAL = process.env.KRV_REAL_MINUTE === '1';

describe('an open page while nothing happens', { timeout: REAL ? 400000 : 60000 }, () => {
    let sim;
    let server;
    let page;
    let requests;
    let messages;

    // Lets `seconds` of the page's time pass and returns what it asked for.
    async function pass(seconds) {
        await requests.settle();
        const mark = requests.mark();
        if (REAL) {
            await page.clock.resume();
            await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
            // A second ahead: the page's clock may have moved on since it was read.
            await page.clock.pauseAt(await page.evaluate(() => Date.now() + 1000));
        } else {
            for (let i = 0; i < seconds; i++) {
                await page.clock.runFor(1000);
                await requests.settle();
            }
        }
        await requests.settle();
        return requests.since(mark);
    }

    const sum = (list) => list.reduce((total, r) => total + r.bytes, 0);
    const byRoute = (list) => {
        const counts = {};
        for (const r of list) {
            const name = r.method ? `${r.path} ${r.method}` : r.path;
            counts[name] = (counts[name] ?? 0) + 1;
        }
        return JSON.stringify(counts);
    };

    const env = useDashboard({ simArgs: ['--transfers', '10000'] });
    before(async () => {
        ({ sim, server, page, messages } = env);
        requests = countRequests(page);
        await page.clock.install();
        await page.goto(server.url);
        await openInPage(page, 'alice');
        await page.locator('#transfers-body tr').first().waitFor(WAIT);
        await page.locator('#qr svg').waitFor(WAIT);
        await requests.settle();
        await page.clock.pauseAt(await page.evaluate(() => Date.now() + 1000));
        // A minute for everything that opening started to come round once.
        await pass(60);
    });

    it('asks for at most 60 requests and 150 KB in a minute', async (t) => {
        const minute = await pass(60);
        const bytes = sum(minute);
        t.diagnostic(`${REAL ? 'a real' : 'a clocked'} minute: ${minute.length} requests, ${bytes} bytes; ${byRoute(minute)}`);
        assert.ok(minute.length <= 60, `${minute.length} requests`);
        assert.ok(bytes <= 150 * 1024, `${bytes} bytes`);
        // The log was followed without repeating its tail.
        const logs = minute.filter((r) => r.path === '/wallet-log');
        assert.equal(logs.length, 30, 'a log poll every 2 s');
        assert.ok(logs.every((r) => r.bytes < 2048), 'a log poll that finds nothing new is small');
    });

    it('refreshes the transfers by height: under 2 KB with nothing new, and only what is new otherwise', async (t) => {
        // Let the transfers waiting in the pool and pending reach a block, so
        // that nothing waits; the daemon's next poll sees the new height.
        await simRpc(sim, 'sim_mine', { blocks: 6 });
        const mined = await pass(15);
        const seen = mined.filter((r) => r.method === 'get_transfers');
        assert.ok(seen.length >= 1, byRoute(mined));
        assert.ok(seen.every((r) => r.params.filter_by_height === true));
        await page.locator('#transfers-body tr.kind-pool').waitFor({ state: 'detached', ...WAIT });

        // Nothing new: the next read in full, at most 30 s on.
        const quiet = (await pass(40)).filter((r) => r.method === 'get_transfers');
        assert.equal(quiet.length, 1);
        const [{ bytes, params }] = quiet;
        t.diagnostic(`a refresh with nothing new: ${bytes} bytes, min_height ${params.min_height}`);
        assert.ok(bytes < 2048, `${bytes} bytes`);

        // Something new: one transfer sent from the wallet comes alone.
        await simRpc(sim, 'transfer', { destinations: [{ address: await page.locator('#receive-address').textContent(), amount: 1000000 }] });
        const fresh = (await pass(40)).filter((r) => r.method === 'get_transfers');
        t.diagnostic(`a refresh with one new transfer: ${fresh[0].bytes} bytes`);
        assert.ok(fresh[0].bytes < 4096, `${fresh[0].bytes} bytes`);
        await page.locator('#transfers-body tr.kind-pending').first().waitFor(WAIT);
        assert.equal(await page.locator('#transfers-count').textContent(), '10,002 transfers');
    });

    it('asks for nothing while the tab is hidden, and catches up when it is shown', async () => {
        const setHidden = (hidden) => page.evaluate((h) => {
            Object.defineProperty(document, 'hidden', { configurable: true, get: () => h });
            Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => (h ? 'hidden' : 'visible') });
            document.dispatchEvent(new Event('visibilitychange'));
        }, hidden);
        await setHidden(true);
        const hidden = await pass(REAL ? 30 : 120);
        assert.deepEqual(hidden.map((r) => r.path), []);
        const mark = requests.mark();
        await setHidden(false);
        await requests.settle();
        const back = await requests.since(mark);
        for (const route of ['/health', '/wallet-log', '/json_rpc', '/daemon_rpc']) {
            assert.ok(back.some((r) => r.path === route), `${route} asked for at once: ${byRoute(back)}`);
        }
        assert.deepEqual(messages.problems(), []);
    });
});
