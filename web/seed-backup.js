// Backing up the seed of the open wallet. The words are asked for only
// after the password has reopened the wallet, are held in this module alone
// while they are shown, and leave the page (DOM and memory) when the view
// closes, the wallet closes or locks, or another wallet opens. They never go
// to the console, the address bar or storage. Only a browser on the
// dashboard's own computer gets this view: a paired device is one more
// place a seed could be watched or left behind.

import { $, el, setText, showMessage, showWords } from './dom.js';
import { buildWhenOpened, isBuilt, onBuilt, openSection } from './lazy.js';
import { RpcError } from './rpc.js';
import { isStale, onSessionChange, session } from './session.js';
import { openWallet } from './wallets-card.js';
import { inWords } from './words.js';

// Addresses of wallets whose backup was skipped, kept until it is done.
const SKIPPED_KEY = 'krv-webui.seed-backup-skipped';
const CHECKED_WORDS = 3;

// Wallet codes met here (see docs/wallet-rpc.md).
const OPEN_FAILED = -21;
const CANNOT = -7;

// The words while they are shown or checked; null otherwise.
let words = null;
let positions = [];

// Whether this page was loaded from this computer (127.x, localhost, ::1).
export function isLoopbackHost(hostname) {
    const host = hostname.toLowerCase();
    return host === 'localhost' || host.endsWith('.localhost') || host === '[::1]' || host === '::1' || /^127(?:\.\d{1,3}){3}$/.test(host);
}

const local = () => isLoopbackHost(location.hostname);

function skippedList() {
    try {
        const list = JSON.parse(localStorage.getItem(SKIPPED_KEY) ?? '[]');
        return Array.isArray(list) ? list.filter((a) => typeof a === 'string') : [];
    } catch {
        return [];
    }
}

function saveSkipped(list) {
    try {
        if (list.length) localStorage.setItem(SKIPPED_KEY, JSON.stringify(list));
        else localStorage.removeItem(SKIPPED_KEY);
    } catch {
        // Without storage the note is not kept across reloads.
    }
}

function markSkipped(address) {
    const list = skippedList();
    if (!list.includes(address)) saveSkipped([...list, address]);
}

function markDone(address) {
    saveSkipped(skippedList().filter((a) => a !== address));
}

// The wallet's header says so while a skipped backup is not done.
function showBackupNote() {
    const s = session();
    const skipped = s.open && s.spendable && skippedList().includes(s.address);
    $('backup-note').hidden = !skipped;
    setText('backup-note-text', skipped ? 'The seed of this wallet is not backed up yet.' : '');
    $('backup-now').hidden = !local();
}

// Takes the words out of the page and out of memory.
export function forgetSeed() {
    words = null;
    positions = [];
    if (!isBuilt('seed-tool')) return;
    $('seed-words').replaceChildren();
    $('seed-check-fields').replaceChildren();
    $('seed-shown').hidden = true;
    $('seed-check').hidden = true;
    $('seed-skip').hidden = true;
    $('seed-ask').hidden = !local();
}

function showWordList() {
    $('seed-words').replaceChildren(...words.map((word, i) => el('li', { value: String(i + 1) }, el('span', { class: 'seed-word' }, word))));
    $('seed-shown').hidden = false;
    $('seed-ask').hidden = true;
    $('seed-check').hidden = true;
}

// Reopens the wallet with the password as the check, then reads its seed.
async function showSeed(event) {
    event.preventDefault();
    const s = session();
    if (!s.spendable) return;
    const password = $('seed-password').value;
    $('seed-password').value = '';
    showMessage('seed-message', 'Checking the password\u2026');
    const error = await openWallet(s.name, password);
    if (error) {
        if (error instanceof RpcError && error.code === OPEN_FAILED) showMessage('seed-message', 'Wrong password: the seed stays hidden.', 'error');
        else showWords('seed-message', inWords(error));
        $('seed-password').focus();
        return;
    }
    await readSeed(session());
}

async function readSeed(s) {
    try {
        const { key } = await s.call('query_key', { key_type: 'mnemonic' });
        words = String(key).trim().split(/\s+/);
        showMessage('seed-message', '');
        showWordList();
    } catch (e) {
        if (isStale(e)) return;
        if (e instanceof RpcError && e.code === CANNOT) showMessage('seed-message', 'This wallet has no seed to show: it was made from keys, or is view-only.', 'error');
        else showWords('seed-message', inWords(e));
    }
}

// Three distinct positions, in order, picked at random.
function pickPositions() {
    const all = Array.from({ length: words.length }, (_, i) => i);
    const picked = [];
    while (picked.length < Math.min(CHECKED_WORDS, all.length)) {
        const at = crypto.getRandomValues(new Uint32Array(1))[0] % all.length;
        picked.push(all.splice(at, 1)[0]);
    }
    return picked.sort((a, b) => a - b);
}

function askWords() {
    positions = pickPositions();
    $('seed-words').replaceChildren();
    $('seed-shown').hidden = true;
    $('seed-check-fields').replaceChildren(...positions.map((p) => el('div', { class: 'field' },
        el('label', { for: `seed-check-${p + 1}` }, `Word ${p + 1}`),
        el('input', { id: `seed-check-${p + 1}`, spellcheck: 'false', autocapitalize: 'off', autocomplete: 'off' }))));
    $('seed-check').hidden = false;
    showMessage('seed-message', '');
    $(`seed-check-${positions[0] + 1}`).focus();
}

function checkWords(event) {
    event.preventDefault();
    if (!words) return;
    const wrong = positions.filter((p) => $(`seed-check-${p + 1}`).value.trim().toLowerCase() !== words[p]);
    if (wrong.length) {
        const list = wrong.map((p) => p + 1);
        const which = list.length === 1 ? `Word ${list[0]} does` : `Words ${list.slice(0, -1).join(', ')} and ${list.at(-1)} do`;
        showMessage('seed-message', `${which} not match the seed. Check your paper, or show the seed again.`, 'error');
        $(`seed-check-${wrong[0] + 1}`).focus();
        return;
    }
    markDone(session().address);
    forgetSeed();
    $('seed-skip').hidden = true;
    showBackupNote();
    showMessage('seed-message', 'The seed is backed up: all three words match.', 'ok');
}

function skip() {
    markSkipped(session().address);
    forgetSeed();
    $('seed-skip').hidden = true;
    $('seed-tool').open = false;
    showBackupNote();
    showMessage('seed-message', '');
}

// A wallet made by this page a moment ago: its seed is shown at once (its
// password was just typed), with a way to skip.
export async function backUpNewWallet() {
    const s = session();
    if (!s.spendable || !local()) return;
    markSkipped(s.address);
    openSection('seed-tool');
    $('tools-card').scrollIntoView({ block: 'start' });
    await readSeed(s);
    // Skipping is offered for a new wallet only; the header then says so.
    if (words) $('seed-skip').hidden = false;
    showBackupNote();
    $('seed-written').focus({ preventScroll: true });
}

function openSeedTool() {
    openSection('seed-tool');
    $('tools-card').scrollIntoView({ block: 'start' });
    $('seed-password').focus({ preventScroll: true });
}

function wireSeedTool() {
    $('seed-remote').hidden = local();
    $('seed-ask').addEventListener('submit', showSeed);
    $('seed-written').addEventListener('click', askWords);
    $('seed-hide').addEventListener('click', () => {
        forgetSeed();
        showMessage('seed-message', '');
    });
    $('seed-check').addEventListener('submit', checkWords);
    $('seed-check-back').addEventListener('click', () => {
        if (words) showWordList();
    });
    $('seed-skip').addEventListener('click', skip);
    forgetSeed();
}

export function startSeedBackup() {
    onBuilt('seed-tool', wireSeedTool);
    buildWhenOpened('seed-tool');
    $('backup-now').addEventListener('click', openSeedTool);
    $('seed-tool').addEventListener('toggle', () => {
        if (!$('seed-tool').open) forgetSeed();
    });
    // Another wallet, none, or a lock: the words go with the wallet.
    onSessionChange((next, previous) => {
        if (next.address !== previous.address || !next.spendable) {
            forgetSeed();
            if (isBuilt('seed-tool')) {
                $('seed-skip').hidden = true;
                showMessage('seed-message', '');
            }
        }
        showBackupNote();
    });
    showBackupNote();
}
