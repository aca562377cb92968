// Pairing, with the phone really on the network: two network namespaces
// joined by a veth pair, the server, the wallet simulator and the
// computer's own Chromium in one, the phones' Chromium in the other, so
// that the server sees the phones as peers that are not loopback. Each
// browser context is one device, with storage and history of its own.
// Needs root (network namespaces); elsewhere it skips and says why.

import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { chromium } from 'playwright-core';

import {
    BINARY, CHROMIUM, CHROMIUM_ARGS, decodeQr, openInPage, ROOT, SCREENSHOT_DIR, tempDir, until, waitForText,
} from './harness.mjs';

const IP = '/usr/sbin/ip';
const WAIT = { timeout: 10000 };
const USED = 'This pairing address was already used or has expired: on the computer that runs krv-webui, choose Pair ' +
    'a device in the dashboard\'s Devices card for a new one.';
const NOT_PAIRED = 'This device is not paired: open a pairing address from the server\'s banner, or from Pair a device ' +
    'in the Devices card of the dashboard on the server\'s computer, or start the server with --lan-open.';

const id = process.pid;
const SERVER_NS = `krv-bsrv-${id}`;
const PHONE_NS = `krv-bcli-${id}`;
const NET = `10.252.${id % 250}.`;
const SERVER_ADDRESS = `${NET}1`;

const whyNot = process.getuid?.() !== 0 ? 'network namespaces need root'
    : !fs.existsSync(IP) ? 'ip (iproute2) is not installed' : false;

const ip = (...args) => execFileSync(IP, args, { stdio: 'ignore' });

// A program in a namespace whose standard output is collected.
function startIn(ns, command, args) {
    const proc = spawn(IP, ['netns', 'exec', ns, command, ...args], { cwd: ROOT, stdio: ['ignore', 'pipe', 'pipe'] });
    const child = { proc, out: '', err: '' };
    proc.stdout.on('data', (d) => { child.out += d; });
    proc.stderr.on('data', (d) => { child.err += d; });
    child.waitFor = async (re) => {
        await until(() => re.test(child.out) || proc.exitCode !== null, 15000, `${command}: ${re}\n${child.out}${child.err}`);
        const m = re.exec(child.out);
        if (!m) throw new Error(`${command} ended:\n${child.out}${child.err}`);
        return m;
    };
    child.stop = () => new Promise((resolve) => {
        if (proc.exitCode !== null) return resolve();
        proc.once('exit', resolve);
        proc.kill('SIGTERM');
    });
    return child;
}

// Chromium in a namespace: a wrapper that Playwright starts as the browser.
async function browserIn(dir, ns) {
    const wrapper = path.join(dir, `chromium-${ns}`);
    fs.writeFileSync(wrapper, `#!/bin/sh\nexec ${IP} netns exec ${ns} ${CHROMIUM} "$@"\n`, { mode: 0o755 });
    return chromium.launch({
        executablePath: wrapper,
        headless: true,
        args: CHROMIUM_ARGS,
    });
}


// At a computer's size and a phone's: the subject's element, or without
// one what the window shows.
async function screenshots(page, name, subject = null) {
    fs.mkdirSync(SCREENSHOT_DIR, { recursive: true });
    for (const [width, height] of [[1280, 800], [375, 812]]) {
        await page.setViewportSize({ width, height });
        const file = path.join(SCREENSHOT_DIR, `${name}-${width}x${height}.png`);
        if (subject) {
            await subject.scrollIntoViewIfNeeded();
            await subject.screenshot({ path: file });
        } else {
            await page.screenshot({ path: file });
        }
    }
}

describe('pairing a device on the network', { timeout: 180000, skip: whyNot }, () => {
    let dir;
    let sim;
    let server;
    let computer;
    let phones;
    let link;
    let here;

    before(async () => {
        dir = tempDir();
        ip('netns', 'add', SERVER_NS);
        ip('netns', 'add', PHONE_NS);
        ip('link', 'add', `krvbs${id}`, 'type', 'veth', 'peer', 'name', `krvbc${id}`);
        ip('link', 'set', `krvbs${id}`, 'netns', SERVER_NS);
        ip('link', 'set', `krvbc${id}`, 'netns', PHONE_NS);
        ip('-n', SERVER_NS, 'addr', 'add', `${SERVER_ADDRESS}/24`, 'dev', `krvbs${id}`);
        ip('-n', PHONE_NS, 'addr', 'add', `${NET}2/24`, 'dev', `krvbc${id}`);
        for (const [ns, dev] of [[SERVER_NS, `krvbs${id}`], [PHONE_NS, `krvbc${id}`]]) {
            // No IPv6 link-local address: it would settle a second or two
            // after the link comes up, and Chromium, taking that for a
            // network change, fails the requests it has in flight.
            ip('-n', ns, 'link', 'set', dev, 'addrgenmode', 'none');
            ip('-n', ns, 'link', 'set', dev, 'up');
            ip('-n', ns, 'link', 'set', 'lo', 'up');
        }
        sim = startIn(SERVER_NS, process.execPath, [path.join(ROOT, 'tools', 'wallet-sim.mjs'),
            '--wallet-port', '0', '--daemon-port', '0', '--wallet-dir', path.join(dir, 'wallets'),
            '--log', path.join(dir, 'wallet-rpc.log'), '--block-seconds', '2', '--sync-seconds', '0']);
        const [, walletPort, daemonPort] = await sim.waitFor(/\{"wallet_port":(\d+),"daemon_port":(\d+)\}/);
        server = startIn(SERVER_NS, BINARY, ['--port', '0', '--rpc-port', walletPort, '--daemon-port', daemonPort,
            '--web-dir', path.join(ROOT, 'web'), '--wallet-dir', path.join(dir, 'wallets'),
            '--wallet-log', path.join(dir, 'wallet-rpc.log')]);
        const [, port] = await server.waitFor(/Listening: +http:\/\/0\.0\.0\.0:(\d+)/);
        [link] = await server.waitFor(new RegExp(`http://${SERVER_ADDRESS.replace(/\./g, '\\.')}:${port}/#pair=[0-9a-f]{32}`));
        here = `http://127.0.0.1:${port}/`;
        computer = await browserIn(dir, SERVER_NS);
        phones = await browserIn(dir, PHONE_NS);
    });

    after(async () => {
        await computer?.close();
        await phones?.close();
        await server?.stop();
        await sim?.stop();
        for (const ns of [SERVER_NS, PHONE_NS]) {
            try {
                ip('netns', 'del', ns);
            } catch {
                // Never made.
            }
        }
        fs.rmSync(dir, { recursive: true, force: true });
    });

    // A device: a context of its own, at a phone's size.
    const device = async () => (await phones.newContext({ viewport: { width: 375, height: 812 } })).newPage();

    let first;

    it('the banner\'s address pairs the first device, which sees its wallet; address bar and history keep no code', async () => {
        first = await device();
        const sent = [];
        first.on('request', (r) => sent.push(r));
        await first.goto(link);
        await waitForText(first, '#pairing-text', /^This device is now paired as “Chrome on Linux”\./, WAIT);
        assert.equal(first.url(), `http://${SERVER_ADDRESS}:${new URL(link).port}/`);
        const routes = sent.map((r) => new URL(r.url()).pathname).filter((p) => !/\.(?:html|js|css|svg)$|^\/$/.test(p));
        assert.equal(routes[0], '/pair', `the trade comes before any other request: ${routes}`);
        await openInPage(first, 'alice');
        await first.locator('#balance', { hasText: /\d/ }).waitFor(WAIT);
        const token = await first.evaluate(() => localStorage.getItem('krv-webui.device-token'));
        assert.match(token, /^[0-9a-f]{32}$/);
        assert.ok(!link.includes(token));
        const walletCalls = sent.filter((r) => new URL(r.url()).pathname === '/json_rpc');
        assert.ok(walletCalls.length > 0);
        for (const r of walletCalls) assert.equal(r.headers()['x-krv-key'], token);
        // Back and forward: no entry holds the code.
        await first.goBack();
        assert.ok(!first.url().includes('pair='), first.url());
        await first.goForward();
        assert.ok(!first.url().includes('pair='), first.url());
        assert.equal(await first.evaluate(() => window.location.hash), '');
        // Still paired after a reload, from localStorage.
        await first.locator('#health-text', { hasText: 'Wallet RPC online' }).waitFor(WAIT);
        await first.locator('#wallet-address', { hasText: /\S/ }).waitFor(WAIT);
    });

    it('a second device opening the same address is refused and told how to pair', async () => {
        const second = await device();
        await second.goto(link);
        await waitForText(second, '#pairing-text', USED, WAIT);
        await waitForText(second, '#health-text', 'Not paired', WAIT);
        await waitForText(second, '#banner-text', NOT_PAIRED, WAIT);
        assert.equal(await second.evaluate(() => localStorage.getItem('krv-webui.device-token')), null);
        assert.ok(!second.url().includes('pair='));
        await second.evaluate(() => window.scrollTo(0, 0));
        await screenshots(second, 'pairing-refused');
        await second.context().close();
    });

    it('the Devices card pairs by QR code, lists the devices and forgets them', async () => {
        const page = await computer.newPage({ viewport: { width: 1280, height: 800 } });
        await page.goto(here);
        const card = page.locator('#devices-card');
        await card.waitFor(WAIT);
        await waitForText(page, '#device-list li .device-name', 'Chrome on Linux', WAIT);
        assert.match(await page.locator('#device-list li .device-facts').first().textContent(), new RegExp(`from ${NET}2$`));
        await page.getByLabel('Name of the new device (optional)').fill('Test tablet');
        await page.getByRole('button', { name: 'Pair a device' }).click();
        const shown = page.locator('#pair-links .pair-link');
        await shown.first().waitFor(WAIT);
        assert.equal(await shown.count(), 1, 'one address: the namespace has one');
        const printed = await shown.first().textContent();
        assert.match(printed, new RegExp(`^http://${SERVER_ADDRESS.replace(/\./g, '\\.')}:\\d+/#pair=[0-9a-f]{32}$`));
        assert.equal(await decodeQr(computer, page.locator('#pair-links svg').first()), printed);
        await screenshots(page, 'devices-card-code', card);
        await page.setViewportSize({ width: 1280, height: 800 });

        // The tablet scans it; the card shows it as soon as it has paired.
        const tablet = await device();
        await tablet.goto(printed);
        await waitForText(tablet, '#pairing-text', /^This device is now paired as “Test tablet”\./, WAIT);
        await waitForText(tablet, '#health-text', 'Wallet RPC online', WAIT);
        await waitForText(page, '#device-list li .device-name', 'Test tablet', WAIT);
        await waitForText(page, '#pair-status', 'Paired: the device is in the list below.', WAIT);
        await screenshots(page, 'devices-card', card);
        await page.setViewportSize({ width: 1280, height: 800 });

        // Forgetting takes effect on the device's next request.
        await page.getByRole('button', { name: 'Forget Test tablet' }).click();
        await until(async () => (await page.locator('#device-list li').count()) === 1, 5000, 'one device left');
        await waitForText(tablet, '#health-text', 'Not paired', WAIT);
        assert.equal(await tablet.evaluate(() => localStorage.getItem('krv-webui.device-token')), null, 'the token is dropped');
        await waitForText(first, '#health-text', 'Wallet RPC online', WAIT);
        await page.getByRole('button', { name: 'Forget all' }).click();
        await waitForText(page, '#devices-empty', 'No device is paired.', WAIT);
        await waitForText(first, '#health-text', 'Not paired', WAIT);
        await page.close();
    });
});
