// The dashboard: polls the server's routes and keeps the page in step.

import { formatAmount, parseAmount, TICKER, toAtomic } from './amount.js';
import { LogFollower } from './log-follow.js';
import { daemon, getJson, NO_WALLET_OPEN, RpcError, ServiceError, wallet } from './rpc.js';

const $ = (id) => document.getElementById(id);

const EVERY = { health: 3000, daemon: 5000, path: 5000, wallet: 4000, wallets: 15000, log: 1000 };
// A route that failed is retried sooner, so the banner clears soon after recovery.
const RETRY_MS = 1500;
const MAX_LOG_LINES = 2000;

// ---------------------------------------------------------------- problems

// What is wrong right now, by source; the banner shows exactly this.
const problems = new Map();

function setProblem(source, message) {
    problems.set(source, message);
    renderBanner();
}

function clearProblem(...sources) {
    let changed = false;
    for (const s of sources) changed = problems.delete(s) || changed;
    if (changed) renderBanner();
}

function renderBanner() {
    const list = $('banner-list');
    list.replaceChildren(...[...problems.values()].map((m) => el('li', {}, m)));
    $('banner').hidden = problems.size === 0;
}

// Turns a failure into something visible; true when it was a service problem.
function report(error, fallbackSource) {
    if (error instanceof ServiceError) {
        setProblem(error.source, error.message);
        return true;
    }
    if (!(error instanceof RpcError)) {
        setProblem(fallbackSource, `${fallbackSource}: ${error?.message ?? error}`);
        console.warn(error);
    }
    return false;
}

// ---------------------------------------------------------------- helpers

function el(tag, attrs = {}, ...children) {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs)) {
        if (k === 'class') node.className = v;
        else if (k === 'dataset') Object.assign(node.dataset, v);
        else node.setAttribute(k, v);
    }
    // Text only: nothing from a service is ever parsed as HTML.
    for (const c of children) node.append(c instanceof Node ? c : String(c));
    return node;
}

function setText(id, text) {
    const node = $(id);
    if (node.textContent !== text) node.textContent = text;
}

function showMessage(id, text, kind = '') {
    const node = $(id);
    node.textContent = text;
    node.className = `message ${kind}`.trim();
}

function rpcMessage(error) {
    return error instanceof RpcError ? `${error.message} (code ${error.code})` : error.message;
}

function two(n) {
    return String(n).padStart(2, '0');
}

function formatTime(seconds) {
    if (!Number.isFinite(seconds) || seconds <= 0) return '—';
    const d = new Date(seconds * 1000);
    return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ${two(d.getHours())}:${two(d.getMinutes())}`;
}

const withTicker = (atomic) => `${formatAmount(atomic)} ${TICKER}`;

// Runs fn now and then every `every` ms after it settles; never two at once.
function poller(fn, every) {
    let timer = null;
    let running = false;
    let again = false;
    async function run() {
        clearTimeout(timer);
        if (running) {
            again = true;
            return;
        }
        running = true;
        let ok = true;
        try {
            ok = (await fn()) !== false;
        } catch (e) {
            ok = false;
            report(e, 'Dashboard');
        }
        running = false;
        if (again) {
            again = false;
            run();
        } else {
            timer = setTimeout(run, ok ? every : Math.min(every, RETRY_MS));
        }
    }
    return { run };
}

// ---------------------------------------------------------------- health

let healthy = null;

async function pollHealth() {
    const badge = $('health');
    try {
        const answer = await getJson('health', 'Dashboard server');
        clearProblem('server', 'Dashboard server');
        const ok = answer?.status === 'ok';
        badge.dataset.state = ok ? 'ok' : 'bad';
        setText('health-text', ok ? 'Wallet RPC online' : 'Wallet RPC unreachable');
        setText('conn-wallet', ok ? 'Online' : 'Unreachable');
        if (ok) clearProblem('Health');
        else setProblem('Health', 'The wallet RPC service does not answer the health check.');
        // Back from an outage: refresh everything now rather than at the next tick.
        if (ok && healthy === false) {
            for (const p of Object.values(pollers)) if (p !== pollers.health) p.run();
        }
        healthy = ok;
        return ok;
    } catch (e) {
        badge.dataset.state = 'down';
        setText('health-text', 'Dashboard server offline');
        setText('conn-wallet', 'Unknown');
        healthy = false;
        throw e;
    }
}

// ---------------------------------------------------------------- daemon

async function pollDaemon() {
    try {
        const info = await daemon('get_info');
        clearProblem('Daemon');
        renderDaemon(info);
    } catch (e) {
        setText('conn-daemon', 'Unreachable');
        for (const id of ['daemon-height', 'daemon-target', 'daemon-peers']) setText(id, '—');
        $('sync').hidden = true;
        if (e instanceof RpcError) setProblem('Daemon', `Daemon: get_info failed: ${rpcMessage(e)}`);
        throw e;
    }
}

function renderDaemon(info) {
    const height = Number(info.height ?? 0);
    const target = Number(info.target_height ?? 0);
    const syncing = target > height || info.synchronized === false;
    setText('daemon-height', String(height));
    setText('daemon-target', target > 0 ? String(target) : '—');
    const inPeers = info.incoming_connections_count ?? '?';
    const outPeers = info.outgoing_connections_count ?? '?';
    setText('daemon-peers', `${outPeers} out, ${inPeers} in`);
    const percent = target > 0 ? Math.min(100, (height / target) * 100) : 100;
    setText('conn-daemon', syncing ? `Syncing (${percent.toFixed(1)} %)` : 'Synchronized');
    $('sync').hidden = !syncing;
    if (syncing) {
        $('sync-bar').value = percent;
        setText('sync-label', `Syncing: ${height} of ${target} blocks (${target - height} to go)`);
    }
}

async function pollPathHeight() {
    try {
        const answer = await getJson('rpc/get_height', 'Daemon via /rpc/');
        clearProblem('Daemon via /rpc/');
        setText('path-height', Number.isInteger(answer?.height) ? String(answer.height) : '—');
    } catch (e) {
        setText('path-height', '—');
        throw e;
    }
}

// ---------------------------------------------------------------- wallet files

let walletNames = [];

async function pollWalletList() {
    const answer = await getJson('wallets', 'Wallet list');
    clearProblem('Wallet list');
    walletNames = Array.isArray(answer?.wallets) ? answer.wallets.map(String) : [];
    renderWalletList();
}

function renderWalletList() {
    const openName = openWallet?.name;
    const items = walletNames.map((name) => {
        const button = el('button', { type: 'button', class: 'wallet-pick', 'aria-label': `Choose wallet ${name}` }, name);
        button.addEventListener('click', () => {
            $('open-name').value = name;
            $('open-password').focus();
        });
        const item = el('li', {}, button);
        if (name === openName) item.append(el('span', { class: 'tag' }, 'open'));
        return item;
    });
    $('wallet-list').replaceChildren(...items);
    const empty = $('wallets-empty');
    empty.hidden = walletNames.length > 0;
    empty.textContent = 'No wallet files found. The server lists them when started with --wallet-dir.';
}

// ---------------------------------------------------------------- open wallet

const SESSION_KEY = 'krv-webui.open-wallet';
// {name, address} of the wallet this page opened, if it is still the open one.
let openWallet = null;
let lastTransfers = '';

function rememberedName(address) {
    try {
        const saved = JSON.parse(sessionStorage.getItem(SESSION_KEY) ?? 'null');
        return saved && saved.address === address ? saved.name : '';
    } catch {
        return '';
    }
}

async function pollWallet() {
    let address;
    try {
        address = (await wallet('get_address')).address;
    } catch (e) {
        if (e instanceof RpcError && e.code === NO_WALLET_OPEN) {
            clearProblem('Wallet RPC');
            showClosed();
            return;
        }
        if (e instanceof RpcError) showMessage('wallet-message', `Wallet: ${rpcMessage(e)}`, 'error');
        throw e;
    }
    const [balance, height, transfers] = await Promise.all([
        wallet('get_balance'),
        wallet('get_height'),
        wallet('get_transfers', { in: true, out: true, pending: true, pool: true, failed: true }),
    ]);
    clearProblem('Wallet RPC');
    showMessage('wallet-message', '');
    showOpen(String(address), balance, height, transfers);
}

function showClosed() {
    if (openWallet === null && $('wallet-info').hidden) return;
    openWallet = null;
    $('wallet-info').hidden = true;
    $('wallet-none').hidden = false;
    $('close-button').hidden = true;
    setText('wallet-title', 'Open wallet');
    renderTransfers([]);
    setText('transfers-empty', 'No wallet open.');
    renderWalletList();
}

function showOpen(address, balance, height, transfers) {
    const name = openWallet?.address === address ? openWallet.name : rememberedName(address);
    const changed = openWallet?.address !== address;
    openWallet = { name, address };
    $('wallet-info').hidden = false;
    $('wallet-none').hidden = true;
    $('close-button').hidden = false;
    setText('wallet-title', name ? `Open wallet: ${name}` : 'Open wallet');
    setText('wallet-name', name ? '' : 'Opened outside this page');
    setText('wallet-address', address);
    setText('balance', withTicker(toAtomic(balance.balance)));
    setText('unlocked', withTicker(toAtomic(balance.unlocked_balance)));
    setText('wallet-height', String(height.height ?? '—'));
    renderTransfers(collectTransfers(transfers));
    if (changed) renderWalletList();
}

const KINDS = {
    in: { label: 'Received', sign: '+' },
    out: { label: 'Sent', sign: '−' },
    pending: { label: 'Sending', sign: '−' },
    pool: { label: 'Incoming', sign: '+' },
    failed: { label: 'Failed', sign: '−' },
};

function collectTransfers(result) {
    const rows = [];
    for (const kind of Object.keys(KINDS)) {
        for (const t of Array.isArray(result?.[kind]) ? result[kind] : []) rows.push({ ...t, kind });
    }
    // Newest first: unconfirmed ones on top, then by height, then by time.
    const h = (t) => (Number(t.height) > 0 ? Number(t.height) : Infinity);
    return rows.sort((a, b) => h(b) - h(a) || Number(b.timestamp ?? 0) - Number(a.timestamp ?? 0));
}

function renderTransfers(rows) {
    const key = JSON.stringify(rows, (k, v) => (typeof v === 'bigint' ? v.toString() : v));
    if (key === lastTransfers) return;
    lastTransfers = key;
    const body = rows.map((t) => {
        const kind = KINDS[t.kind];
        const confirmed = Number(t.height) > 0;
        const fee = t.fee !== undefined ? `, fee ${withTicker(toAtomic(t.fee))}` : '';
        return el('tr', { class: `kind-${t.kind}`, dataset: { txid: String(t.txid ?? '') } },
            el('td', { 'data-label': 'Type' }, el('span', { class: `pill ${t.kind}` }, kind.label)),
            el('td', { class: 'right num amount', 'data-label': 'Amount', title: `${kind.label}${fee}` },
                `${kind.sign}${formatAmount(toAtomic(t.amount ?? 0))}`),
            el('td', { class: 'right num', 'data-label': 'Confirmations' }, String(t.confirmations ?? 0)),
            el('td', { class: 'right num', 'data-label': 'Height' }, confirmed ? String(t.height) : 'pending'),
            el('td', { class: 'num', 'data-label': 'Time' }, formatTime(Number(t.timestamp))),
            el('td', { 'data-label': 'Transaction id' }, el('code', { class: 'txid' }, String(t.txid ?? ''))));
    });
    $('transfers-body').replaceChildren(...body);
    $('transfers-empty').hidden = rows.length > 0;
    setText('transfers-empty', openWallet ? 'No transfers yet.' : 'No wallet open.');
    setText('transfers-count', rows.length ? `${rows.length} transfer${rows.length === 1 ? '' : 's'}` : '');
}

async function openSelected(event) {
    event.preventDefault();
    const name = $('open-name').value.trim();
    if (!name) {
        showMessage('open-message', 'Enter the name of a wallet.', 'error');
        return;
    }
    $('open-button').disabled = true;
    showMessage('open-message', `Opening ${name}…`);
    try {
        await wallet('open_wallet', { filename: name, password: $('open-password').value });
        $('open-password').value = '';
        const { address } = await wallet('get_address');
        openWallet = { name, address: String(address) };
        sessionStorage.setItem(SESSION_KEY, JSON.stringify(openWallet));
        showMessage('open-message', `Opened ${name}.`, 'ok');
        await pollers.wallet.run();
    } catch (e) {
        report(e, 'Wallet RPC');
        showMessage('open-message', `Could not open ${name}: ${rpcMessage(e)}`, 'error');
    } finally {
        $('open-button').disabled = false;
    }
}

async function closeWallet() {
    $('close-button').disabled = true;
    try {
        await wallet('close_wallet');
        sessionStorage.removeItem(SESSION_KEY);
        showMessage('open-message', 'Wallet closed.', 'ok');
        showClosed();
    } catch (e) {
        report(e, 'Wallet RPC');
        showMessage('wallet-message', `Could not close the wallet: ${rpcMessage(e)}`, 'error');
    } finally {
        $('close-button').disabled = false;
    }
}

async function copyAddress() {
    const text = $('wallet-address').textContent;
    let done = false;
    try {
        // The clipboard API needs a secure origin; plain http on the LAN is not one.
        if (navigator.clipboard && window.isSecureContext) {
            await navigator.clipboard.writeText(text);
            done = true;
        }
    } catch {
        done = false;
    }
    if (!done) done = copyBySelection(text);
    setText('copy-message', done ? 'Address copied.' : 'Copy failed: select the address and copy it by hand.');
    setTimeout(() => setText('copy-message', ''), 3000);
}

function copyBySelection(text) {
    const area = el('textarea', { readonly: '', class: 'offscreen', 'aria-hidden': 'true' });
    area.value = text;
    document.body.append(area);
    area.select();
    let ok = false;
    try {
        ok = document.execCommand('copy');
    } catch {
        ok = false;
    }
    area.remove();
    return ok;
}

// ---------------------------------------------------------------- send

let pendingTransfer = null;

function reviewTransfer(event) {
    event.preventDefault();
    hideConfirm();
    const address = $('send-address').value.trim();
    const amount = parseAmount($('send-amount').value);
    if (!openWallet) return showMessage('send-result', 'Open a wallet first.', 'error');
    if (!address) return showMessage('send-result', 'Enter a destination address.', 'error');
    if (/\s/.test(address)) return showMessage('send-result', 'The address must not contain spaces or line breaks.', 'error');
    if (amount.error) return showMessage('send-result', amount.error, 'error');
    pendingTransfer = { address, amount: amount.value };
    showMessage('send-result', '');
    setText('send-summary', `Send ${withTicker(amount.value)} from ${openWallet.name || 'the open wallet'} to ${address}? ` +
        'The wallet adds its network fee.');
    $('send-confirm').hidden = false;
    $('send-confirm-button').focus();
}

function hideConfirm() {
    pendingTransfer = null;
    $('send-confirm').hidden = true;
}

async function confirmTransfer() {
    const transfer = pendingTransfer;
    if (!transfer) return;
    $('send-confirm-button').disabled = true;
    $('send-cancel').disabled = true;
    showMessage('send-result', 'Sending…');
    try {
        const result = await wallet('transfer', { destinations: [{ amount: transfer.amount, address: transfer.address }] });
        hideConfirm();
        $('send-amount').value = '';
        const node = $('send-result');
        node.className = 'message ok';
        node.replaceChildren(
            el('strong', {}, `Sent ${withTicker(transfer.amount)}.`), el('br'),
            'Transaction id: ', el('code', { class: 'txid', id: 'sent-txid' }, String(result.tx_hash ?? '')), el('br'),
            'Fee: ', el('span', { id: 'sent-fee' }, withTicker(toAtomic(result.fee ?? 0))));
        await pollers.wallet.run();
    } catch (e) {
        hideConfirm();
        report(e, 'Wallet RPC');
        showMessage('send-result', `The wallet refused the transfer: ${rpcMessage(e)}`, 'error');
    } finally {
        $('send-confirm-button').disabled = false;
        $('send-cancel').disabled = false;
    }
}

// ---------------------------------------------------------------- live log

const follower = new LogFollower();
let logStick = true;
let logPolls = 0;

async function pollLog() {
    let answer;
    try {
        answer = await getJson(follower.url(), 'Wallet log');
    } finally {
        $('log').dataset.polls = String(++logPolls);
    }
    clearProblem('Wallet log');
    const update = follower.accept(answer);
    if (update.error) {
        const text = update.error === 'no wallet-log configured'
            ? 'No wallet log is configured. Start the server with --wallet-log PATH to follow it here.'
            : `The wallet log cannot be read: ${update.error}.`;
        setText('log-message', text);
        return;
    }
    setText('log-message', '');
    appendLog(update);
}

function appendLog({ reset, truncated, lines }) {
    const box = $('log');
    if (reset) box.replaceChildren();
    if (truncated) box.append(el('div', { class: 'log-note' }, '— the log was truncated or rotated —'));
    const filter = $('log-filter').value.trim().toLowerCase();
    for (const line of lines) {
        const level = /\s(E|ERROR)\s/.test(line) ? 'error' : /\s(W|WARN|WARNING)\s/.test(line) ? 'warn' : '';
        const row = el('div', { class: `log-line ${level}`.trim() }, line);
        row.hidden = filter !== '' && !line.toLowerCase().includes(filter);
        box.append(row);
    }
    while (box.childElementCount > MAX_LOG_LINES) box.firstElementChild.remove();
    if (logStick) box.scrollTop = box.scrollHeight;
}

function onLogScroll() {
    const box = $('log');
    logStick = box.scrollTop + box.clientHeight >= box.scrollHeight - 8;
    $('log-follow').hidden = logStick;
}

function followLatest() {
    logStick = true;
    const box = $('log');
    box.scrollTop = box.scrollHeight;
    $('log-follow').hidden = true;
    box.focus();
}

function applyFilter() {
    const filter = $('log-filter').value.trim().toLowerCase();
    for (const row of $('log').querySelectorAll('.log-line')) {
        row.hidden = filter !== '' && !row.textContent.toLowerCase().includes(filter);
    }
    if (logStick) $('log').scrollTop = $('log').scrollHeight;
}

// ---------------------------------------------------------------- start

const pollers = {
    health: poller(pollHealth, EVERY.health),
    daemon: poller(pollDaemon, EVERY.daemon),
    path: poller(pollPathHeight, EVERY.path),
    wallets: poller(pollWalletList, EVERY.wallets),
    wallet: poller(pollWallet, EVERY.wallet),
    log: poller(pollLog, EVERY.log),
};

function start() {
    $('open-form').addEventListener('submit', openSelected);
    $('close-button').addEventListener('click', closeWallet);
    $('copy-button').addEventListener('click', copyAddress);
    $('send-form').addEventListener('submit', reviewTransfer);
    $('send-form').addEventListener('input', hideConfirm);
    $('send-confirm-button').addEventListener('click', confirmTransfer);
    $('send-cancel').addEventListener('click', () => {
        hideConfirm();
        $('send-review').focus();
    });
    $('log').addEventListener('scroll', onLogScroll);
    // Lines re-wrap when the page narrows; stay at the newest one if following.
    new ResizeObserver(() => {
        if (logStick) $('log').scrollTop = $('log').scrollHeight;
    }).observe($('log'));
    $('log-follow').addEventListener('click', followLatest);
    $('log-filter').addEventListener('input', applyFilter);
    window.addEventListener('unhandledrejection', (e) => report(e.reason, 'Dashboard'));
    window.addEventListener('error', (e) => report(e.error ?? e.message, 'Dashboard'));
    for (const p of Object.values(pollers)) p.run();
}

start();
