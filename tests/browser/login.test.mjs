// A wallet service that asks for a Digest login, as a real one started with
// a login does (the simulator with --rpc-login): without a login the page
// says what to do in one sentence; with --rpc-login-file it works as usual.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import {
    launchBrowser, openInPage, startServer, startSimulator, tempDir, waitForText, watchConsole, WAIT,
} from './harness.mjs';

const LOGIN = 'krv:pass word:with colons';
const SENTENCE = 'The wallet service asks for a login: start krv-webui with --rpc-login-file FILE.';

describe('a wallet service that asks for a login', { timeout: 60000 }, () => {
    let dir;
    let sim;
    let context;

    before(async () => {
        dir = tempDir();
        sim = await startSimulator(dir, { extraArgs: ['--rpc-login', LOGIN] });
        context = await launchBrowser(dir);
    });

    after(async () => {
        await context?.close();
        await sim?.stop();
        fs.rmSync(dir, { recursive: true, force: true });
    });

    it('says in one sentence which option the server needs', async () => {
        const server = await startServer(dir, sim);
        try {
            const page = await context.newPage();
            const messages = watchConsole(page);
            await page.goto(server.url);
            await waitForText(page, '#banner-text', SENTENCE);
            assert.equal(await page.locator('#health-text').textContent(), 'Wallet RPC login refused');
            assert.equal(await page.locator('#banner-text code').textContent(), '--rpc-login-file');
            const health = await page.evaluate(async () => (await fetch('health')).text());
            assert.equal(health, '{"status":"unauthorized"}');
            assert.deepEqual(messages.problems(), []);
            await page.close();
        } finally {
            await server.stop();
        }
    });

    it('works as usual with the login file', async () => {
        const file = path.join(dir, 'rpc-login');
        fs.writeFileSync(file, `${LOGIN}\r\n`, { mode: 0o600 });
        const server = await startServer(dir, sim, 0, ['--rpc-login-file', file]);
        try {
            assert.match(server.out, /Wallet RPC: {3}127\.0\.0\.1:\d+ \(login: krv\)\n/);
            assert.doesNotMatch(server.out, /pass word/);
            const page = await context.newPage();
            const messages = watchConsole(page);
            await page.goto(server.url);
            await waitForText(page, '#health-text', 'Wallet RPC online');
            await openInPage(page, 'alice');
            await waitForText(page, '#balance', '12,345.678901234567 KRV', WAIT);
            assert.equal(await page.locator('#banner').isHidden(), true);
            assert.deepEqual(messages.problems(), []);
            await page.close();
        } finally {
            await server.stop();
        }
    });
});
