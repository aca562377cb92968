// The receive card: the wallet's accounts with their balances, the
// addresses of the chosen account with their labels, a QR code of the
// address being shown, and new subaddresses with a label.

import { $, copyButton, copyText, el, setText } from './dom.js';
import { coins } from './format.js';
import { qrSvg } from './qr.js';
import { RpcError, wallet } from './rpc.js';

const EAGER_ACCOUNTS = 8;

const short = (text) => (text.length > 20 ? `${text.slice(0, 10)}…${text.slice(-8)}` : text);

function addressName(major, minor, label) {
    const name = minor === 0 ? `Account ${major}` : `Address ${major}/${minor}`;
    return label ? `${name} (${label})` : name;
}

export class ReceiveView {
    constructor({ onError }) {
        this.onError = onError;
        this.clear();
        $('receive-copy').addEventListener('click', () => this.copyShown());
        $('new-address-form').addEventListener('submit', (event) => this.createAddress(event));
    }

    clear() {
        this.accounts = [];
        this.addresses = new Map();
        this.account = 0;
        this.shown = null;
        this.drawn = '';
        this.generation = (this.generation ?? 0) + 1;
        $('account-list').replaceChildren();
        $('address-list').replaceChildren();
        $('qr').replaceChildren();
        setText('receive-address', '');
        setText('receive-shown', '');
        setText('receive-message', '');
        $('new-address-label').value = '';
    }

    // Labels by account and address, for the transfer details.
    labels() {
        return this.accounts.map((a) => (this.addresses.get(a.account_index) ?? [{ label: a.label }]).map((x) => x.label));
    }

    // Takes a get_accounts answer; fetches the addresses the first time.
    async setAccounts(result) {
        const accounts = Array.isArray(result?.subaddress_accounts) ? result.subaddress_accounts : [];
        const first = this.accounts.length === 0;
        this.accounts = accounts.map((a) => ({
            account_index: Number(a.account_index), label: String(a.label ?? ''), base_address: String(a.base_address ?? ''),
            balance: a.balance ?? 0, unlocked_balance: a.unlocked_balance ?? 0,
        }));
        this.renderAccounts();
        if (first && this.accounts.length > 0) {
            const generation = this.generation;
            // The labels of the first accounts name where money arrived in the
            // transfer details; the addresses of others come when chosen.
            await Promise.all(this.accounts.slice(0, EAGER_ACCOUNTS).map((a) => this.loadAddresses(a.account_index, generation)));
            if (generation !== this.generation) return;
            const primary = this.addresses.get(0)?.[0];
            if (primary && !this.shown) await this.show(0, primary);
        }
    }

    // Refreshes the "used" marks after money arrived.
    async refreshAddresses() {
        if (this.accounts.length > 0) await this.loadAddresses(this.account, this.generation);
    }

    async loadAddresses(major, generation) {
        const answer = await wallet('get_address', { account_index: major });
        if (generation !== this.generation) return;
        const list = Array.isArray(answer?.addresses) ? answer.addresses : [];
        this.addresses.set(major, list.map((a) => ({
            address: String(a.address ?? ''), label: String(a.label ?? ''), minor: Number(a.address_index ?? 0), used: a.used === true,
        })));
        if (major === this.account) this.renderAddresses();
    }

    renderAccounts() {
        const items = this.accounts.map((a) => {
            const button = el('button', {
                type: 'button', class: 'pick', 'aria-pressed': String(a.account_index === this.account),
            }, el('span', { class: 'pick-name' }, addressName(a.account_index, 0, a.label)),
            el('span', { class: 'pick-detail num' }, `${coins(a.balance)}, ${coins(a.unlocked_balance)} unlocked`));
            button.addEventListener('click', () => this.chooseAccount(a.account_index));
            return el('li', {}, button);
        });
        $('account-list').replaceChildren(...items);
        $('accounts-block').hidden = this.accounts.length < 2;
    }

    async chooseAccount(major) {
        this.account = major;
        this.renderAccounts();
        if (!this.addresses.has(major)) await this.loadAddresses(major, this.generation);
        this.renderAddresses();
        const base = this.addresses.get(major)?.[0];
        if (base) await this.show(major, base);
    }

    renderAddresses() {
        const list = this.addresses.get(this.account) ?? [];
        setText('addresses-title', `Addresses of account ${this.account}`);
        const status = $('receive-status');
        $('address-list').replaceChildren(...list.map((a) => {
            const name = addressName(this.account, a.minor, a.label);
            const qr = el('button', { type: 'button', class: 'small-button', 'aria-label': `Show the QR code of ${name}` }, 'QR');
            qr.addEventListener('click', () => this.show(this.account, a, true));
            return el('li', { class: this.shown?.address === a.address ? 'current' : '' },
                el('span', { class: 'pick-name' }, name, a.used ? el('span', { class: 'tag' }, 'used') : null),
                el('code', { class: 'short-address' }, short(a.address)),
                el('span', { class: 'row' }, qr, copyButton(`Copy ${name}`, () => a.address, status)));
        }));
    }

    // Shows one address with its QR code; focus follows when asked.
    async show(major, a, focus = false) {
        this.shown = { ...a, major };
        setText('receive-shown', addressName(major, a.minor, a.label));
        setText('receive-address', a.address);
        this.renderAddresses();
        if (focus) $('receive-shown').focus();
        if (this.drawn === a.address) return;
        this.drawn = a.address;
        const svg = await qrSvg(a.address, `QR code of ${addressName(major, a.minor, a.label)}`);
        if (this.shown?.address !== a.address) return;
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
        const input = $('new-address-label');
        const button = $('new-address-button');
        const label = input.value.trim();
        button.disabled = true;
        setText('receive-message', 'Creating an address…');
        try {
            const created = await wallet('create_address', { account_index: this.account, label });
            input.value = '';
            setText('receive-message', '');
            await this.loadAddresses(this.account, this.generation);
            const fresh = (this.addresses.get(this.account) ?? []).find((a) => a.minor === Number(created.address_index)) ??
                { address: String(created.address), label, minor: Number(created.address_index), used: false };
            await this.show(this.account, fresh, true);
        } catch (e) {
            const text = e instanceof RpcError ? `${e.message} (code ${e.code})` : e.message;
            setText('receive-message', `Could not create an address: ${text}`);
            this.onError(e);
            input.focus();
        } finally {
            button.disabled = false;
        }
    }
}
