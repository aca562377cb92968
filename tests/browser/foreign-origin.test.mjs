// A page from another origin (a second loopback address, as a site the
// user happens to visit) tries to spend from and read the open wallet
// through the server: script requests, a top-level form post, and a frame
// of the dashboard. The server's own checks must stop every one of them;
// the browser's rules are not relied on.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { before, describe, it } from 'node:test';

import { simRpc, until, useAttackedWallet, walletAddress } from './harness.mjs';


// The attacking page: what it learns goes into #result as JSON. The form
// sends "name=value" as text/plain, which the name and value make into the
// JSON-RPC call itself.
function attackPage(target, address) {
    const call = (method, params) => JSON.stringify({ jsonrpc: '2.0', id: 1, method, params });
    const transfer = call('transfer', { destinations: [{ amount: 2000000000000, address }] });
    return `<!doctype html><title>invoice</title>
<pre id="result">running</pre>
<iframe id="frame" src="${target}/"></iframe>
<form id="form" method="POST" action="${target}/json_rpc" enctype="text/plain" target="sink">
<input name='${transfer.slice(0, -1)},"pad":"' value='"}'></form>
<iframe name="sink"></iframe>
<script>
const results = {};
async function attempt(name, url, init) {
    try {
        const r = await fetch(url, init);
        results[name] = { status: r.status, body: await r.text() };
    } catch (e) {
        results[name] = { error: String(e) };
    }
}
(async () => {
    const post = (body) => ({ method: 'POST', body });
    await attempt('transfer', '${target}/json_rpc', post(${JSON.stringify(transfer)}));
    await attempt('balance', '${target}/json_rpc', post(${JSON.stringify(call('get_balance', {}))}));
    await attempt('daemon', '${target}/daemon_rpc', post(${JSON.stringify(call('get_info', {}))}));
    await attempt('wallets', '${target}/wallets');
    await attempt('log', '${target}/wallet-log?lines=500');
    document.getElementById('form').submit();
    document.getElementById('result').textContent = JSON.stringify(results);
})();
</script>`;
}

describe('a page from another origin', { timeout: 60000 }, () => {
    let dir;
    let sim;
    let server;
    let site;
    let browser;
    const env = useAttackedWallet();
    before(async () => {
        ({ dir, sim, server, browser } = env);
        site = await env.serveSite(attackPage(`http://127.0.0.1:${server.port}`, walletAddress(dir, 'bob')));
    });

    it('cannot spend, read the wallet or frame the dashboard', async () => {
        const before = await simRpc(sim, 'get_balance');
        const logBefore = fs.readFileSync(path.join(dir, 'wallet-rpc.log'), 'utf8');
        const page = await browser.newPage();
        const seen = [];
        page.on('request', (r) => seen.push(`${r.method()} ${r.url()}`));
        await page.goto(site);
        await page.locator('#result').filter({ hasNotText: 'running' }).waitFor({ timeout: 10000 });
        const results = JSON.parse(await page.locator('#result').textContent());

        // Every request reached the server and was refused: nothing of the wallet came back.
        for (const name of ['transfer', 'balance', 'daemon', 'wallets', 'log']) {
            assert.equal(results[name].status, 403, `${name}: ${JSON.stringify(results[name])}`);
            assert.match(JSON.parse(results[name].body).error, /^Web pages from other sites may not use the wallet/);
        }
        // The form post is a navigation of the sink frame: it too gets the refusal.
        await until(() => seen.some((s) => s.startsWith(`POST http://127.0.0.1:${server.port}/json_rpc`)), 5000, 'form post sent');
        const sink = page.frame({ name: 'sink' });
        await until(async () => /may not use the wallet/.test(await sink.content()), 5000, 'form post refused');

        // The dashboard never shows inside the frame.
        const frame = page.frames().find((f) => f.url().startsWith(`http://127.0.0.1:${server.port}/`) && f !== sink);
        const framed = frame ? await frame.content() : '';
        assert.doesNotMatch(framed, /KRV Chain Web Dashboard|id="health-text"/);

        // The wallet is as it was: no transfer was made, the balance unchanged.
        assert.deepEqual(await simRpc(sim, 'get_balance'), before);
        const logAfter = fs.readFileSync(path.join(dir, 'wallet-rpc.log'), 'utf8').slice(logBefore.length);
        assert.doesNotMatch(logAfter, /transfer|sent|Sent/i);
        await page.close();
    });

    it('leaves the page served from the server itself working', async () => {
        const page = await browser.newPage();
        await page.goto(server.url);
        await page.locator('#health-text', { hasText: 'online' }).waitFor({ timeout: 8000 });
        await page.close();
    });
});
