// Names that are not safe to trust, in a real Chromium: the dashboard loaded
// as http://evil.local:PORT/ (a name any machine on the LAN can answer, and
// rebind here) cannot read or spend, and a foreign page's <img> by this
// machine's own name (no Origin, no Sec-Fetch-* over plain http) reaches no
// wallet route. The names are mapped to 127.0.0.1 in the test browser alone.
// Also: CSV cells that a spreadsheet would run, behind leading blanks.

import assert from 'node:assert/strict';
import http from 'node:http';
import os from 'node:os';
import { before, describe, it } from 'node:test';

import { toCsv } from '../../web/transfers.js';
import { simRpc, until, useAttackedWallet, walletAddress } from './harness.mjs';

const WRONG_HOST = 'This server does not answer for that host name: open the address shown in the server\'s banner, ' +
    'or start the server with --allow-host NAME for the name you use.';
const HEADER_NEEDED = 'A request by host name needs the header X-Requested-With, which the dashboard sends: add it to ' +
    'your script, or use the address 127.0.0.1 or localhost.';
// This machine's own name, as the server takes it.
const OWN_NAME = os.hostname();

// {status, body} of a GET sent to 127.0.0.1 with the given headers, and
// the Host a browser sends for url.
function replay(url, headers) {
    const { host, port, pathname } = new URL(url);
    return new Promise((resolve, reject) => {
        http.get({ host: '127.0.0.1', port, path: pathname, headers: { ...headers, host } }, (res) => {
            let body = '';
            res.on('data', (d) => { body += d; });
            res.on('end', () => resolve({ status: res.statusCode, body }));
        }).on('error', reject);
    });
}

describe('names a rebinding page could use', { timeout: 60000 }, () => {
    let dir;
    let sim;
    let server;
    let browser;
    const env = useAttackedWallet({ browserArgs: [`--host-resolver-rules=MAP evil.local 127.0.0.1, MAP ${OWN_NAME} 127.0.0.1`] });
    before(() => {
        ({ dir, sim, server, browser } = env);
    });

    it('a page served as http://evil.local:PORT/ cannot read or spend', async () => {
        const before = await simRpc(sim, 'get_balance');
        const page = await browser.newPage();
        await page.goto(`http://evil.local:${server.port}/`);
        // The dashboard's own calls are refused, and it says so.
        await page.locator('#banner-text', { hasText: WRONG_HOST }).waitFor({ timeout: 8000 });
        // The page is same-origin with the server now: it may send any header it likes.
        const results = await page.evaluate(async (address) => {
            const headers = { 'Content-Type': 'application/json', 'X-Requested-With': 'krv-webui' };
            const call = (method, params) => JSON.stringify({ jsonrpc: '2.0', id: 1, method, params });
            const ask = async (url, init) => {
                const r = await fetch(url, init);
                return { status: r.status, body: await r.text() };
            };
            return {
                transfer: await ask('/json_rpc', { method: 'POST', headers, body: call('transfer', { destinations: [{ amount: 2000000000000, address }] }) }),
                balance: await ask('/json_rpc', { method: 'POST', headers, body: call('get_balance', {}) }),
                wallets: await ask('/wallets', { headers }),
                log: await ask('/wallet-log?lines=500', { headers }),
                code: await ask('/devices/pair', { method: 'POST', headers }),
                devices: await ask('/devices', { headers }),
            };
        }, walletAddress(dir, 'bob'));
        for (const [name, r] of Object.entries(results)) {
            assert.equal(r.status, 403, name);
            assert.equal(JSON.parse(r.body).error, WRONG_HOST, name);
        }
        assert.deepEqual(await simRpc(sim, 'get_balance'), before);
        await page.close();
    });

    it('a foreign page\'s <img> by this machine\'s own name reaches no wallet route; the dashboard by that name works', async () => {
        const target = `http://${OWN_NAME}:${server.port}`;
        const site = await env.serveSite(`<!doctype html><title>news</title><img src="${target}/rpc/get_height"><img src="${target}/wallets">`);
        const page = await browser.newPage();
        const sent = [];
        const done = (r) => { if (r.url().startsWith(target)) sent.push(r); };
        // The server's JSON for an image is blocked in the browser (ORB) or arrives as an error status.
        page.on('requestfinished', done);
        page.on('requestfailed', done);
        await page.goto(site);
        await until(() => sent.length === 2, 5000, 'both images sent');
        for (const r of sent) {
            const headers = await r.allHeaders();
            assert.equal(headers.origin, undefined, r.url());
            assert.equal(headers['sec-fetch-site'], undefined, r.url());
            // What the server answers to exactly that request: the browser keeps it from the page.
            const answer = await replay(r.url(), headers);
            assert.equal(answer.status, 403, r.url());
            assert.equal(JSON.parse(answer.body).error, HEADER_NEEDED, r.url());
        }
        // The dashboard itself, opened by that name, sends the header and is answered.
        await page.goto(`${target}/`);
        await page.locator('#health-text', { hasText: 'Wallet RPC online' }).waitFor({ timeout: 8000 });
        await page.locator('#wallet-address', { hasText: walletAddress(dir, 'alice') }).waitFor({ timeout: 8000 });
        assert.equal(await page.locator('#banner').isHidden(), true);
        await page.close();
    });
});

describe('CSV cells', () => {
    it('gets the apostrophe when the first non-blank character would start a formula', () => {
        const record = (note) => ({ timestamp: 0, kind: 'in', amount: 1n, fee: 0n, height: 1, txid: 't', address: 'a', paymentId: '', note, major: 0, minor: 0, unlockTime: 0 });
        const cell = (note) => toCsv([record(note)]).split('\r\n')[1].split(',').slice(9, -3).join(',');
        const cases = [
            [' =HYPERLINK("http://x")', '"\' =HYPERLINK(""http://x"")"'],
            ['   +1', "'   +1"],
            ['\u00a0-1', "'\u00a0-1"],
            ['\t=1', "'\t=1"],
            [' \t1', "' \t1"],
            [' \r1', '"\' \r1"'],
            ['\n@SUM(A1)', '"\'\n@SUM(A1)"'],
            ['=1', "'=1"],
            ['a =1', 'a =1'],
            ['  plain', '  plain'],
            ['', ''],
        ];
        for (const [note, written] of cases) assert.equal(cell(note), written, JSON.stringify(note));
    });
});
