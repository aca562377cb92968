// The live log card: the follower's polls of /wallet-log shown in the panel.

import { $, setText } from './dom.js';
import { LogFollower } from './log-follow.js';
import { LogPanel } from './log-panel.js';
import { getJson } from './rpc.js';

const follower = new LogFollower();
let panel = null;
let polls = 0;

export async function pollLog() {
    let answer;
    try {
        answer = await getJson(follower.url(), 'Wallet log');
    } finally {
        $('log').dataset.polls = String(++polls);
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
    if (update.reset || update.truncated || update.lines.length > 0) panel.append(update);
}

export function startLogCard() {
    panel = new LogPanel({
        box: $('log'), filter: $('log-filter'), level: $('log-level'), count: $('log-count'), follow: $('log-follow'),
    });
}
