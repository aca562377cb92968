// The receive card: the wallet's accounts with their balances, the
// addresses of the chosen account with their labels, a QR code of the
// address being shown, new accounts and subaddresses with a label, and
// labels changed in place. Lists are updated in place, keyed by index, so a
// poll never takes the focus from a button or a label being edited.

import { $, copyButton, copyText, el, setText, showMessage, showWords, syncChildren } from './dom.js';
import { coins } from './format.js';
import { qrSvg } from './qr.js';
import { isStale, onSessionChange, session } from './session.js';
import { inWords } from './words.js';

const EAGER_ACCOUNTS = 8;

const short = (text) => (text.length > 20 ? `${text.slice(0, 10)}…${text.slice(-8)}` : text);

export function addressName(major, minor, label) {
    const name = minor === 0 ? `Account ${major}` : `Address ${major}/${minor}`;
    return label ? `${name} (${label})` : name;
}

export class ReceiveView {
    // onChange(): the wallet's accounts or labels changed, read it again;
    // onChoose(major): the account shown changed.
    constructor({ onChange, onChoose }) {
        this.onChange = onChange;
        this.onChoose = onChoose;
        this.clear();
        $('receive-copy').addEventListener('click', () => this.copyShown());
        $('new-address-form').addEventListener('submit', (event) => this.createAddress(event));
        $('new-account-form').addEventListener('submit', (event) => this.createAccount(event));
        onSessionChange((next, previous) => {
            if (next.address !== previous.address) this.clear();
            else this.settle();
        });
    }

    clear() {
        this.accounts = [];
        this.addresses = new Map();
        this.account = 0;
        this.shown = null;
        this.drawn = '';
        // The label being edited: 'a:MAJOR' or 'MAJOR/MINOR', with its field's text.
        this.editing = null;
        $('account-list').replaceChildren();
        $('address-list').replaceChildren();
        $('qr').replaceChildren();
        for (const id of ['receive-address', 'receive-shown', 'receive-message']) setText(id, '');
        $('new-address-label').value = '';
        $('new-account-label').value = '';
        this.settle();
    }

    // Nothing of an ended session is awaited any more.
    settle() {
        $('new-address-button').disabled = false;
        $('new-account-button').disabled = false;
    }

    // Labels by account and address, for the transfer details.
    labels() {
        return this.accounts.map((a) => (this.addresses.get(a.account_index) ?? [{ label: a.label }]).map((x) => x.label));
    }

    // What an address of this wallet is called ("Address 0/2 (Shop)"), or
    // '' when it is none of those the page knows.
    nameOf(address) {
        for (const a of this.accounts) if (a.base_address === address) return addressName(a.account_index, 0, a.label);
        for (const [major, list] of this.addresses) {
            const found = list.find((x) => x.address === address);
            if (found) return addressName(major, found.minor, found.label);
        }
        return '';
    }

    // Takes a get_accounts answer; fetches the addresses the first time.
    async setAccounts(result, s) {
        const accounts = Array.isArray(result?.subaddress_accounts) ? result.subaddress_accounts : [];
        const first = this.accounts.length === 0;
        this.accounts = accounts.map((a) => ({
            account_index: Number(a.account_index), label: String(a.label ?? ''), base_address: String(a.base_address ?? ''),
            balance: a.balance ?? 0, unlocked_balance: a.unlocked_balance ?? 0,
        }));
        this.renderAccounts();
        if (!first || this.accounts.length === 0) return;
        // The labels of the first accounts name where money arrived in the
        // transfer details; the addresses of others come when chosen.
        await Promise.all(this.accounts.slice(0, EAGER_ACCOUNTS).map((a) => this.loadAddresses(s, a.account_index)));
        const primary = this.addresses.get(0)?.[0];
        if (primary && !this.shown) await this.show(s, 0, primary);
    }

    // Refreshes the "used" marks after money arrived.
    async refreshAddresses(s) {
        if (this.accounts.length > 0) await this.loadAddresses(s, this.account);
    }

    async loadAddresses(s, major) {
        const answer = await s.call('get_address', { account_index: major });
        const list = Array.isArray(answer?.addresses) ? answer.addresses : [];
        this.addresses.set(major, list.map((a) => ({
            address: String(a.address ?? ''), label: String(a.label ?? ''), minor: Number(a.address_index ?? 0), used: a.used === true,
        })));
        if (major === this.account) this.renderAddresses();
    }

    renderAccounts() {
        syncChildren($('account-list'), this.accounts.map((a) => {
            const key = `a:${a.account_index}`;
            const chosen = a.account_index === this.account;
            if (this.editing?.key === key) return { key, sig: 'editing', make: () => this.labelEditor(key, a.account_index, 0) };
            return {
                key,
                sig: [chosen, a.label, coins(a.balance), coins(a.unlocked_balance)].join('|'),
                make: () => {
                    const name = addressName(a.account_index, 0, a.label);
                    const pick = el('button', { type: 'button', class: 'pick', 'aria-pressed': String(chosen) },
                        el('span', { class: 'pick-name' }, name),
                        el('span', { class: 'pick-detail num' }, `${coins(a.balance)}, ${coins(a.unlocked_balance)} unlocked`));
                    pick.addEventListener('click', () => this.chooseAccount(a.account_index));
                    return el('li', { class: 'account' }, pick, this.renameButton(key, name, a.label));
                },
            };
        }));
    }

    renameButton(key, name, label) {
        const button = el('button', { type: 'button', class: 'small-button', 'aria-label': `Rename ${name}` }, 'Rename');
        button.addEventListener('click', () => {
            this.editing = { key, text: label };
            this.redraw(key);
        });
        return button;
    }

    // Draws the list that holds key, with the focus on its label field
    // while it is edited and on its Rename button after.
    redraw(key) {
        const list = key.startsWith('a:') ? 'account-list' : 'address-list';
        if (list === 'account-list') this.renderAccounts();
        else this.renderAddresses();
        const row = $(list).querySelector(`[data-key="${key}"]`);
        (this.editing ? row?.querySelector('input') : row?.querySelector('button[aria-label^="Rename"]'))?.focus();
    }

    // A label's field in place of its line: Enter or Save keeps it, Escape
    // or Cancel goes back.
    labelEditor(key, major, minor) {
        const what = key.startsWith('a:') ? `account ${major}` : `address ${major}/${minor}`;
        const input = el('input', { maxlength: '100', 'aria-label': `Label of ${what}` });
        input.value = this.editing.text;
        input.addEventListener('input', () => { this.editing.text = input.value; });
        const save = el('button', { type: 'submit', class: 'small-button' }, 'Save');
        const cancel = el('button', { type: 'button', class: 'small-button' }, 'Cancel');
        const form = el('form', { class: 'label-edit' }, input, save, cancel);
        form.addEventListener('submit', (event) => {
            event.preventDefault();
            this.saveLabel(major, minor, key, input.value.trim());
        });
        const back = () => {
            this.editing = null;
            this.redraw(key);
        };
        cancel.addEventListener('click', back);
        input.addEventListener('keydown', (e) => {
            if (e.key === 'Escape') {
                e.preventDefault();
                back();
            }
        });
        return el('li', { class: 'editing' }, form);
    }

    async saveLabel(major, minor, key, label) {
        const s = session();
        const account = key.startsWith('a:');
        try {
            if (account) await s.call('label_account', { account_index: major, label });
            else await s.call('label_address', { index: { major, minor }, label });
        } catch (e) {
            if (isStale(e)) return;
            showWords('receive-message', { ...inWords(e), sentence: `Could not change the label. ${inWords(e).sentence}` });
            return;
        }
        // In place: the lists show the new label before the wallet is read again.
        if (account) {
            const a = this.accounts.find((x) => x.account_index === major);
            if (a) a.label = label;
        }
        const entry = this.addresses.get(major)?.find((x) => x.minor === minor);
        if (entry) entry.label = label;
        if (this.shown?.major === major && this.shown.minor === minor) setText('receive-shown', addressName(major, minor, label));
        this.editing = null;
        setText('receive-message', '');
        // An account's label is its address 0's too: both lists show it.
        this.renderAccounts();
        this.renderAddresses();
        this.redraw(key);
        this.onChange();
    }

    async chooseAccount(major) {
        const s = session();
        this.account = major;
        this.renderAccounts();
        this.onChoose(major);
        try {
            if (!this.addresses.has(major)) await this.loadAddresses(s, major);
            this.renderAddresses();
            const base = this.addresses.get(major)?.[0];
            if (base) await this.show(s, major, base);
        } catch (e) {
            if (!isStale(e)) showWords('receive-message', inWords(e));
        }
    }

    renderAddresses() {
        const major = this.account;
        const list = this.addresses.get(major) ?? [];
        setText('addresses-title', `Addresses of account ${major}`);
        const status = $('receive-status');
        syncChildren($('address-list'), list.map((a) => {
            const key = `${major}/${a.minor}`;
            if (this.editing?.key === key) return { key, sig: 'editing', make: () => this.labelEditor(key, major, a.minor) };
            const current = this.shown?.address === a.address;
            return {
                key,
                sig: [a.label, a.used, current].join('|'),
                make: () => {
                    const name = addressName(major, a.minor, a.label);
                    const qr = el('button', { type: 'button', class: 'small-button', 'aria-label': `Show the QR code of ${name}` }, 'QR');
                    qr.addEventListener('click', () => this.show(session(), major, a, true));
                    return el('li', { class: current ? 'current' : '' },
                        el('span', { class: 'pick-name' }, name, a.used ? el('span', { class: 'tag' }, 'used') : null),
                        el('code', { class: 'short-address' }, short(a.address)),
                        el('span', { class: 'row' }, qr, copyButton(`Copy ${name}`, () => a.address, status),
                            // Address 0 carries the account's label, renamed with the account.
                            a.minor > 0 ? this.renameButton(key, name, a.label) : null));
                },
            };
        }));
    }

    // Shows one address with its QR code; focus follows when asked.
    async show(s, major, a, focus = false) {
        this.shown = { ...a, major };
        setText('receive-shown', addressName(major, a.minor, a.label));
        setText('receive-address', a.address);
        this.renderAddresses();
        if (focus) $('receive-shown').focus();
        if (this.drawn === a.address) return;
        this.drawn = a.address;
        const svg = await qrSvg(a.address, `QR code of ${addressName(major, a.minor, a.label)}`);
        if (s.ended || this.shown?.address !== a.address) return;
        $('qr').replaceChildren(svg ?? el('p', { class: 'muted small' }, 'No QR code: the encoder (web/vendor/qr.js) is not installed. Copy the address instead.'));
    }

    async copyShown() {
        $('receive-copy').disabled = true;
        try {
            const ok = await copyText($('receive-address').textContent);
            setText('receive-status', ok ? 'Address copied.' : 'Copy failed: select the address and copy it by hand.');
            setTimeout(() => setText('receive-status', ''), 3000);
        } finally {
            $('receive-copy').disabled = false;
        }
    }

    async createAddress(event) {
        event.preventDefault();
        const s = session();
        const major = this.account;
        const input = $('new-address-label');
        const label = input.value.trim();
        $('new-address-button').disabled = true;
        showMessage('receive-message', 'Creating an address…');
        try {
            const created = await s.call('create_address', { account_index: major, label });
            input.value = '';
            setText('receive-message', '');
            await this.loadAddresses(s, major);
            const minor = Number(created.address_index);
            const fresh = (this.addresses.get(major) ?? []).find((a) => a.minor === minor) ??
                { address: String(created.address), label, minor, used: false };
            await this.show(s, major, fresh, true);
            // The list scrolls to it; the page itself stays where it is.
            $('address-list').querySelector(`[data-key="${major}/${minor}"]`)?.scrollIntoView({ block: 'nearest' });
        } catch (e) {
            if (isStale(e)) return;
            showWords('receive-message', { ...inWords(e), sentence: `Could not create an address. ${inWords(e).sentence}` });
            input.focus();
        }
        $('new-address-button').disabled = false;
    }

    async createAccount(event) {
        event.preventDefault();
        const s = session();
        const input = $('new-account-label');
        const label = input.value.trim();
        $('new-account-button').disabled = true;
        showMessage('receive-message', 'Creating an account…');
        try {
            const created = await s.call('create_account', { label });
            input.value = '';
            setText('receive-message', '');
            const major = Number(created.account_index);
            this.accounts.push({ account_index: major, label, base_address: String(created.address), balance: 0, unlocked_balance: 0 });
            await this.chooseAccount(major);
            this.onChange();
            $('account-list').querySelector(`[data-key="a:${major}"] .pick`)?.focus();
        } catch (e) {
            if (isStale(e)) return;
            showWords('receive-message', { ...inWords(e), sentence: `Could not create an account. ${inWords(e).sentence}` });
            input.focus();
        }
        $('new-account-button').disabled = false;
    }
}
