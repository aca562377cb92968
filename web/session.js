// The open wallet as this page knows it, and the one guard against stale
// answers. Each wallet the page shows gets a session of its own; every
// request made for it passes the session's signal, and when the page moves
// to another wallet (or to none, or is about to change it) the session is
// aborted: whatever it still waits for is dropped, so nothing of one wallet
// can land in the cards of the next. A card takes the session when it starts
// something, passes its signal (or uses call()), and is told of each change.

import { wallet } from './rpc.js';

// Which wallet this tab opened with its password: {name, address}. The tab's
// own storage, so another tab, browser or profile never finds it.
const SPEND_KEY = 'krv-webui.open-wallet';

class Session {
    // wallet: {name, address, spendable} or null for no wallet. name is ''
    // for a wallet opened outside this page.
    constructor(wallet) {
        this.name = wallet?.name ?? '';
        this.address = wallet?.address ?? null;
        this.spendable = wallet?.spendable === true;
        this.controller = new AbortController();
        this.signal = this.controller.signal;
    }

    get open() {
        return this.address !== null;
    }

    get ended() {
        return this.signal.aborted;
    }

    // "alice", or what to call a wallet whose name the page does not know.
    get title() {
        return this.name || 'The wallet';
    }

    // A wallet call for this session: rejects with an AbortError once the
    // session has ended, even when the answer came before.
    async call(method, params) {
        const result = await wallet(method, params, this.signal);
        this.signal.throwIfAborted();
        return result;
    }

    same(other) {
        return other.address === this.address && other.name === this.name && other.spendable === this.spendable;
    }
}

// What a call of an ended session rejects with: nothing to show.
export const isStale = (e) => e?.name === 'AbortError';

let current = new Session(null);
const listeners = [];

export function session() {
    return current;
}

// fn(next, previous) after every change; previous.same(next) when only the
// guard was renewed.
export function onSessionChange(fn) {
    listeners.push(fn);
}

// Shows `wallet` ({name, address, spendable} or null) from now on.
export function beginSession(wallet) {
    const previous = current;
    current = new Session(wallet);
    previous.controller.abort();
    for (const fn of listeners) fn(current, previous);
    return current;
}

// The same wallet with a fresh guard: what is in flight is dropped, since
// the page is about to open or close a wallet and any answer may be of either.
export function renewSession() {
    return beginSession(current.open ? { name: current.name, address: current.address, spendable: current.spendable } : null);
}

// ---------------------------------------------------------------- spending

// This tab opened `name` with its password and may spend from it.
export function rememberSpendable(name, address) {
    try {
        sessionStorage.setItem(SPEND_KEY, JSON.stringify({ name, address }));
    } catch {
        // Without storage the page asks again after a reload.
    }
}

export function forgetSpendable() {
    try {
        sessionStorage.removeItem(SPEND_KEY);
    } catch {
        // Nothing was kept.
    }
}

// The name under which this tab opened the wallet at `address` with its
// password, or '' when it did not.
export function spendableName(address) {
    try {
        const saved = JSON.parse(sessionStorage.getItem(SPEND_KEY) ?? 'null');
        return saved && saved.address === address && typeof saved.name === 'string' ? saved.name : '';
    } catch {
        return '';
    }
}
