// The dashboard: polls the server's routes and keeps the page in step.

import { toAtomic } from './amount.js';
import {
    addPoll, forgetFigures, keyChanged, markFresh, onBlocked, PACE, reportFault, startConnection,
} from './connection.js';
import { $, copyText, el, setText, showMessage, showWords } from './dom.js';
import { startDevices } from './devices.js';
import { coins } from './format.js';
import { setWalletOpen } from './layout.js';
import { LogFollower } from './log-follow.js';
import { LogPanel } from './log-panel.js';
import { takeKeyFromAddress } from './pairing.js';
import { ReceiveView } from './receive.js';
import { daemon, getJson, NO_WALLET_OPEN, RpcError, wallet } from './rpc.js';
import { onSent, sendBalances, sendBlocked, sendWalletChanged, startSend } from './send.js';
import { TransfersView } from './transfers-view.js';
import { inWords } from './words.js';

// Before anything else: the code or key leaves the address bar at once, and
// a code is traded for this device's token before the first wallet request.
await takeKeyFromAddress();

// With the health check every 15 s these add up to about 50 requests a
// minute while nothing happens, 30 of them the log. The wallet is probed
// every 10 s and read in full when the chain moves, after an action, or
// every 30 s for what waits in the pool.
const EVERY = { daemon: 15000, path: 60000, wallet: 10000, wallets: 60000, log: 2000 };
const WALLET_FULL_EVERY = 30000;

const withTicker = (atomic) => coins(atomic);

// ---------------------------------------------------------------- daemon

let chainHeight = null;

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
    // A new block moves confirmations and locks: read the wallet again.
    const height = Number(info.height ?? 0);
    if (chainHeight !== null && height !== chainHeight) refreshWallet();
    chainHeight = height;
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

// The connection in one line, for narrow screens; the wallet side is in
// the header's badge already.
function renderStatusLine() {
    const daemonText = $('conn-daemon').textContent;
    const height = $('daemon-height').textContent;
    setText('conn-summary', daemonText === '—' ? 'Connection details'
        : `Daemon ${daemonText.toLowerCase()}${height !== '—' ? `, height ${height}` : ''}`);
}

function toggleConnection() {
    const card = $('conn-card');
    const open = !card.classList.contains('expanded');
    card.classList.toggle('expanded', open);
    $('conn-toggle').setAttribute('aria-expanded', String(open));
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
const transfersView = new TransfersView();
const receiveView = new ReceiveView({ onError: (e) => showWords('receive-message', inWords(e)) });
// When the wallet was last read in full, and whether the next probe must
// read it in full whatever it finds.
let walletRead = { at: 0, force: true };
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
    setText('balance-note', '');
    transfersView.clear(next ? 'Loading transfers…' : 'No wallet open.');
    transfersView.setWallet(next?.name ?? '');
    receiveView.clear();
    walletRead.force = true;
    $('receive-card').hidden = !next;
    setWalletOpen(Boolean(next));
    forgetFigures('wallet');
    sendWalletChanged(next);
    renderWalletList();
    updateWalletActions();
}

// Asks for a full read of the wallet, now.
function refreshWallet() {
    walletRead.force = true;
    walletPoll.run();
}

// The probe asks for the primary address alone: whether a wallet is open,
// and whether it is still the same one, in a few hundred bytes. The wallet
// is read in full (height, accounts, what is new in its transfers) only
// when something may have changed.
async function pollWallet() {
    const epoch = walletEpoch;
    let address;
    let read;
    try {
        address = String((await wallet('get_address', { account_index: 0, address_index: [0] })).address);
        if (epoch !== walletEpoch) return;
        const same = openWallet?.address === address;
        if (same && !walletRead.force && Date.now() - walletRead.at < WALLET_FULL_EVERY * PACE) {
            markFresh('wallet');
            return;
        }
        if (!same) noteOpenWallet(address);
        walletRead = { at: Date.now(), force: false };
        const params = transfersView.request();
        const [height, accounts, transfers] = await Promise.all([
            wallet('get_height'),
            wallet('get_accounts'),
            wallet('get_transfers', params),
        ]);
        read = { height, accounts, params, transfers };
    } catch (e) {
        // Whatever was not read is read in full next time.
        walletRead.force = true;
        // The page opened or closed a wallet meanwhile: this says nothing now.
        if (epoch !== walletEpoch) return;
        if (!(e instanceof RpcError)) throw e;
        if (e.code === NO_WALLET_OPEN) showClosed(false);
        else showWords('wallet-message', inWords(e));
        return;
    }
    if (epoch !== walletEpoch || openWallet?.address !== address) return;
    showMessage('wallet-message', '');
    await showOpen(read);
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

// A wallet other than the one shown is open: opened outside this page, or
// before it was loaded.
function noteOpenWallet(address) {
    if (openWallet) {
        showMessage('wallet-message', `${openWallet.name || 'The wallet'} was closed and another wallet was opened outside this page.`, 'warn');
    }
    setOpenWallet({ name: rememberedName(address), address });
    const { name } = openWallet;
    $('wallet-info').hidden = false;
    $('wallet-none').hidden = true;
    $('close-button').hidden = false;
    setText('wallet-title', name ? `Open wallet: ${name}` : 'Open wallet');
    setText('wallet-name', name ? '' : 'Opened outside this page');
    setText('wallet-address', address);
}

async function showOpen({ height, accounts, params, transfers }) {
    const walletHeight = Number(height.height ?? 0);
    setText('wallet-height', String(height.height ?? '—'));
    const list = Array.isArray(accounts.subaddress_accounts) ? accounts.subaddress_accounts : [];
    setText('balance-label', list.length > 1 ? 'Balance, all accounts' : 'Balance');
    setText('balance', withTicker(toAtomic(accounts.total_balance)));
    setText('unlocked', withTicker(toAtomic(accounts.total_unlocked_balance)));
    const changed = transfersView.accept(params, transfers, walletHeight);
    setText('balance-note', transfersView.lockedSummary(accounts.total_balance, accounts.total_unlocked_balance));
    // Sending spends from the first account.
    const spendable = list.find((a) => Number(a.account_index) === 0)?.unlocked_balance ?? accounts.total_unlocked_balance;
    sendBalances(spendable);
    markFresh('wallet');
    await receiveView.setAccounts(accounts);
    transfersView.setLabels(receiveView.labels());
    // Money that arrived marks its address as used.
    if (changed && params.filter_by_height) await receiveView.refreshAddresses();
}

async function openSelected(event) {
    event.preventDefault();
    const name = $('open-name').value.trim();
    if (!name) {
        showMessage('open-message', 'Enter the name of a wallet.', 'error');
        $('open-name').focus();
        return;
    }
    walletEpoch += 1;
    walletBusy = true;
    updateWalletActions();
    showMessage('open-message', `Opening ${name}…`);
    try {
        await wallet('open_wallet', { filename: name, password: $('open-password').value });
        $('open-password').value = '';
        const { address } = await wallet('get_address', { account_index: 0, address_index: [0] });
        walletEpoch += 1;
        sessionStorage.setItem(SESSION_KEY, JSON.stringify({ name, address: String(address) }));
        setOpenWallet({ name, address: String(address) });
        showMessage('wallet-message', '');
        showMessage('open-message', `Opened ${name}.`, 'ok');
        $('wallet-info').hidden = false;
        $('wallet-none').hidden = true;
        $('close-button').hidden = false;
        setText('wallet-title', `Open wallet: ${name}`);
        setText('wallet-name', '');
        $('wallet-title').focus();
        refreshWallet();
    } catch (e) {
        const words = inWords(e);
        showWords('open-message', { ...words, sentence: `Could not open ${name}. ${words.sentence}` });
        // A wrong password is not left in the field for the next try.
        $('open-password').value = '';
        $('open-password').focus();
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
        $('open-name').focus();
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
    const done = await copyText($('wallet-address').textContent);
    setText('copy-message', done ? 'Address copied.' : 'Copy failed: select the address and copy it by hand.');
    setTimeout(() => setText('copy-message', ''), 3000);
}

// ---------------------------------------------------------------- live log

const follower = new LogFollower();
let logPanel = null;
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
    if (update.reset || update.truncated || update.lines.length > 0) logPanel.append(update);
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
    onSent(refreshWallet);
    onBlocked((reason) => {
        blocked = reason;
        updateWalletActions();
        sendBlocked(reason);
    });
    // Opening a pairing address, or the address with the key, in this tab again.
    window.addEventListener('hashchange', async () => {
        if (await takeKeyFromAddress()) keyChanged();
    });
    logPanel = new LogPanel({
        box: $('log'), filter: $('log-filter'), level: $('log-level'), count: $('log-count'), follow: $('log-follow'),
    });
    $('conn-toggle').addEventListener('click', toggleConnection);
    // The daemon's line follows whatever writes its figures, a poll or an outage.
    const statusWatch = new MutationObserver(renderStatusLine);
    for (const id of ['conn-daemon', 'daemon-height']) statusWatch.observe($(id), { childList: true, characterData: true, subtree: true });
    $('go-receive').addEventListener('click', () => {
        $('receive-card').scrollIntoView({ block: 'start' });
        $('receive-title').focus({ preventScroll: true });
    });
    $('go-send').addEventListener('click', () => $('send-address').focus());
    window.addEventListener('unhandledrejection', (e) => reportFault('page', e.reason));
    window.addEventListener('error', (e) => reportFault('page', e.error ?? e.message));
    startConnection();
    startDevices();
}

start();
