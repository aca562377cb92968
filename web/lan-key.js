// What lets a browser on the network use the wallet routes: the device
// token this browser got by pairing (pairing.js), kept in localStorage so
// that the device stays paired across tabs and restarts, or a fixed key of
// --lan-key from a bookmark's #key=KEY, kept for the tab in sessionStorage.
// Either goes as X-KRV-Key on the wallet routes only.

const KEY_STORE = 'krv-webui.lan-key';
const TOKEN_STORE = 'krv-webui.device-token';

// Kept here too, for a browser that refuses storage: they then last until
// the page is reloaded.
let key = null;
let token = null;

function read(storage, name) {
    try {
        return storage().getItem(name) ?? '';
    } catch {
        return '';
    }
}

function write(storage, name, value) {
    try {
        if (value) storage().setItem(name, value);
        else storage().removeItem(name);
    } catch {
        // Kept in memory only.
    }
}

const session = () => sessionStorage;
const local = () => localStorage;

// The key of this tab, else the device's token; '' when there is neither.
export function lanKey() {
    key ??= read(session, KEY_STORE);
    token ??= read(local, TOKEN_STORE);
    return key || token;
}

// A fixed key from the address: it serves this tab before any token.
export function storeKey(value) {
    key = value;
    write(session, KEY_STORE, value);
}

// A new device token: it replaces the token and any key this tab had.
export function storeToken(value) {
    token = value;
    key = '';
    write(local, TOKEN_STORE, value);
    write(session, KEY_STORE, '');
}

// The server no longer accepts what this browser sends: drop it, so that a
// reload does not send it again.
export function forgetKey() {
    storeToken('');
}

// The wallet routes: everything the server relays to the wallet service or
// the daemon, and the wallet's files and log. Static files and /health are
// open to all and never carry the key.
export function isWalletRoute(url) {
    return /^(?:json_rpc|daemon_rpc|wallets|wallet-log)(?:$|[?#])|^rpc\//.test(url);
}
