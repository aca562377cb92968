// The wallet files of the server's wallet folder, and opening and closing a
// wallet. Opening one with its password is what lets this tab spend from
// it. While a wallet is opened or closed, any answer may be of either
// wallet: the session is renewed before and after, so none of them lands.

import { $, el, setText, showMessage, showWords, syncChildren } from './dom.js';
import { getJson, NO_WALLET_OPEN, RpcError, wallet } from './rpc.js';
import { beginSession, forgetSpendable, onSessionChange, rememberSpendable, renewSession, session } from './session.js';
import { PRIMARY, refreshWallet } from './wallet-card.js';
import { inWords } from './words.js';

let walletNames = [];
// Why actions on the wallet are unavailable now ('' when they are not).
let blocked = '';
let busy = false;
const closeListeners = [];

// The names of the wallet files last listed.
export const knownWallets = () => walletNames;

export async function pollWalletList() {
    const answer = await getJson('wallets', 'Wallet list');
    walletNames = Array.isArray(answer?.wallets) ? answer.wallets.map(String) : [];
    renderWalletList();
}

// In place, keyed by name: a redraw keeps the focus on the button it was on.
function renderWalletList() {
    const openName = session().name;
    syncChildren($('wallet-list'), walletNames.map((name) => ({
        key: name,
        sig: String(name === openName),
        make: () => {
            const button = el('button', { type: 'button', class: 'wallet-pick', 'aria-label': `Choose wallet ${name}` }, name);
            button.addEventListener('click', () => {
                $('open-name').value = name;
                $('open-password').focus();
            });
            return el('li', {}, button, name === openName ? el('span', { class: 'tag' }, 'open') : null);
        },
    })));
    const empty = $('wallets-empty');
    empty.hidden = walletNames.length > 0;
    empty.textContent = 'No wallet files found. The server lists them when started with --wallet-dir.';
}

// Opens `name` with its password: this tab may then spend from it. Resolves
// to null, or to the error that stopped it.
export async function openWallet(name, password) {
    renewSession();
    setBusy(true);
    try {
        await wallet('open_wallet', { filename: name, password });
        const address = String((await wallet('get_address', PRIMARY)).address);
        rememberSpendable(name, address);
        beginSession({ name, address, spendable: true });
        refreshWallet({ probed: true });
        // Opened from either card: what they said of the wallet before is past.
        showMessage('wallet-message', '');
        showMessage('open-message', '');
        return null;
    } catch (e) {
        // What was asked meanwhile may be of either wallet.
        renewSession();
        refreshWallet();
        return e;
    } finally {
        setBusy(false);
    }
}

async function openSelected(event) {
    event.preventDefault();
    const name = $('open-name').value.trim();
    if (!name) {
        showMessage('open-message', 'Enter the name of a wallet.', 'error');
        $('open-name').focus();
        return;
    }
    showMessage('open-message', `Opening ${name}…`);
    const password = $('open-password').value;
    // A password is not left in the field, right or wrong.
    $('open-password').value = '';
    const error = await openWallet(name, password);
    if (!error) {
        showMessage('open-message', `Opened ${name}.`, 'ok');
        $('wallet-title').focus();
        return;
    }
    const words = inWords(error);
    showWords('open-message', { ...words, sentence: `Could not open ${name}. ${words.sentence}` });
    $('open-password').focus();
}

// Closes the open wallet; `why` is the line that says so ('' for a plain
// close by the person). Resolves to whether no wallet is open now.
export async function closeWallet(why = '') {
    const name = session().title;
    renewSession();
    setBusy(true);
    try {
        await wallet('close_wallet');
        forgetSpendable();
        for (const fn of closeListeners) fn();
        beginSession(null);
        if (why) {
            showMessage('wallet-message', why, 'warn');
            showMessage('open-message', '');
        } else {
            showMessage('open-message', `${name} was closed.`, 'ok');
            showMessage('wallet-message', '');
            $('open-name').focus();
        }
        return true;
    } catch (e) {
        if (e instanceof RpcError && e.code === NO_WALLET_OPEN) {
            forgetSpendable();
            beginSession(null);
            return true;
        }
        renewSession();
        const words = inWords(e);
        showWords('wallet-message', { ...words, sentence: `Could not close the wallet. ${words.sentence}` });
        return false;
    } finally {
        setBusy(false);
    }
}

// fn() when the person (or the idle lock) closed the wallet on purpose.
export function onDeliberateClose(fn) {
    closeListeners.push(fn);
}

function setBusy(on) {
    busy = on;
    updateWalletActions();
}

// Open and Close are unavailable during an outage, with the reason beside them.
function updateWalletActions() {
    $('open-button').disabled = busy || blocked !== '';
    setText('open-blocked', blocked);
    $('close-button').disabled = busy || blocked !== '';
    setText('close-blocked', session().open ? blocked : '');
}

export function walletsBlocked(reason) {
    blocked = reason;
    updateWalletActions();
}

export function startWalletsCard() {
    $('open-form').addEventListener('submit', openSelected);
    $('close-button').addEventListener('click', () => closeWallet());
    // The "open" tag moves with the wallet at once.
    onSessionChange(() => {
        renderWalletList();
        updateWalletActions();
    });
}
