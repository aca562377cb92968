// Making a wallet in the Wallets card: a new one, one restored from its
// seed, or one made from its address and keys (view-only without the spend
// key). What the wallet would refuse is said before it is asked, in one
// sentence, and what was typed stays until the wallet is made. The new
// wallet opens at once: a new one goes to its seed backup, a restored one
// shows its scan.

import { daemonHeight } from './daemon-card.js';
import { $, showMessage, showWords } from './dom.js';
import { buildWhenOpened, onBuilt, openSection } from './lazy.js';
import { BLOCK_SECONDS } from './format.js';
import { RpcError, wallet } from './rpc.js';
import { backUpNewWallet } from './seed-backup.js';
import { SEED_LENGTH, SEED_WORDS, seedWordIndex, seedWords } from './seed-words.js';
import { renewSession, session } from './session.js';
import { watchScan } from './wallet-tools.js';
import { knownWallets, openWallet, pollWalletList } from './wallets-card.js';
import { inWords } from './words.js';

const BUTTONS = { new: 'Create wallet', seed: 'Restore wallet', keys: 'Make wallet from keys' };
const SECRET_FIELDS = ['create-seed', 'create-offset', 'create-viewkey', 'create-spendkey', 'create-password', 'create-again'];
// Wallet codes these calls refuse with (see docs/wallet-rpc.md).
const SENTENCES = new Map([
    [-2, 'This is not an address of this network.'],
    [-22, 'The wallet service refused this name: a wallet of that name may exist already.'],
    [-23, 'The wallet service could not read this seed: a word is wrong or out of place.'],
    [-24, 'These keys do not belong to this address.'],
]);
const HEX_KEY = /^[0-9a-fA-F]{64}$/;
const encoder = new TextEncoder();

const how = () => document.querySelector('input[name="create-how"]:checked')?.value ?? 'new';

// Why the wallet service would refuse `name`, or ''.
export function nameProblem(name, existing) {
    if (name === '') return 'Enter a name for the new wallet.';
    if (/[/\\]/.test(name)) return 'A wallet name cannot hold / or \\.';
    // eslint-disable-next-line no-control-regex
    if (/[\u0000-\u001f\u007f-\u009f]/.test(name)) return 'A wallet name cannot hold control characters.';
    if (name.startsWith('.')) return 'A wallet name cannot begin with a dot.';
    if (name.endsWith('.keys')) return 'A wallet name cannot end in .keys.';
    if (encoder.encode(name).length > 200) return 'A wallet name can be at most 200 bytes long.';
    if (existing.includes(name)) return `A wallet named ${name} exists already: choose another name.`;
    return '';
}

// The block height of the start of `day` (YYYY-MM-DD, the local day), counted
// back from the daemon's height at the chain's pace; 0 before its first
// block, null when the height is not known. A day to come is today.
export function heightOfDay(day, height, now) {
    if (!Number.isInteger(height)) return null;
    const [y, m, d] = day.split('-').map(Number);
    const start = new Date(y, m - 1, d).getTime();
    const back = Math.ceil(Math.max(0, now - start) / (BLOCK_SECONDS * 1000));
    return Math.max(0, height - back);
}

// What to say of a seed as it is typed: the first word not in the list is
// named; the last word may still be under way, so it need only begin one.
export function seedProblem(text, finished = false) {
    const words = seedWords(text);
    const typing = !finished && !/\s$/.test(text);
    for (const [i, word] of words.entries()) {
        if (seedWordIndex(word) >= 0) continue;
        if (typing && i === words.length - 1 && SEED_WORDS.some((w) => w.startsWith(word))) continue;
        return { error: true, text: `Word ${i + 1}, \u201c${word}\u201d, is not in the word list: check its spelling.` };
    }
    if (finished && words.length !== SEED_LENGTH) {
        return { error: true, text: `The seed has ${words.length} word${words.length === 1 ? '' : 's'}; it needs ${SEED_LENGTH}.` };
    }
    if (words.length === 0) return { error: false, text: '' };
    return { error: false, text: words.length === SEED_LENGTH ? `${SEED_LENGTH} words, all in the word list.` : `${words.length} of ${SEED_LENGTH} words.` };
}

function checkSeed() {
    const { error, text } = seedProblem($('create-seed').value);
    showMessage('create-seed-check', text, error ? 'error' : '');
}

function showFields() {
    const chosen = how();
    for (const field of document.querySelectorAll('#create-form [data-how]')) field.hidden = !field.dataset.how.split(' ').includes(chosen);
    $('create-button').textContent = BUTTONS[chosen];
    showMessage('create-message', '');
}

// The request for the chosen way, or {problem, field} when it would be refused.
function request(name) {
    const password = $('create-password').value;
    const problem = nameProblem(name, knownWallets());
    if (problem) return { problem, field: 'create-name' };
    if (password !== $('create-again').value) return { problem: 'The two passwords differ; type them again.', field: 'create-again' };
    const chosen = how();
    if (chosen === 'new') return { method: 'create_wallet', params: { filename: name, password, language: 'English' } };
    const heightText = $('create-height').value.trim();
    if (heightText !== '' && !/^\d{1,10}$/.test(heightText)) {
        return { problem: 'The restore height must be a whole number of blocks, such as 2100.', field: 'create-height' };
    }
    const day = $('create-date').value;
    let restoreHeight = Number(heightText || '0');
    if (heightText === '' && day !== '') {
        restoreHeight = heightOfDay(day, daemonHeight(), Date.now());
        if (restoreHeight === null) return { problem: 'The daemon\u2019s height is not known yet, so a day cannot be turned into a block: give a block height, or try again in a moment.', field: 'create-date' };
    }
    if (chosen === 'seed') {
        const seed = seedProblem($('create-seed').value, true);
        if (seed.error) return { problem: seed.text, field: 'create-seed' };
        const params = { filename: name, seed: seedWords($('create-seed').value).join(' '), restore_height: restoreHeight, password, language: 'English' };
        if ($('create-offset').value !== '') params.seed_offset = $('create-offset').value;
        return { method: 'restore_deterministic_wallet', params };
    }
    const address = $('create-address').value.trim();
    if (address === '') return { problem: 'Enter the address of the wallet.', field: 'create-address' };
    const viewkey = $('create-viewkey').value.trim();
    if (!HEX_KEY.test(viewkey)) return { problem: 'The view key must be 64 hex digits (0\u20139 and a\u2013f).', field: 'create-viewkey' };
    const spendkey = $('create-spendkey').value.trim();
    if (spendkey !== '' && !HEX_KEY.test(spendkey)) return { problem: 'The spend key must be 64 hex digits (0\u20139 and a\u2013f), or left empty.', field: 'create-spendkey' };
    const params = { filename: name, address, viewkey: viewkey.toLowerCase(), password, restore_height: restoreHeight };
    if (spendkey !== '') params.spendkey = spendkey.toLowerCase();
    return { method: 'generate_from_keys', params };
}

async function create(event) {
    event.preventDefault();
    const name = $('create-name').value.trim();
    const chosen = how();
    const asked = request(name);
    if (asked.problem) {
        showMessage('create-message', asked.problem, 'error');
        $(asked.field).focus();
        return;
    }
    $('create-button').disabled = true;
    showMessage('create-message', `Making ${name}\u2026`);
    try {
        // The service opens the new wallet in place of the open one: what is
        // in flight may be of either.
        renewSession();
        await wallet(asked.method, asked.params);
    } catch (e) {
        renewSession();
        $('create-button').disabled = false;
        const words = inWords(e);
        const sentence = (e instanceof RpcError && SENTENCES.get(e.code)) || words.sentence;
        showWords('create-message', { sentence: `Could not make ${name}. ${sentence}`, details: words.details });
        return;
    }
    const password = asked.params.password;
    for (const id of SECRET_FIELDS) $(id).value = '';
    showMessage('create-seed-check', '');
    pollWalletList().catch(() => {});
    const error = await openWallet(name, password);
    $('create-button').disabled = false;
    if (error) {
        showWords('create-message', { ...inWords(error), sentence: `${name} was made, but could not be opened: open it from the list.` });
        return;
    }
    $('create-name').value = '';
    $('create-address').value = '';
    $('create-height').value = '';
    $('create-date').value = '';
    const done = { new: `Created ${name}. Write down its seed now.`, seed: `Restored ${name}.`, keys: `Made ${name} from its keys.` };
    showMessage('create-message', done[chosen], 'ok');
    if (chosen === 'new') {
        await backUpNewWallet();
    } else {
        openSection('rescan-tool');
        await watchScan(session(), `Scanning the chain for ${name}`);
    }
}

export function startWalletCreate() {
    onBuilt('create-tool', () => {
        for (const radio of document.querySelectorAll('input[name="create-how"]')) radio.addEventListener('change', showFields);
        $('create-seed').addEventListener('input', checkSeed);
        $('create-form').addEventListener('submit', create);
        showFields();
    });
    buildWhenOpened('create-tool');
}
