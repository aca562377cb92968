// The connection card's daemon side: its height, target and peers, a
// progress bar while it syncs, the height read through /rpc/, and the one
// line that stands for the card on a phone.

import { markFresh } from './connection.js';
import { $, setText } from './dom.js';
import { daemon, getJson, RpcError } from './rpc.js';
import { inWords } from './words.js';

let chainHeight = null;
const moveListeners = [];

// The daemon's height as last read, or null.
export const daemonHeight = () => chainHeight;

// fn() when the daemon's height changes: a new block moves confirmations and locks.
export function onChainMoved(fn) {
    moveListeners.push(fn);
}

export async function pollDaemon() {
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
    const height = Number(info.height ?? 0);
    if (chainHeight !== null && height !== chainHeight) for (const fn of moveListeners) fn();
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

export async function pollPathHeight() {
    const answer = await getJson('rpc/get_height', 'Daemon via /rpc/');
    setText('path-height', Number.isInteger(answer?.height) ? String(answer.height) : '—');
}

export function startDaemonCard() {
    $('conn-toggle').addEventListener('click', toggleConnection);
    // The daemon's line follows whatever writes its figures, a poll or an outage.
    const statusWatch = new MutationObserver(renderStatusLine);
    for (const id of ['conn-daemon', 'daemon-height']) statusWatch.observe($(id), { childList: true, characterData: true, subtree: true });
}
