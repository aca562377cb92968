// What the page knows of the three sides it depends on (the dashboard
// server, the wallet RPC service behind it, the daemon) and of its access to
// the wallet routes, and all that follows from it: the header badge, the
// banner, figures marked stale, actions disabled with the reason, and the
// pace of every poll. Everything visible here is drawn by render() from that
// one state, in one go, so the badge, the banner and the buttons agree.

import { $, clockTime, el, setText } from './dom.js';
import { forgetKey } from './lan-key.js';
import { AccessError, getJson, onAnswer, ServiceError, wallet } from './rpc.js';

// Tests run every clock of the page faster by setting krvTestPace (0 to 1)
// before it loads; the page itself never does.
const testPace = Number(globalThis.krvTestPace);
export const PACE = testPace > 0 && testPace <= 1 ? testPace : 1;

// Every 15 s while all is well: any failing request marks its side down at
// once, so the check is mostly for what no poll touches.
const HEALTH_EVERY_MS = 15000;
// While a side is down, the polls that depend on it double their interval
// at each try (1 s, 2 s, 4 s ... for a poll of every second), to at most 30 s.
const BACKOFF_FIRST_MS = 1000;
const BACKOFF_MAX_MS = 30000;

const sides = {
    server: { state: 'unknown', since: 0, detail: '', where: window.location.host },
    wallet: { state: 'unknown', since: 0, detail: '', where: '' },
    daemon: { state: 'unknown', since: 0, detail: '', where: '' },
};
// {sentence, hadKey, pairing} while the server refuses this browser the wallet routes.
let refused = null;

const isDown = (side) => sides[side].state === 'down';

function isUp(side) {
    return sides[side].state === 'up';
}

// A service that answers, but refuses the login krv-webui gave (or did not give).
const LOGIN_REFUSED = /refused the login|asks for a login/;

// `detail` says what failed. The server's 502 names where it looks for the
// service; a detail that does not (the health check's, the /rpc/ route's)
// only fills in for want of one that does. A refused login is news either way.
function markDown(side, detail) {
    const s = sides[side];
    const before = `${s.state} ${s.detail} ${s.where}`;
    const where = /\bat (\S+:\d+)\s*$/.exec(detail ?? '');
    if (detail && (where || !s.detail || LOGIN_REFUSED.test(detail) || LOGIN_REFUSED.test(s.detail))) s.detail = detail;
    if (where && side !== 'server') s.where = where[1];
    const fresh = s.state !== 'down';
    if (fresh) s.since = Date.now();
    s.state = 'down';
    if (`${s.state} ${s.detail} ${s.where}` !== before) render();
    if (fresh) probeOthers(side);
    // Its own probe may be far from its next turn: it starts stepping back now.
    if (fresh) for (const p of polls) if (p.probe && !p.running && p.slows.includes(side)) runPoll(p);
}

function markUp(side) {
    const s = sides[side];
    if (s.state === 'up') return;
    const wasDown = s.state === 'down';
    s.state = 'up';
    s.detail = '';
    render();
    if (wasDown) wake(side);
}

// Every answer the page gets says something about the sides.
onAnswer((e) => {
    if (e.status === 0) return markDown('server', e.detail);
    markUp('server');
    if (e.walletRoute && e.status === 403) return refuse(e.detail, e.hadKey, e.pairing);
    if (e.walletRoute && refused) grant();
    if (e.status === 502) return markDown(e.side, e.detail);
    if (e.side !== 'server') markUp(e.side);
});

function refuse(sentence, hadKey, pairing) {
    // A token or key the server refuses is of no further use (the device was
    // forgotten, the server restarted); drop it so a reload does not send it again.
    if (hadKey) forgetKey();
    if (refused) return;
    refused = { sentence: sentence || 'The server refused this browser.', hadKey, pairing };
    render();
}

function grant() {
    refused = null;
    render();
    // Everything the refusal held back is asked for now, the slow polls too,
    // whose next turn may be a minute away.
    for (const p of polls) if (!p.running && !paused(p)) runPoll(p);
}

// A new key arrived (from the address bar): try the wallet routes again.
export function keyChanged() {
    if (refused) grant();
}

// ---------------------------------------------------------------- polls

const polls = [];

// Runs run() now and then every `every` ms after it settles, never two at
// once. `needs`: sides without which it is pointless (it pauses while one is
// down); `slows`: sides while down it backs off; `probe`: the side whose
// state it checks (its back-off starts at the first step, whatever its usual
// pace, since it is what notices the side coming back); `walletRoute`: it
// pauses while the server refuses this browser the wallet routes;
// `whileHidden`: () => the interval at which it still runs while the tab is
// hidden (0: not at all).
export function addPoll(name, run, every, { needs = ['server'], slows = [], probe = '', walletRoute = true, whileHidden = () => 0 } = {}) {
    const poll = { name, run, every, needs, slows, probe, walletRoute, whileHidden, timer: null, running: false, again: false, backoff: 0 };
    polls.push(poll);
    return { run: () => runPoll(poll) };
}

const paused = (p) => p.needs.some(isDown) || (p.walletRoute && refused !== null);

async function runPoll(p) {
    clearTimeout(p.timer);
    p.timer = null;
    if (p.running) {
        p.again = true;
        return;
    }
    // A hidden tab asks for nothing, unless asked to; it catches up when it is shown.
    if (paused(p) || (document.hidden && !p.whileHidden())) return;
    p.running = true;
    try {
        await p.run();
        clearFault(p.name);
    } catch (e) {
        absorb(p.name, e);
    }
    p.running = false;
    if (p.again) {
        p.again = false;
        runPoll(p);
    } else {
        schedule(p);
    }
}

function schedule(p) {
    // Paused: wake() starts it again when what it needs is back.
    if (paused(p)) return;
    let delay = document.hidden && p.whileHidden() ? p.whileHidden() : p.every;
    if (p.slows.some(isDown)) {
        // The probe that finds the way back starts from the first step
        // whatever its usual pace; the others double their own interval.
        const first = p.probe ? BACKOFF_FIRST_MS : Math.max(p.every, BACKOFF_FIRST_MS);
        delay = Math.min(BACKOFF_MAX_MS, first * 2 ** p.backoff);
        p.backoff += 1;
    } else {
        p.backoff = 0;
    }
    p.timer = setTimeout(() => runPoll(p), delay * PACE);
}

// Something came back: every poll that was waiting for it, or backing off,
// runs now and then keeps its usual pace.
function wake(side) {
    for (const p of polls) {
        // A slow poll of what came back may be far from its turn; its figures
        // were marked as stale, so it looks now too.
        const depends = p.needs.includes(side) || p.slows.includes(side);
        if (!p.running && !paused(p) && (p.timer === null || p.backoff > 0 || depends)) runPoll(p);
    }
}

// One side was just found down. The others often go with it (a restart, a
// reboot), so their probes look now rather than at their next turn.
function probeOthers(side) {
    for (const p of polls) {
        if (p.probe && p.probe !== side && !isDown(p.probe) && !p.running && !paused(p)) runPoll(p);
    }
}

// The person is back at the page (likely from starting what was down) or
// the network is: the probes of what is down look now, not at their turn.
function probeDown() {
    for (const p of polls) if (p.probe && p.slows.some(isDown) && !p.running && !paused(p)) runPoll(p);
}

// Tries now whatever waits: the probes of a side that is down, or the
// wallet routes after a refusal.
function retryNow() {
    if (refused) refused = null;
    render();
    for (const p of polls) if (!p.running && !paused(p)) runPoll(p);
}

// Failures that the state above already accounts for are quiet; anything
// else is a fault, shown in the banner until its source succeeds again.
const faults = new Map();

function absorb(source, e) {
    // Dropped by the page: its wallet is no longer shown.
    if (e?.name === 'AbortError') return;
    if (e instanceof ServiceError && (e.status === 0 || e.status === 502)) return;
    if (e instanceof AccessError) return;
    reportFault(source, e);
}

export function reportFault(source, e) {
    faults.set(source, e instanceof ServiceError ? e.detail : String(e?.message ?? e));
    render();
}

function clearFault(source) {
    if (faults.delete(source)) render();
}

// ---------------------------------------------------------------- health

async function checkHealth() {
    const answer = await getJson('health', 'Health check');
    if (answer?.status === 'ok') return markUp('wallet');
    if (answer?.status === 'unauthorized') return markDown('wallet', 'the wallet service asks for a login');
    markDown('wallet', 'the health check found it unreachable');
    // The health answer does not say where the service should be; a call
    // through the page's own route does, once.
    if (!sides.wallet.where) await wallet('get_height').catch(() => {});
}

export const health = addPoll('health', checkHealth, HEALTH_EVERY_MS,
    { needs: [], slows: ['server', 'wallet'], probe: 'wallet', walletRoute: false });

// ---------------------------------------------------------------- stale figures

// Groups of figures on the page and the sides they come from; a group that
// was shown and can no longer be refreshed is greyed with its time.
const groups = {
    wallet: { needs: ['server', 'wallet'], updated: 0 },
    daemon: { needs: ['server', 'daemon'], updated: 0 },
};

const isStale = (g) => g.updated > 0 && (g.needs.some(isDown) || (refused !== null && g.needs.length > 1));

export function markFresh(name) {
    groups[name].updated = Date.now();
    render();
}

// The figures are gone (the wallet was closed): nothing left to call stale.
export function forgetFigures(name) {
    groups[name].updated = 0;
    render();
}

function renderStale() {
    for (const [name, g] of Object.entries(groups)) {
        const stale = isStale(g);
        for (const section of document.querySelectorAll(`[data-stale-group="${name}"]`)) {
            let note = section.querySelector(':scope > .stale-note');
            if (!note) {
                note = el('p', { class: 'stale-note' });
                const head = section.querySelector(':scope > .card-head, :scope > h2');
                head.after(note);
            }
            if (stale) section.dataset.stale = '';
            else delete section.dataset.stale;
            note.hidden = !stale;
            setText(note, stale ? `Last updated ${clockTime(g.updated)}` : '');
        }
    }
}

// ---------------------------------------------------------------- actions

const blockListeners = [];

// fn(reason) whenever the reason actions on the wallet are unavailable
// changes; '' when they are available.
export function onBlocked(fn) {
    blockListeners.push(fn);
    fn(lastBlocked);
}

let lastBlocked = '';

function blockedReason() {
    if (isDown('server')) return 'Unavailable: the dashboard server does not answer.';
    if (refused) return 'Unavailable: the server refuses this browser (see the notice at the top).';
    if (isDown('wallet')) return 'Unavailable: the wallet RPC service does not answer.';
    return '';
}

// ---------------------------------------------------------------- render

// One sentence on what is down and what to do about it.
function outageSentence() {
    if (isDown('server')) {
        return `The dashboard server at ${sides.server.where} does not answer. Start krv-webui again; this page reconnects by itself.`;
    }
    if (isDown('wallet') && LOGIN_REFUSED.test(sides.wallet.detail)) {
        return 'The wallet service asks for a login: start krv-webui with --rpc-login-file FILE.';
    }
    const at = (side) => (sides[side].where ? ` at ${sides[side].where}` : '');
    const hostToo = (side) => !/^127\./.test(sides[side].where);
    const walletOption = hostToo('wallet') ? '--rpc-host and --rpc-port' : '--rpc-port';
    if (isDown('wallet') && isDown('daemon')) {
        return `The wallet RPC service${at('wallet')} and the daemon${at('daemon')} do not answer. ` +
            `Start them, or check ${walletOption} and --daemon-port.`;
    }
    if (isDown('wallet')) return `The wallet RPC service${at('wallet')} does not answer. Start it, or check ${walletOption}.`;
    if (isDown('daemon')) return `The daemon${at('daemon')} does not answer. Start it, or check --daemon-port.`;
    return '';
}

function accessText() {
    if (!refused.pairing) return [refused.sentence];
    const port = window.location.port || (window.location.protocol === 'https:' ? '443' : '80');
    const lines = [
        refused.sentence,
        'To pair this device, open a pairing address on it: the server\u2019s banner shows one when it starts, and on the ' +
            'computer that runs the server the dashboard\u2019s Devices card makes a new one (Pair a device). ' +
            `On that computer, http://127.0.0.1:${port}/ needs no pairing.`,
    ];
    if (refused.hadKey) lines.splice(1, 0, 'This device was paired, but the server no longer knows it: it was forgotten there, or the server was restarted.');
    return lines;
}

const LABELS = { server: 'Dashboard server', wallet: 'Wallet RPC service', daemon: 'Daemon' };

function badge() {
    if (isDown('server')) return ['down', 'Dashboard server offline'];
    if (refused) return ['bad', refused.pairing ? 'Not paired' : 'Refused'];
    if (isDown('wallet')) return ['bad', LOGIN_REFUSED.test(sides.wallet.detail) ? 'Wallet RPC login refused' : 'Wallet RPC unreachable'];
    if (isDown('daemon')) return ['warn', 'Daemon unreachable'];
    if (isUp('wallet')) return ['ok', 'Wallet RPC online'];
    return ['checking', 'Checking wallet RPC\u2026'];
}

// Replaces the lines of a list only when their text changes: the banner is
// an alert, and a screen reader would announce the same lines again.
function setLines(id, tag, lines) {
    const node = $(id);
    const key = lines.join('\n');
    if (node.dataset.lines === key) return;
    node.dataset.lines = key;
    node.replaceChildren(...lines.map((line) => el(tag, {}, line)));
}

// The banner's sentence, option names kept whole on one line.
function setSentence(text) {
    const node = $('banner-text');
    if (node.textContent === text) return;
    node.replaceChildren(...text.split(/(--[a-z-]+)/).map((part, i) => (i % 2 ? el('code', {}, part) : part)));
}

function render() {
    const [state, text] = badge();
    $('health').dataset.state = state;
    setText('health-text', text);
    setText('conn-wallet', isUp('wallet') ? 'Online' : isDown('wallet') ? 'Unreachable' : 'Unknown');
    if (isDown('daemon') || isDown('server')) setText('conn-daemon', isDown('server') ? 'Unknown' : 'Unreachable');

    const banner = $('banner');
    const sentence = outageSentence();
    const details = [];
    for (const [side, s] of Object.entries(sides)) {
        if (s.state === 'down') details.push(`${LABELS[side]}: ${s.detail || 'no answer'} (since ${clockTime(s.since)})`);
    }
    if (sentence) details.push('The page tries again by itself, less often the longer it lasts (at most every 30 s).');
    for (const [source, text] of faults) details.push(`${source}: ${text}`);
    if (refused) {
        banner.dataset.kind = 'access';
        const [first, ...rest] = accessText();
        setSentence(first);
        setLines('banner-help', 'span', rest);
    } else {
        banner.dataset.kind = sentence ? 'outage' : 'fault';
        setSentence(sentence || (faults.size ? 'Something went wrong in this page; reloading it may help.' : ''));
        setLines('banner-help', 'span', []);
    }
    setLines('banner-list', 'li', details);
    $('banner-details').hidden = details.length === 0 || Boolean(refused);
    setText('banner-retry', refused ? 'Try again' : 'Try now');
    banner.hidden = !sentence && !refused && faults.size === 0;

    renderStale();
    const reason = blockedReason();
    if (reason !== lastBlocked) {
        lastBlocked = reason;
        for (const fn of blockListeners) fn(reason);
    }
}

// Draws the state and starts every poll.
export function startConnection() {
    $('banner-retry').addEventListener('click', retryNow);
    window.addEventListener('focus', probeDown);
    window.addEventListener('online', probeDown);
    // A hidden tab asks for nothing; shown again, everything looks at once.
    document.addEventListener('visibilitychange', () => {
        if (document.visibilityState === 'visible') for (const p of polls) if (!p.running) runPoll(p);
    });
    render();
    for (const p of polls) runPoll(p);
}
