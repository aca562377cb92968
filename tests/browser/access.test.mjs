// The page under the server's content security policy, and the fixed LAN
// key of a bookmark: taken from the address, kept out of the address bar,
// sent on the wallet routes only, with the page's own header; a refusal
// (403) is a state of its own that says how to get in, by pairing when the
// server says so. Refusals are played by the browser (page.route), since the
// server under test, on loopback, refuses nothing.

import assert from 'node:assert/strict';
import { before, describe, it } from 'node:test';

import {
    STATIC_HEADERS, isStaticPath, until, useDashboard, waitForText, watchConsole,
} from './harness.mjs';

const PACE = 0.2;
const KEY = '0123456789abcdef0123456789abcdef';
const NEW_KEY = 'fedcba9876543210fedcba9876543210';
// The server's own sentences for a network client that is not paired, and
// for one that is locked.
const REFUSAL = 'This device is not paired: open a pairing address from the server\'s banner, or from Pair a device in ' +
    'the Devices card of the dashboard on the server\'s computer, or start the server with --lan-open.';
const LOCKED = 'This address is locked for a minute: it sent 20 wrong keys or pairing codes within a minute.';
const WALLET_ROUTES = ['/json_rpc', '/daemon_rpc', '/rpc/get_height', '/wallets', '/wallet-log'];
// The Devices card's routes (and the trade of a pairing code) carry the page's header, never the key.
const isDeviceRoute = (pathname) => /^\/(?:devices(?:\/|$)|pair$)/.test(pathname);
const isWalletRoute = (pathname) => !isStaticPath(pathname) && pathname !== '/health' && !isDeviceRoute(pathname);
const toWalletRoute = (url) => isWalletRoute(url.pathname);
const refuse = (route) => route.fulfill({ status: 403, contentType: 'application/json', body: JSON.stringify({ error: REFUSAL, pair: true }) });
const lock = (route) => route.fulfill({ status: 403, contentType: 'application/json', body: JSON.stringify({ error: LOCKED }) });

describe('the policy headers and the LAN key', { timeout: 90000 }, () => {
    let server;
    let context;
    let page;
    let messages;
    let requests;

    const shows = (selector, text, options) => waitForText(page, selector, text, options);
    const since = (start) => requests.filter((r) => r.at >= start);
    const storedKey = () => page.evaluate(() => sessionStorage.getItem('krv-webui.lan-key'));

    const env = useDashboard({ blockSeconds: null, pace: PACE });
    before(() => {
        ({ server, context, page, messages, requests } = env);
    });

    it('runs under the policy with nothing refused, and a violation would be caught', async () => {
        const response = await page.goto(server.url);
        for (const [name, value] of Object.entries(STATIC_HEADERS)) assert.equal(response.headers()[name], value, name);
        await shows('#health-text', 'Wallet RPC online');
        await shows('#daemon-height', /^\d+$/);
        assert.deepEqual(messages.seen, []);
        // An inline style attribute, which the policy forbids, is reported.
        await page.evaluate(() => document.body.append(document.createElement('div')));
        await page.evaluate(() => document.body.lastElementChild.setAttribute('style', 'color: red'));
        await until(() => messages.problems().some((m) => /^CSP violation: style-src-attr/.test(m.text)), 3000, 'the violation is seen');
        messages.clear();
    });

    it('takes the key from the address, clears it from the address bar, and sends it on wallet routes only, with the page\'s header', async () => {
        const start = Date.now();
        await page.goto(`${server.url}krv-webui.html#key=${KEY}`);
        assert.equal(await page.evaluate(() => window.location.href), `${server.url}krv-webui.html`);
        assert.equal(await storedKey(), KEY);
        await until(() => WALLET_ROUTES.every((p) => since(start).some((r) => r.path.startsWith(p))), 5000, 'every wallet route asked');
        for (const r of since(start)) {
            assert.equal(r.headers['x-krv-key'], isWalletRoute(r.path) ? KEY : undefined, `${r.method} ${r.path}`);
            const own = isWalletRoute(r.path) || isDeviceRoute(r.path);
            assert.equal(r.headers['x-requested-with'], own ? 'krv-webui' : undefined, `${r.method} ${r.path}`);
        }
        assert.ok(since(start).some((r) => r.path === '/health'));
        assert.deepEqual(messages.seen, []);
    });

    it('a lock is told as the server says it, and keeps the key', async () => {
        await page.route(toWalletRoute, lock);
        await shows('#health-text', 'Refused');
        await shows('#banner-text', LOCKED);
        assert.equal(await page.locator('#banner-help span').count(), 0);
        assert.equal(await storedKey(), KEY, 'a key refused for another reason is kept');
        await page.unroute(toWalletRoute, lock);
        await page.getByRole('button', { name: 'Try again' }).click();
        await shows('#health-text', 'Wallet RPC online');
        await page.locator('#banner').waitFor({ state: 'hidden', timeout: 3000 });
        messages.clear();
    });

    it('a refusal says how to get in and stops the wallet routes; a new key brings them back', async () => {
        await page.route(toWalletRoute, refuse);
        await shows('#health-text', 'Not paired');
        await shows('#banner-text', REFUSAL);
        const port = new URL(server.url).port;
        assert.deepEqual(await page.locator('#banner-help span').allTextContents(), [
            'This device was paired, but the server no longer knows it: it was forgotten there, or the server was restarted.',
            'To pair this device, open a pairing address on it: the server\u2019s banner shows one when it starts, and on the ' +
                'computer that runs the server the dashboard\u2019s Devices card makes a new one (Pair a device). ' +
                `On that computer, http://127.0.0.1:${port}/ needs no pairing.`,
        ]);
        assert.equal(await storedKey(), null, 'a refused key is dropped');
        const reason = 'Unavailable: the server refuses this browser (see the notice at the top).';
        for (const id of ['send-blocked', 'open-blocked']) await shows(`#${id}`, reason);
        await page.locator('[data-stale-group="daemon"][data-stale]').waitFor({ timeout: 2000 });

        // Not an outage: no retries at all while the health check goes on
        // (every 15 s, 3 s at this pace).
        const shown = Date.now();
        await until(() => since(shown).filter((r) => r.path === '/health').length >= 2, 8000, 'two health checks');
        assert.deepEqual(since(shown).filter((r) => isWalletRoute(r.path)).map((r) => r.path), []);
        assert.deepEqual(messages.problems(), []);
        for (const line of messages.network()) assert.match(line.text, /status of 403 \(Forbidden\)$/);
        assert.ok(messages.network().length <= WALLET_ROUTES.length, `${messages.network().length} refusals`);

        // The address with the new key opened in this tab.
        await page.unroute(toWalletRoute, refuse);
        const start = Date.now();
        await page.goto(`${server.url}krv-webui.html#key=${NEW_KEY}`);
        await shows('#health-text', 'Wallet RPC online');
        await page.locator('#banner').waitFor({ state: 'hidden', timeout: 3000 });
        assert.equal(await page.evaluate(() => window.location.href), `${server.url}krv-webui.html`);
        await until(() => WALLET_ROUTES.every((p) => since(start).some((r) => r.path.startsWith(p))), 5000, `every wallet route asked again: ${since(start).map((r) => r.path)}`);
        for (const r of since(start).filter((q) => isWalletRoute(q.path))) assert.equal(r.headers['x-krv-key'], NEW_KEY, r.path);
        assert.equal(await page.locator('[data-stale]').count(), 0);
    });

    it('without any key, a refusal only says how to get one', async () => {
        const tab = await context.newPage();
        const tabMessages = watchConsole(tab);
        await tab.route(toWalletRoute, refuse);
        await tab.goto(server.url);
        await tab.locator('#health-text', { hasText: 'Not paired' }).waitFor({ timeout: 5000 });
        assert.equal(await tab.locator('#banner-help span').count(), 1);
        assert.equal(await tab.locator('#banner-retry').textContent(), 'Try again');
        assert.deepEqual(tabMessages.problems(), []);
        await tab.close();
    });
});
