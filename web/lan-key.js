// The key that lets a browser on the network use the wallet routes. The
// server's banner prints the LAN address as http://HOST:PORT/#key=KEY; a
// fragment never travels in a request line or a referrer, so the page moves
// the key into this tab's sessionStorage and out of the address bar, where
// it would be bookmarked, shared or shown on screen.

const STORE = 'krv-webui.lan-key';
// The key as the server prints it; a little more is taken, the server decides.
const KEY_IN_FRAGMENT = /(?:^#|&)key=([0-9A-Za-z._~-]{1,256})(?:&|$)/;

// Takes a key from the address bar's fragment, if one is there; true when it did.
export function takeKeyFromAddress() {
    const hash = window.location.hash;
    if (!/(?:^#|&)key=/.test(hash)) return false;
    const m = KEY_IN_FRAGMENT.exec(hash);
    if (m) store(m[1]);
    const { pathname, search } = window.location;
    window.history.replaceState(window.history.state, '', pathname + search);
    return m !== null;
}

// Kept here too, for a browser that refuses storage: the key then lasts
// until the page is reloaded.
let current = null;

export function lanKey() {
    if (current === null) {
        try {
            current = sessionStorage.getItem(STORE) ?? '';
        } catch {
            current = '';
        }
    }
    return current;
}

export function forgetKey() {
    current = '';
    try {
        sessionStorage.removeItem(STORE);
    } catch {
        // Nothing was kept.
    }
}

function store(key) {
    current = key;
    try {
        sessionStorage.setItem(STORE, key);
    } catch {
        // Kept in memory only.
    }
}

// The wallet routes: everything the server relays to the wallet service or
// the daemon, and the wallet's files and log. Static files and /health are
// open to all and never carry the key.
export function isWalletRoute(url) {
    return /^(?:json_rpc|daemon_rpc|wallets|wallet-log)(?:$|[?#])|^rpc\//.test(url);
}
