// Pairing this browser with the server. The server's banner, or the Devices
// card on the server's own computer, gives an address that ends in
// #pair=CODE. The page takes the code out of the address bar before anything
// else, trades it at once for a device token of its own (POST /pair) and
// keeps the token (lan-key.js). A code works once and for ten minutes, so the
// address left in the browser's history opens nothing. A fixed key of
// --lan-key in a bookmark (#key=KEY) is taken for the tab as before.

import { $, setText } from './dom.js';
import { storeKey, storeToken } from './lan-key.js';

const CODE_IN_FRAGMENT = /(?:^#|&)pair=([0-9A-Fa-f]{32})(?:&|$)/;
// The key as the server takes it; a little more is taken, the server decides.
const KEY_IN_FRAGMENT = /(?:^#|&)key=([0-9A-Za-z._~-]{1,256})(?:&|$)/;

// "Chrome on Android": what the Devices card calls this device when no
// name was typed for it.
export function browserName(ua = navigator.userAgent) {
    const browser = [[/Edg\//, 'Edge'], [/Firefox\//, 'Firefox'], [/OPR\//, 'Opera'], [/Chrome\//, 'Chrome'],
        [/Safari\//, 'Safari']].find(([re]) => re.test(ua))?.[1] ?? 'Browser';
    const system = [[/Android/, 'Android'], [/iPhone/, 'iPhone'], [/iPad/, 'iPad'], [/Windows/, 'Windows'],
        [/Mac OS X/, 'Mac'], [/CrOS/, 'ChromeOS'], [/Linux/, 'Linux']].find(([re]) => re.test(ua))?.[1];
    return system ? `${browser} on ${system}` : browser;
}

// The notice at the top of the page: what became of the pairing address.
function tell(text, kind) {
    const notice = $('pairing');
    $('pairing-close').onclick = () => { notice.hidden = true; };
    notice.dataset.kind = kind;
    setText('pairing-text', text);
    notice.hidden = false;
}

async function pair(code) {
    tell('Pairing this device\u2026', 'busy');
    let status = 0;
    let answer = null;
    try {
        const response = await fetch('pair', {
            method: 'POST',
            cache: 'no-store',
            headers: { 'X-Requested-With': 'krv-webui' },
            body: new URLSearchParams({ code, name: browserName() }),
        });
        status = response.status;
        answer = await response.json();
    } catch {
        // No answer, or not JSON: said below.
    }
    if (status === 200 && typeof answer?.token === 'string') {
        storeToken(answer.token);
        tell(`This device is now paired as \u201c${answer.name}\u201d. It stays paired until the server stops or the device is forgotten on the server\u2019s computer.`, 'ok');
        return true;
    }
    tell(typeof answer?.error === 'string' ? answer.error
        : 'The server did not answer, so this device is not paired yet: open the pairing address again once the server runs.', 'error');
    return false;
}

// Takes a pairing code or a key from the address bar, if one is there;
// resolves to true when this browser now holds a new token or key.
export async function takeKeyFromAddress() {
    const hash = window.location.hash;
    const asksPairing = /(?:^#|&)pair=/.test(hash);
    if (!asksPairing && !/(?:^#|&)key=/.test(hash)) return false;
    // Out of the address bar before anything else.
    const { pathname, search } = window.location;
    window.history.replaceState(window.history.state, '', pathname + search);
    const key = KEY_IN_FRAGMENT.exec(hash);
    if (key) storeKey(key[1]);
    if (!asksPairing) return key !== null;
    const code = CODE_IN_FRAGMENT.exec(hash);
    return (await pair(code ? code[1] : '')) || key !== null;
}
