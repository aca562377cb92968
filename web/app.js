// The dashboard: polls the server's routes and keeps the page in step.

import { formatAmount, TICKER, toAtomic } from './amount.js';
import {
    addPoll, forgetFigures, keyChanged, markFresh, onBlocked, reportFault, startConnection,
} from './connection.js';
import { $, el, setText, showMessage, showWords } from './dom.js';
import { takeKeyFromAddress } from './lan-key.js';
import { LogFollower } from './log-follow.js';
import { daemon, getJson, NO_WALLET_OPEN, RpcError, wallet } from './rpc.js';
import { onSent, sendBalances, sendBlocked, sendWalletChanged, startSend } from './send.js';
import { inWords } from './words.js';

// Before anything else, so the key leaves the address bar at once.
takeKeyFromAddress();

const EVERY = { daemon: 5000, path: 5000, wallet: 4000, wallets: 15000, log: 1000 };
const MAX_LOG_LINES = 2000;

// ---------------------------------------------------------------- helpers

function two(n) {
    return String(n).padStart(2, '0');
}

function formatTime(seconds) {
    if (!Number.isFinite(seconds) || seconds <= 0) return '—';
    const d = new Date(seconds * 1000);
    return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ${two(d.getHours())}:${two(d.getMinutes())}`;
}

const withTicker = (atomic) => `${formatAmount(atomic)} ${TICKER}`;

// ---------------------------------------------------------------- daemon

async function pollDaemon() {
    let info;
    try {
        info = await daemon('get_info');
    } catch (e) {
        if (!(e instanceof RpcError)) throw e;
        setText('conn-daemon', `Error: ${inWords(e).details}`);
        return;
    }
    renderDaemon(info);
    markFresh('daemon');
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
    const answer = await getJson('rpc/get_height', 'Daemon via /rpc/');
    setText('path-height', Number.isInteger(answer?.height) ? String(answer.height) : '—');
}

// ---------------------------------------------------------------- wallet files

let walletNames = [];

async function pollWalletList() {
    const answer = await getJson('wallets', 'Wallet list');
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
// {name, address} of the open wallet; name is '' when it was opened outside
// this page.
let openWallet = null;
let lastTransfers = '';
// Bumped whenever this page opens or closes a wallet: a poll that began
// before drops its answer, which may describe the wallet of before.
let walletEpoch = 0;
// Why actions on the wallet are unavailable now ('' when they are not).
let blocked = '';
let walletBusy = false;

function rememberedName(address) {
    try {
        const saved = JSON.parse(sessionStorage.getItem(SESSION_KEY) ?? 'null');
        return saved && saved.address === address ? saved.name : '';
    } catch {
        return '';
    }
}

// Makes `next` the wallet the page shows. Anything that belonged to another
// wallet (figures, transfers, the send form and its result) goes at once,
// and the wallet list's "open" tag moves with it.
function setOpenWallet(next) {
    const prev = openWallet;
    openWallet = next;
    if (prev?.address === next?.address && prev?.name === next?.name) return;
    for (const id of ['balance', 'unlocked', 'wallet-height']) setText(id, '—');
    setText('wallet-address', next?.address ?? '');
    renderTransfers([]);
    // Until the new wallet's list arrives, whatever it holds.
    lastTransfers = '';
    setText('transfers-empty', next ? 'Loading transfers\u2026' : 'No wallet open.');
    forgetFigures('wallet');
    sendWalletChanged(next);
    renderWalletList();
    updateWalletActions();
}

async function pollWallet() {
    const epoch = walletEpoch;
    let address;
    let balance;
    let height;
    let transfers;
    try {
        address = String((await wallet('get_address')).address);
        [balance, height, transfers] = await Promise.all([
            wallet('get_balance'),
            wallet('get_height'),
            wallet('get_transfers', { in: true, out: true, pending: true, pool: true, failed: true }),
        ]);
    } catch (e) {
        // The page opened or closed a wallet meanwhile: this says nothing now.
        if (epoch !== walletEpoch) return;
        if (!(e instanceof RpcError)) throw e;
        if (e.code === NO_WALLET_OPEN) showClosed(false);
        else showWords('wallet-message', inWords(e));
        return;
    }
    if (epoch !== walletEpoch) return;
    showMessage('wallet-message', '');
    showOpen(address, balance, height, transfers);
}

// No wallet is open. byPage: this page closed it; otherwise the wallet
// service did (restarted, or told to by someone else), and the page says so.
function showClosed(byPage) {
    const gone = openWallet;
    if (gone && !byPage) {
        const name = gone.name || 'The wallet';
        showMessage('wallet-message', `${name} was closed by the wallet service; open it again.`, 'warn');
        if ($('open-message').classList.contains('ok')) showMessage('open-message', '');
        if (gone.name) $('open-name').value = gone.name;
        sessionStorage.removeItem(SESSION_KEY);
    }
    setOpenWallet(null);
    $('wallet-info').hidden = true;
    $('wallet-none').hidden = false;
    $('close-button').hidden = true;
    setText('wallet-title', 'Open wallet');
    setText('transfers-empty', 'No wallet open.');
}

function showOpen(address, balance, height, transfers) {
    if (openWallet?.address !== address) {
        // Opened outside this page, or before it was loaded.
        if (openWallet) {
            showMessage('wallet-message', `${openWallet.name || 'The wallet'} was closed and another wallet was opened outside this page.`, 'warn');
        }
        setOpenWallet({ name: rememberedName(address), address });
    }
    const { name } = openWallet;
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
    sendBalances(balance.unlocked_balance);
    markFresh('wallet');
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
    walletEpoch += 1;
    walletBusy = true;
    updateWalletActions();
    showMessage('open-message', `Opening ${name}…`);
    try {
        await wallet('open_wallet', { filename: name, password: $('open-password').value });
        $('open-password').value = '';
        const { address } = await wallet('get_address');
        walletEpoch += 1;
        sessionStorage.setItem(SESSION_KEY, JSON.stringify({ name, address: String(address) }));
        setOpenWallet({ name, address: String(address) });
        showMessage('wallet-message', '');
        showMessage('open-message', `Opened ${name}.`, 'ok');
        setText('wallet-title', `Open wallet: ${name}`);
        await walletPoll.run();
    } catch (e) {
        const words = inWords(e);
        showWords('open-message', { ...words, sentence: `Could not open ${name}. ${words.sentence}` });
    } finally {
        walletBusy = false;
        updateWalletActions();
    }
}

async function closeWallet() {
    const name = openWallet?.name || 'The wallet';
    walletEpoch += 1;
    walletBusy = true;
    updateWalletActions();
    try {
        await wallet('close_wallet');
        walletEpoch += 1;
        sessionStorage.removeItem(SESSION_KEY);
        showMessage('open-message', `${name} was closed.`, 'ok');
        showMessage('wallet-message', '');
        showClosed(true);
    } catch (e) {
        if (e instanceof RpcError && e.code === NO_WALLET_OPEN) {
            walletEpoch += 1;
            showClosed(false);
        } else {
            const words = inWords(e);
            showWords('wallet-message', { ...words, sentence: `Could not close the wallet. ${words.sentence}` });
        }
    } finally {
        walletBusy = false;
        updateWalletActions();
    }
}

// Open and Close are unavailable during an outage, with the reason beside them.
function updateWalletActions() {
    $('open-button').disabled = walletBusy || blocked !== '';
    setText('open-blocked', blocked);
    $('close-button').disabled = walletBusy || blocked !== '';
    setText('close-blocked', openWallet ? blocked : '');
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

const walletPoll = addPoll('wallet', pollWallet, EVERY.wallet, { needs: ['server', 'wallet'] });
addPoll('daemon', pollDaemon, EVERY.daemon, { slows: ['daemon'], probe: 'daemon' });
addPoll('path', pollPathHeight, EVERY.path, { needs: ['server', 'daemon'] });
// The wallet's files and log are read by the server itself, but while the
// wallet service is down there is little news in them: they slow down too.
addPoll('wallets', pollWalletList, EVERY.wallets, { slows: ['wallet'] });
addPoll('log', pollLog, EVERY.log, { slows: ['wallet'] });

function start() {
    $('open-form').addEventListener('submit', openSelected);
    $('close-button').addEventListener('click', closeWallet);
    $('copy-button').addEventListener('click', copyAddress);
    startSend();
    onSent(() => walletPoll.run());
    onBlocked((reason) => {
        blocked = reason;
        updateWalletActions();
        sendBlocked(reason);
    });
    // Opening the LAN address with its key in this tab again.
    window.addEventListener('hashchange', () => {
        if (takeKeyFromAddress()) keyChanged();
    });
    $('log').addEventListener('scroll', onLogScroll);
    // Lines re-wrap when the page narrows; stay at the newest one if following.
    new ResizeObserver(() => {
        if (logStick) $('log').scrollTop = $('log').scrollHeight;
    }).observe($('log'));
    $('log-follow').addEventListener('click', followLatest);
    $('log-filter').addEventListener('input', applyFilter);
    window.addEventListener('unhandledrejection', (e) => reportFault('page', e.reason));
    window.addEventListener('error', (e) => reportFault('page', e.error ?? e.message));
    startConnection();
}

start();
