// The open wallet: whether one is open and which, read through a cheap probe
// of its address, and when something may have changed its height, accounts
// and new transfers, shown in its card and handed to the other cards. A
// wallet that changes outside this page (opened elsewhere, closed by the
// wallet service) begins a new session here.

import { toAtomic } from './amount.js';
import { forgetFigures, markFresh, PACE } from './connection.js';
import { $, copyText, setText, showMessage, showWords } from './dom.js';
import { coins } from './format.js';
import { setWalletOpen } from './layout.js';
import { NO_WALLET_OPEN, RpcError } from './rpc.js';
import { beginSession, forgetSpendable, isStale, onSessionChange, session, spendableName } from './session.js';
import { inWords } from './words.js';

// Read in full at least this often, for what waits in the pool.
const WALLET_FULL_EVERY = 30000;
export const PRIMARY = { account_index: 0, address_index: [0] };

let transfers = null;
let pollNow = () => {};
let chainHeight = () => null;
// The last get_accounts answer, for the locked funds in words.
let totals = null;
const readListeners = [];
// When the wallet was last read in full; whether the next poll must read it
// in full whatever it finds; whether the page itself just read its address.
const walletRead = { at: 0, force: true, probed: false };

// fn({session, accounts, first, changed, arrived}) after each full read;
// what it returns is awaited, so its failures count as the poll's.
export function onWalletRead(fn) {
    readListeners.push(fn);
}

// Reads the wallet in full, now; probed: its address was just read.
export function refreshWallet({ probed = false } = {}) {
    walletRead.force = true;
    walletRead.probed = probed;
    pollNow();
}

// The probe asks for the primary address alone: whether a wallet is open,
// and whether it is still the same one, in a few hundred bytes. The wallet
// is read in full only when something may have changed.
export async function pollWallet() {
    let s = session();
    try {
        if (!walletRead.probed || !s.open) {
            const address = String((await s.call('get_address', PRIMARY)).address);
            if (address !== s.address) s = openedOutside(s, address);
            else if (!walletRead.force && Date.now() - walletRead.at < WALLET_FULL_EVERY * PACE) {
                markFresh('wallet');
                return;
            }
        }
        walletRead.probed = false;
        walletRead.at = Date.now();
        walletRead.force = false;
        await readWallet(s);
    } catch (e) {
        if (isStale(e)) return;
        // Whatever was not read is read in full next time.
        walletRead.force = true;
        if (!(e instanceof RpcError)) throw e;
        if (e.code === NO_WALLET_OPEN) closedOutside(s);
        else showWords('wallet-message', inWords(e));
    }
}

async function readWallet(s) {
    let height;
    let accounts;
    let params;
    let answer;
    const first = transfers.needsHeight;
    // The first read asks for the newest blocks: below the daemon's height
    // when it is known, so that all three calls go at once, else below the
    // wallet's own.
    if (first && chainHeight() === null) {
        [height, accounts] = await Promise.all([s.call('get_height'), s.call('get_accounts')]);
        params = transfers.request(Number(height.height ?? 0));
        answer = await s.call('get_transfers', params);
    } else {
        params = transfers.request(chainHeight() ?? 0);
        [height, accounts, answer] = await Promise.all([s.call('get_height'), s.call('get_accounts'), s.call('get_transfers', params)]);
    }
    showMessage('wallet-message', '');
    const walletHeight = Number(height.height ?? 0);
    setText('wallet-height', String(height.height ?? '—'));
    showBalances(accounts);
    const { changed, arrived } = transfers.accept(params, answer, walletHeight);
    totals = accounts;
    showLocked();
    markFresh('wallet');
    await Promise.all(readListeners.map((fn) => fn({ session: s, accounts, first, changed, arrived })));
    // The older blocks follow in the background.
    transfers.loadOlder(s);
}

// Why balance and unlocked differ, as far as the history held tells.
function showLocked() {
    if (totals) setText('balance-note', transfers.lockedSummary(totals.total_balance, totals.total_unlocked_balance));
}

// Which figures cover every account is said in their labels.
function showBalances(accounts) {
    const several = (accounts.subaddress_accounts?.length ?? 0) > 1;
    setText('balance-label', several ? 'Balance, all accounts' : 'Balance');
    setText('unlocked-label', several ? 'Unlocked, all accounts' : 'Unlocked');
    setText('balance', coins(toAtomic(accounts.total_balance)));
    setText('unlocked', coins(toAtomic(accounts.total_unlocked_balance)));
}

// No wallet is open, and the page did not close it: the wallet service did
// (restarted, or told to by someone else), and the page says so.
function closedOutside(s) {
    if (!s.open) return;
    showMessage('wallet-message', `${s.title} was closed by the wallet service; open it again.`, 'warn');
    if ($('open-message').classList.contains('ok')) showMessage('open-message', '');
    if (s.name) $('open-name').value = s.name;
    forgetSpendable();
    beginSession(null);
}

// A wallet other than the one shown is open: opened outside this page, or
// before it was loaded. It may be spent from only if this tab opened it
// with its password (before a reload).
function openedOutside(s, address) {
    if (s.open) {
        showMessage('wallet-message', `${s.title} was closed and another wallet was opened outside this page.`, 'warn');
        forgetSpendable();
    }
    const name = spendableName(address);
    return beginSession({ name, address, spendable: name !== '' });
}

// Figures and history go with the wallet they belong to; a new guard for
// the same wallet keeps them.
function sessionChanged(next, previous) {
    if (next.address === previous.address) {
        transfers.resume();
    } else {
        for (const id of ['balance', 'unlocked', 'wallet-height']) setText(id, '—');
        setText('balance-note', '');
        totals = null;
        transfers.clear(next.open ? 'Loading transfers…' : 'No wallet open.');
        walletRead.force = true;
        forgetFigures('wallet');
    }
    transfers.setWallet(next.name);
    $('receive-card').hidden = !next.open;
    setWalletOpen(next.open);
    $('wallet-info').hidden = !next.open;
    $('wallet-none').hidden = next.open;
    $('close-button').hidden = !next.open;
    setText('wallet-title', next.name ? `Open wallet: ${next.name}` : 'Open wallet');
    setText('wallet-name', next.open && !next.spendable ? 'Opened outside this page: read-only until its password is entered here' : '');
    setText('wallet-address', next.address ?? '');
}

async function copyAddress() {
    const done = await copyText($('wallet-address').textContent);
    setText('copy-message', done ? 'Address copied.' : 'Copy failed: select the address and copy it by hand.');
    setTimeout(() => setText('copy-message', ''), 3000);
}

// history: the transfers card; poll: runs the wallet poll now; chain():
// the daemon's height, or null.
export function startWalletCard({ history, poll, chain }) {
    transfers = history;
    pollNow = poll;
    chainHeight = chain;
    // The older transfers may hold locked funds the newest did not.
    transfers.onComplete = showLocked;
    onSessionChange(sessionChanged);
    $('copy-button').addEventListener('click', copyAddress);
}
