// The open wallet's tools: a new password, and rescans of the chain. The
// card is there for a wallet this tab opened with its password, the one it
// may also spend from.

import { PACE } from './connection.js';
import { daemonHeight } from './daemon-card.js';
import { $, setText, showMessage, showWords } from './dom.js';
import { build, buildWhenOpened, isBuilt, onBuilt } from './lazy.js';
import { RpcError } from './rpc.js';
import { isStale, onSessionChange, session } from './session.js';
import { refreshWallet } from './wallet-card.js';
import { inWords } from './words.js';

const WRONG_PASSWORD = -42;
// How often a scan's progress is read.
const SCAN_POLL_MS = 1000;

// ---------------------------------------------------------------- password

// A hint, not a rule: the wallet takes any password.
export function passwordStrength(password) {
    if (password === '') return 'No password: anyone who gets the wallet file can open it.';
    const kinds = [/[a-z]/, /[A-Z]/, /[0-9]/, /[^a-zA-Z0-9]/].filter((re) => re.test(password)).length;
    const words = password.trim().split(/\s+/).length;
    if (password.length >= 16 || (words >= 4 && password.length >= 14)) return 'Strong.';
    if (password.length >= 10 && kinds >= 3) return 'Fair: longer would be stronger.';
    return 'Weak: use at least 12 characters, or four unrelated words.';
}

function showStrength() {
    const typed = $('password-new').value;
    setText('password-strength', typed || $('password-again').value ? passwordStrength(typed) : '');
}

async function changePassword(event) {
    event.preventDefault();
    const s = session();
    const oldPassword = $('password-old').value;
    const newPassword = $('password-new').value;
    if (newPassword !== $('password-again').value) {
        showMessage('password-message', 'The new password and its repetition differ; type them again.', 'error');
        $('password-again').focus();
        return;
    }
    $('password-button').disabled = true;
    showMessage('password-message', 'Changing the password\u2026');
    try {
        await s.call('change_wallet_password', { old_password: oldPassword, new_password: newPassword });
        for (const id of ['password-old', 'password-new', 'password-again']) $(id).value = '';
        setText('password-strength', '');
        showMessage('password-message', `The password of ${s.title} is changed: open it with the new one from now on.`, 'ok');
    } catch (e) {
        if (isStale(e)) return;
        if (e instanceof RpcError && e.code === WRONG_PASSWORD) {
            showMessage('password-message', 'The current password is wrong; the password was not changed.', 'error');
            $('password-old').focus();
        } else {
            showWords('password-message', inWords(e));
        }
    } finally {
        $('password-button').disabled = false;
    }
}

// ---------------------------------------------------------------- rescans

let watching = null;

// Shows the wallet's height climbing to the daemon's until it gets there,
// then reads the wallet again. `what` names the scan in its lines.
export async function watchScan(s, what) {
    watching?.abort();
    const stop = new AbortController();
    watching = stop;
    build('rescan-tool');
    $('rescan-progress').hidden = false;
    $('rescan-button').disabled = true;
    try {
        for (;;) {
            // A renewed guard for the same wallet (reopened) goes on watching.
            const now = session();
            if (now.address !== s.address) return;
            const height = Number((await now.call('get_height')).height ?? 0);
            const top = daemonHeight() ?? height;
            if (stop.signal.aborted) return;
            if (height >= top) break;
            $('rescan-bar').max = Math.max(top, 1);
            $('rescan-bar').value = height;
            showMessage('rescan-message', `${what}: block ${height.toLocaleString('en-US')} of ${top.toLocaleString('en-US')}.`);
            await new Promise((resolve) => setTimeout(resolve, SCAN_POLL_MS * PACE));
            if (stop.signal.aborted) return;
        }
        showMessage('rescan-message', `${what} finished; the history was read again.`, 'ok');
        refreshWallet();
    } catch (e) {
        if (isStale(e)) return;
        showWords('rescan-message', inWords(e));
    } finally {
        if (watching === stop) {
            watching = null;
            $('rescan-progress').hidden = true;
            $('rescan-button').disabled = false;
        }
    }
}

function askRescan() {
    $('rescan-confirm').hidden = false;
    showMessage('rescan-message', '');
    $('rescan-go').focus();
}

async function rescan() {
    const s = session();
    $('rescan-confirm').hidden = true;
    try {
        await s.call('rescan_blockchain', { hard: false });
        await watchScan(s, 'Rescan');
    } catch (e) {
        if (!isStale(e)) showWords('rescan-message', inWords(e));
    }
}

async function rescanSpent() {
    const s = session();
    showMessage('rescan-message', 'Checking which outputs are spent\u2026');
    try {
        await s.call('rescan_spent', {});
        showMessage('rescan-message', 'Spent outputs checked again.', 'ok');
        refreshWallet();
    } catch (e) {
        if (!isStale(e)) showWords('rescan-message', inWords(e));
    }
}

// ---------------------------------------------------------------- the card

function sessionChanged(next, previous) {
    $('tools-card').hidden = !(next.open && next.spendable);
    if (next.address === previous.address && next.spendable) return;
    watching?.abort();
    if (isBuilt('password-tool')) {
        for (const id of ['password-old', 'password-new', 'password-again']) $(id).value = '';
        setText('password-strength', '');
        showMessage('password-message', '');
    }
    if (isBuilt('rescan-tool')) {
        showMessage('rescan-message', '');
        $('rescan-confirm').hidden = true;
    }
}

export function startWalletTools() {
    onBuilt('password-tool', () => {
        $('password-form').addEventListener('submit', changePassword);
        $('password-new').addEventListener('input', showStrength);
    });
    onBuilt('rescan-tool', () => {
        $('rescan-button').addEventListener('click', askRescan);
        $('rescan-cancel').addEventListener('click', () => {
            $('rescan-confirm').hidden = true;
            $('rescan-button').focus();
        });
        $('rescan-go').addEventListener('click', rescan);
        $('rescan-spent').addEventListener('click', rescanSpent);
    });
    buildWhenOpened('password-tool');
    buildWhenOpened('rescan-tool');
    onSessionChange(sessionChanged);
}
