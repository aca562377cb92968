// Starts the real server and the wallet simulator on free loopback ports,
// and a headless Chromium. Every wait has a deadline; nothing sleeps blindly.

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before } from 'node:test';
import { fileURLToPath } from 'node:url';

import jsQR from 'jsqr';
import { chromium } from 'playwright-core';

import { parseJsonExact, stringifyExact } from '../../web/exact-json.js';

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const BINARY = path.resolve(ROOT, process.env.KRV_WEBUI_BINARY || 'build/krv-webui');
export const SCREENSHOT_DIR = path.resolve(ROOT, process.env.KRV_SCREENSHOT_DIR || 'build/screenshots');
export const CHROMIUM = process.env.KRV_CHROMIUM || '/usr/bin/chromium';
// Chromium quiet and offline: no sandbox (containers), no GPU, nothing of its own on the network.
export const CHROMIUM_ARGS = ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--disable-quic'];
// A simulator making 100,000 transfers needs several seconds on a busy machine.
const START_TIMEOUT_MS = 30000;

// A child process whose stdout is collected; waitFor(re) resolves to the
// first match in it.
class Child {
    constructor(name, command, args) {
        this.name = name;
        this.out = '';
        this.err = '';
        this.proc = spawn(command, args, { cwd: ROOT, stdio: ['ignore', 'pipe', 'pipe'] });
        this.exited = new Promise((resolve) => this.proc.once('exit', (code, signal) => resolve({ code, signal })));
        this.proc.stdout.on('data', (d) => { this.out += d; });
        this.proc.stderr.on('data', (d) => { this.err += d; });
    }

    waitFor(re, timeoutMs = START_TIMEOUT_MS) {
        return new Promise((resolve, reject) => {
            const check = () => {
                const m = re.exec(this.out);
                if (!m) return false;
                cleanup();
                resolve(m);
                return true;
            };
            const onExit = () => {
                cleanup();
                reject(new Error(`${this.name} exited before it was ready:\n${this.out}\n${this.err}`));
            };
            const timer = setTimeout(() => {
                cleanup();
                reject(new Error(`${this.name} not ready within ${timeoutMs} ms:\n${this.out}\n${this.err}`));
            }, timeoutMs);
            const cleanup = () => {
                clearTimeout(timer);
                this.proc.stdout.off('data', check);
                this.proc.off('exit', onExit);
            };
            if (check()) return;
            this.proc.stdout.on('data', check);
            this.proc.once('exit', onExit);
        });
    }

    async stop() {
        if (this.proc.exitCode === null && this.proc.signalCode === null) this.proc.kill('SIGTERM');
        const timer = setTimeout(() => this.proc.kill('SIGKILL'), 5000);
        const result = await this.exited;
        clearTimeout(timer);
        return result;
    }
}

// Ports for a program that is stopped and started again in place. A port
// handed out by the system (port 0) lies in the ephemeral range, where any
// outgoing connection on the machine may take it as its source port while
// the program is down; these lie below that range.
function quietPorts(count) {
    const [low] = fs.readFileSync('/proc/sys/net/ipv4/ip_local_port_range', 'utf8').trim().split(/\s+/).map(Number);
    const base = 10000 + Math.floor(Math.random() * (Math.max(low, 12000) - 10000 - count));
    return Array.from({ length: count }, (_, i) => base + i);
}

// Starts launch(ports) on quiet ports, or on `given` ports again (a restart),
// until it prints `ready`; tries again while the ports are taken: by another
// program (other ports), or for a moment by a closing connection (the same).
async function onQuietPorts(given, launch, ready) {
    const again = given[0] !== 0;
    for (let attempt = 1; ; attempt++) {
        const child = launch(again ? given : quietPorts(given.length));
        try {
            return [child, await child.waitFor(ready)];
        } catch (e) {
            if (!/EADDRINUSE|Address already in use/.test(e.message) || attempt === 20) throw e;
            if (again) await new Promise((resolve) => setTimeout(resolve, 100));
        }
    }
}

// The simulator; pass the ports of an earlier run to restart it in place.
// extraArgs go after the defaults, so a later --block-seconds wins.
export async function startSimulator(dir, { walletPort = 0, daemonPort = 0, extraArgs = [] } = {}) {
    const [sim, m] = await onQuietPorts([walletPort, daemonPort], ([wallet, daemon]) => new Child('wallet-sim', process.execPath, [
        path.join(ROOT, 'tools', 'wallet-sim.mjs'),
        '--wallet-port', String(wallet), '--daemon-port', String(daemon),
        '--wallet-dir', path.join(dir, 'wallets'), '--log', path.join(dir, 'wallet-rpc.log'),
        '--block-seconds', '2', '--sync-seconds', '0', ...extraArgs,
    ]), /\{"wallet_port":(\d+),"daemon_port":(\d+)\}/);
    sim.walletPort = Number(m[1]);
    sim.daemonPort = Number(m[2]);
    return sim;
}

// The server on a free port, or on `port` to restart it where it was;
// extraArgs go after the defaults.
export async function startServer(dir, sim, port = 0, extraArgs = []) {
    if (!fs.existsSync(BINARY)) throw new Error(`server binary not found: ${BINARY} (build it, or set KRV_WEBUI_BINARY)`);
    const [server, m] = await onQuietPorts([port], ([p]) => new Child('krv-webui', BINARY, [
        '--port', String(p), '--localhost-only',
        '--rpc-port', String(sim.walletPort), '--daemon-port', String(sim.daemonPort),
        '--web-dir', path.join(ROOT, 'web'),
        '--wallet-log', path.join(dir, 'wallet-rpc.log'), '--wallet-dir', path.join(dir, 'wallets'), ...extraArgs,
    ]), /Listening:\s+http:\/\/127\.0\.0\.1:(\d+)/);
    server.port = Number(m[1]);
    server.url = `http://127.0.0.1:${server.port}/`;
    return server;
}

// The headers every static answer of the server carries. Where the server
// under test does not send them yet, the browser adds them on the way in, so
// the page always runs under this policy.
export const STATIC_HEADERS = {
    'content-security-policy': "default-src 'self'; frame-ancestors 'none'",
    'x-frame-options': 'DENY',
    'x-content-type-options': 'nosniff',
    'referrer-policy': 'no-referrer',
};

// The server's own routes; every other path is a static file.
export const isStaticPath = (pathname) =>
    !/^\/(?:json_rpc|daemon_rpc|wallets|wallet-log|health)$|^\/rpc\//.test(pathname);

async function withStaticHeaders(route) {
    let response;
    try {
        response = await route.fetch();
    } catch {
        return route.abort('connectionrefused');
    }
    const headers = response.headers();
    const missing = Object.entries(STATIC_HEADERS).filter(([name]) => !(name in headers));
    if (missing.length === 0) return route.fulfill({ response });
    return route.fulfill({ response, headers: { ...headers, ...Object.fromEntries(missing) } });
}

// Chromium with the policy headers in force and every policy violation
// reported as a console error. `pace` (0 to 1) runs the page's poll and
// back-off clocks faster, so that minutes of an outage take seconds.
export async function launchBrowser(dir, { pace } = {}) {
    if (!fs.existsSync(CHROMIUM)) throw new Error(`no browser at ${CHROMIUM}: apt-get install -y chromium`);
    const profile = fs.mkdtempSync(path.join(dir, 'chromium-'));
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: CHROMIUM,
        headless: true,
        viewport: { width: 1280, height: 800 },
        args: ['--headless', ...CHROMIUM_ARGS],
    });
    await context.route((url) => url.hostname === '127.0.0.1' && isStaticPath(url.pathname), withStaticHeaders);
    await context.addInitScript(() => {
        document.addEventListener('securitypolicyviolation', (e) => {
            console.error(`CSP violation: ${e.violatedDirective} blocked ${e.blockedURI || 'inline code'} in ${e.sourceFile}:${e.lineNumber}`);
        });
    });
    if (pace) await context.addInitScript((p) => { globalThis.krvTestPace = p; }, pace);
    return context;
}

// What a phone's camera reads from the QR code drawn in locator: a
// screenshot decoded, in a blank page of opener (a browser or a context),
// by a decoder of its own.
export async function decodeQr(opener, locator) {
    const png = await locator.screenshot();
    const blank = await opener.newPage();
    try {
        const { width, height, data } = await blank.evaluate(async (b64) => {
            const image = new Image();
            image.src = `data:image/png;base64,${b64}`;
            await image.decode();
            const canvas = document.createElement('canvas');
            canvas.width = image.width;
            canvas.height = image.height;
            const g = canvas.getContext('2d');
            g.drawImage(image, 0, 0);
            return { width: image.width, height: image.height, data: Array.from(g.getImageData(0, 0, image.width, image.height).data) };
        }, png.toString('base64'));
        return jsQR(Uint8ClampedArray.from(data), width, height)?.data ?? null;
    } finally {
        await blank.close();
    }
}

// Collects what the page writes to the console. problems(): everything but
// Chromium's own one-line notes on failed requests (network()), which an
// outage brings by its nature; policy violations are problems.
export function watchConsole(page) {
    const seen = [];
    page.on('console', (m) => {
        if (m.type() === 'error' || m.type() === 'warning') seen.push({ type: m.type(), text: m.text(), url: m.location().url });
    });
    page.on('pageerror', (e) => seen.push({ type: 'pageerror', text: e.message, url: '' }));
    const isNetwork = (m) => m.type === 'error' && /^Failed to load resource: /.test(m.text);
    return {
        seen,
        network: () => seen.filter(isNetwork),
        problems: () => seen.filter((m) => !isNetwork(m)),
        clear: () => seen.splice(0),
    };
}

// Every request the page makes, with its path, method, body and headers.
export function recordRequests(page) {
    const seen = [];
    page.on('request', (r) => {
        const url = new URL(r.url());
        seen.push({ at: Date.now(), path: url.pathname, method: r.method(), body: r.postData() ?? '', headers: r.headers() });
    });
    return seen;
}

export function tempDir() {
    return fs.mkdtempSync(path.join(os.tmpdir(), 'krv-webui-browser-'));
}

// Calls the simulator's wallet port directly (its own test methods included).
export async function simRpc(sim, method, params = {}) {
    const response = await fetch(`http://127.0.0.1:${sim.walletPort}/json_rpc`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: stringifyExact({ jsonrpc: '2.0', id: 1, method, params }),
    });
    const answer = parseJsonExact(await response.text());
    if (answer.error) throw new Error(`${method}: ${answer.error.message}`);
    return answer.result;
}

// The address of a wallet in the simulator's folder.
export function walletAddress(dir, name) {
    return JSON.parse(fs.readFileSync(path.join(dir, 'wallets', `${name}.keys`), 'utf8')).address;
}

// The JSON-RPC method of a recorded request, or ''.
export function rpcMethod(request) {
    try {
        return JSON.parse(request.body).method ?? '';
    } catch {
        return '';
    }
}

// How long a test waits for the page to show something.
export const WAIT = { timeout: 8000 };

// A pattern that matches the whole of text and nothing else.
export const exact = (text) => new RegExp(`^${text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}$`);

// Waits until an element matching selector holds exactly text (a string),
// or text matching a pattern.
// On a time-out the error says what the element held instead.
export async function waitForText(page, selector, text, options = WAIT) {
    try {
        await page.locator(selector).filter({ hasText: typeof text === 'string' ? exact(text) : text }).first().waitFor(options);
    } catch (error) {
        const held = await page.locator(selector).allTextContents().catch(() => ['(page gone)']);
        error.message += `\n${selector} held: ${JSON.stringify(held)}`;
        throw error;
    }
}

// Resolves when check() is true, checking on every event-loop turn after a
// short pause; rejects with `what` when timeoutMs passes first.
export async function until(check, timeoutMs, what) {
    const deadline = Date.now() + timeoutMs;
    while (!(await check())) {
        if (Date.now() > deadline) throw new Error(`not within ${timeoutMs} ms: ${what}`);
        await new Promise((resolve) => setTimeout(resolve, 20));
    }
}

// Opens a wallet through the page, as a person does.
export async function openInPage(page, name, password = 'demo') {
    await page.getByRole('button', { name: `Choose wallet ${name}` }).click();
    await page.getByLabel('Password', { exact: true }).fill(password);
    await page.getByRole('button', { name: 'Open wallet' }).click();
    await page.locator('#open-message', { hasText: `Opened ${name}.` }).waitFor({ timeout: 8000 });
}

// Opens a wallet through the page and measures, in the page, the time from
// the click on "Open wallet" to the first moment the transfers table holds
// `rows` rows. Resolves to {ms, clicked}, clicked being the page's
// performance.now() at the click.
export async function openTimed(page, name, { rows = 50, password = 'demo' } = {}) {
    await page.getByRole('button', { name: `Choose wallet ${name}` }).click();
    await page.getByLabel('Password', { exact: true }).fill(password);
    await page.evaluate((count) => {
        window.krvOpening = {};
        document.getElementById('open-button').addEventListener('click', () => { window.krvOpening.clicked = performance.now(); }, { capture: true });
        const body = document.getElementById('transfers-body');
        new MutationObserver(() => {
            if (!window.krvOpening.rows && body.children.length >= count) window.krvOpening.rows = performance.now();
        }).observe(body, { childList: true });
    }, rows);
    await page.getByRole('button', { name: 'Open wallet' }).click();
    await page.locator('#transfers-body tr').nth(rows - 1).waitFor(WAIT);
    const { clicked, rows: shown } = await page.evaluate(() => window.krvOpening);
    return { ms: Math.round(shown - clicked), clicked };
}

// Records the page's long tasks (over 50 ms) from its start; longTasks(t)
// gives those that began at or after t (the page's performance.now()).
export async function watchLongTasks(page) {
    await page.addInitScript(() => {
        window.krvLongTasks = [];
        new PerformanceObserver((list) => {
            for (const e of list.getEntries()) window.krvLongTasks.push({ start: e.startTime, duration: e.duration });
        }).observe({ type: 'longtask', buffered: true });
    });
    return (since = 0) => page.evaluate((t) => window.krvLongTasks.filter((e) => e.start >= t), since);
}

// Counts the page's requests and the bytes each moved as the browser
// counts them (Chromium's own figures: the request line, every header it
// sent and the body; every byte received, headers included); settle()
// waits until none is in flight.
export function countRequests(page) {
    const inflight = new Set();
    const all = [];
    page.on('request', (r) => {
        inflight.add(r);
        all.push(r);
    });
    page.on('requestfinished', (r) => inflight.delete(r));
    page.on('requestfailed', (r) => inflight.delete(r));
    // The browser's own account of each request, in the order they were made.
    const sent = [];
    const byId = new Map();
    const ready = page.context().newCDPSession(page).then(async (cdp) => {
        cdp.on('Network.requestWillBeSent', (e) => {
            const url = new URL(e.request.url);
            const r = { path: url.pathname, target: url.pathname + url.search, method: e.request.method, body: e.request.postData ?? '', head: 0, received: 0 };
            byId.set(e.requestId, r);
            sent.push(r);
        });
        cdp.on('Network.requestWillBeSentExtraInfo', (e) => {
            const r = byId.get(e.requestId);
            if (r) r.head = Object.entries(e.headers).reduce((n, [k, v]) => n + k.length + String(v).length + 4, 2);
        });
        cdp.on('Network.loadingFinished', (e) => {
            const r = byId.get(e.requestId);
            if (r) r.received = e.encodedDataLength;
        });
        await cdp.send('Network.enable');
    });
    return {
        mark: () => sent.length,
        async since(mark) {
            await ready;
            return sent.slice(mark).map((r) => {
                const call = r.body ? JSON.parse(r.body) : null;
                const requestLine = `${r.method} ${r.target} HTTP/1.1\r\n`.length;
                const bytes = requestLine + r.head + Buffer.byteLength(r.body) + r.received;
                return { path: r.path, method: call?.method ?? '', bytes, params: call?.params };
            });
        },
        // Settled: none in flight, and none started over a few round trips
        // to the page a few milliseconds apart, time enough for the page to
        // take in the last answers (and, under a paused clock, to set its
        // next timers before the clock moves).
        async settle(timeoutMs = 10000) {
            await ready;
            const deadline = Date.now() + timeoutMs;
            for (let quiet = 0; quiet < 3;) {
                if (Date.now() > deadline) throw new Error(`requests still in flight: ${[...inflight].map((r) => r.url())}`);
                const before = all.length;
                await new Promise((resolve) => setTimeout(resolve, 5));
                await page.evaluate(() => 0);
                quiet = inflight.size === 0 && all.length === before ? quiet + 1 : 0;
            }
        },
    };
}

// The setup most test files share, made before their first test and taken
// down after their last: a temporary folder, the simulator (simArgs after
// the defaults; blocks only when a test mines them, unless blockSeconds is
// given), the server, Chromium (pace as launchBrowser's) and its first
// page, with its console, its requests and a whole-text wait. The returned
// object is filled in by the time the tests run:
//   const env = useDashboard({ simArgs: ['--transfers', '300'] });
//   it('...', async () => { await env.page.goto(env.server.url); ... });
export function useDashboard({ simArgs = [], blockSeconds = 3600, pace } = {}) {
    const env = {};
    before(async () => {
        env.dir = tempDir();
        const blocks = blockSeconds === null ? [] : ['--block-seconds', String(blockSeconds)];
        env.sim = await startSimulator(env.dir, { extraArgs: [...blocks, ...simArgs] });
        env.server = await startServer(env.dir, env.sim);
        env.context = await launchBrowser(env.dir, { pace });
        env.page = env.context.pages()[0] ?? (await env.context.newPage());
        env.messages = watchConsole(env.page);
        env.requests = recordRequests(env.page);
        env.shows = (selector, text, options) => waitForText(env.page, selector, text, options);
    });
    after(async () => {
        await env.context?.close();
        await env.server?.stop();
        await env.sim?.stop();
        if (env.dir) fs.rmSync(env.dir, { recursive: true, force: true });
    });
    return env;
}

// For pages that attack the wallet: the server and the simulator with alice
// open, a plain Chromium (browserArgs added to its flags) for those pages,
// and serveSite(html), which serves one page from a second loopback address
// as another site would and returns that site's address.
export function useAttackedWallet({ browserArgs = [] } = {}) {
    const env = {};
    const sites = [];
    before(async () => {
        env.dir = tempDir();
        env.sim = await startSimulator(env.dir);
        env.server = await startServer(env.dir, env.sim);
        await simRpc(env.sim, 'open_wallet', { filename: 'alice', password: 'demo' });
        env.browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: [...CHROMIUM_ARGS, ...browserArgs] });
    });
    env.serveSite = async (html) => {
        const site = http.createServer((req, res) => {
            res.writeHead(200, { 'Content-Type': 'text/html' });
            res.end(html);
        });
        sites.push(site);
        await new Promise((resolve) => site.listen(0, '127.0.0.2', resolve));
        return `http://127.0.0.2:${site.address().port}/`;
    };
    after(async () => {
        await env.browser?.close();
        for (const site of sites) await new Promise((resolve) => site.close(resolve));
        await env.server?.stop();
        await env.sim?.stop();
        if (env.dir) fs.rmSync(env.dir, { recursive: true, force: true });
    });
    return env;
}

// The page is no wider than its viewport: nothing scrolls sideways. The
// error names the elements that reach past its right edge.
export async function assertNoSideScroll(page, what) {
    const { scroll, width, wide } = await page.evaluate(() => {
        const inner = window.innerWidth;
        const past = [...document.querySelectorAll('body *')].filter((e) => e.getBoundingClientRect().right > inner + 0.5)
            .slice(0, 5).map((e) => `${e.tagName.toLowerCase()}${e.id ? `#${e.id}` : ''}${e.getAttribute('class') ? `.${e.getAttribute('class').split(' ').join('.')}` : ''}`);
        return { scroll: document.documentElement.scrollWidth, width: inner, wide: past };
    });
    if (scroll !== width) throw new Error(`${what}: the page is ${scroll} px wide in a viewport of ${width} px (${wide.join(', ')})`);
}

// Screenshots of the viewport at 1280x800 and 375x812, light and dark,
// scrolled to subject, each checked for sideways scrolling; the viewport
// and scheme are put back after.
export async function screenshotsAt(page, name, subject = null) {
    fs.mkdirSync(SCREENSHOT_DIR, { recursive: true });
    for (const scheme of ['light', 'dark']) {
        await page.emulateMedia({ colorScheme: scheme });
        for (const [width, height] of [[1280, 800], [375, 812]]) {
            await page.setViewportSize({ width, height });
            if (subject) await page.locator(subject).first().evaluate((node) => node.scrollIntoView({ block: 'center' }));
            await assertNoSideScroll(page, `${name} at ${width}x${height}, ${scheme}`);
            const suffix = scheme === 'dark' ? '-dark' : '';
            await page.screenshot({ path: path.join(SCREENSHOT_DIR, `${name}-${width}x${height}${suffix}.png`) });
        }
    }
    await page.emulateMedia({ colorScheme: 'light' });
    await page.setViewportSize({ width: 1280, height: 800 });
}

// Holds the page's next wallet call of `method`: the call reaches the
// simulator at once, but its answer reaches the page only at release().
// seen resolves when the call was made; release() resolves when the answer
// was handed over, or found nobody waiting (the page gave up on it).
export async function holdAnswer(page, method) {
    let seen;
    const made = new Promise((resolve) => { seen = resolve; });
    let letGo;
    const released = new Promise((resolve) => { letGo = resolve; });
    let handed;
    const done = new Promise((resolve) => { handed = resolve; });
    let taken = false;
    const handler = async (route) => {
        if (taken || rpcMethod({ body: route.request().postData() }) !== method) return route.fallback();
        taken = true;
        seen();
        let response = null;
        try {
            response = await route.fetch();
        } catch {
            // Given up by the page before the answer came.
        }
        await released;
        const delivered = response ? await route.fulfill({ response }).then(() => true, () => false) : false;
        // A turn of the page's own loop, for the answer to be taken in.
        if (delivered) await page.evaluate(() => new Promise((resolve) => setTimeout(resolve, 50))).catch(() => {});
        await page.unroute('**/json_rpc', handler);
        handed(delivered);
    };
    await page.route('**/json_rpc', handler);
    return {
        made,
        release: () => {
            letGo();
            return done;
        },
    };
}

const AXE_SOURCE = path.join(ROOT, 'node_modules', 'axe-core', 'axe.min.js');

// The serious and critical findings of axe-core on the page as it is now.
export async function axeFindings(page) {
    await page.evaluate(fs.readFileSync(AXE_SOURCE, 'utf8'));
    return page.evaluate(async () => {
        const result = await window.axe.run(document, { resultTypes: ['violations'] });
        return result.violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
            .map((v) => `${v.id}: ${v.nodes.slice(0, 3).map((n) => `${n.target.join(' ')} (${n.failureSummary})`).join(', ')}`);
    });
}
