// The transfers card: one page of the history at a time with filter chips,
// a search box and a date range, paging, a details dialog per transfer and
// the CSV export of what the filter shows.

import { $, copyButton, el, setText } from './dom.js';
import { coins, formatCoins, formatWhen, fullTime } from './format.js';
import {
    confirmationsText, csvFileName, filterRecords, lockedSummary, toCsv, TransferHistory, unlockState,
} from './transfers.js';

const PAGE_SIZE = 50;

const KIND_LABELS = { in: 'Received', out: 'Sent', pending: 'Pending', pool: 'In pool', failed: 'Failed' };
const INCOMING = new Set(['in', 'pool']);

// "10,000 transfers", "1 transfer", "1,234".
function counted(n, word = '') {
    const number = n.toLocaleString('en');
    return word ? `${number} ${n === 1 ? word : `${word}s`}` : number;
}

const short = (text, head = 8, tail = 6) => (text.length > head + tail + 1 ? `${text.slice(0, head)}…${text.slice(-tail)}` : text);

// Local midnight of a date input's value, in Unix seconds; null when empty.
function dayStart(value, plusDays = 0) {
    const m = /^(\d{4})-(\d{2})-(\d{2})$/.exec(value);
    if (!m) return null;
    return new Date(Number(m[1]), Number(m[2]) - 1, Number(m[3]) + plusDays).getTime() / 1000;
}

export class TransfersView {
    constructor() {
        this.history = new TransferHistory();
        this.walletHeight = 0;
        this.walletName = '';
        this.labels = [];
        this.page = 0;
        this.filtered = [];
        this.shownKey = '';
        this.kinds = new Set();
        this.body = $('transfers-body');
        this.dialog = $('transfer-details');

        for (const chip of document.querySelectorAll('#transfer-chips .chip')) {
            chip.addEventListener('click', () => {
                const kind = chip.dataset.kind;
                if (this.kinds.has(kind)) this.kinds.delete(kind);
                else this.kinds.add(kind);
                chip.setAttribute('aria-pressed', String(this.kinds.has(kind)));
                this.refilter();
            });
        }
        $('transfer-search').addEventListener('input', () => this.refilter());
        $('transfer-from').addEventListener('change', () => this.refilter());
        $('transfer-to').addEventListener('change', () => this.refilter());
        $('transfer-clear').addEventListener('click', () => this.clearFilter());
        $('transfer-export').addEventListener('click', () => this.exportCsv());
        $('page-first').addEventListener('click', () => this.goTo(0));
        $('page-prev').addEventListener('click', () => this.goTo(this.page - 1));
        $('page-next').addEventListener('click', () => this.goTo(this.page + 1));
        $('page-last').addEventListener('click', () => this.goTo(Infinity));
        // One listener for every row: a click anywhere on it opens it.
        this.body.addEventListener('click', (event) => {
            const row = event.target.closest('tr[data-key]');
            if (row) this.openDetails(row.dataset.key);
        });
        $('details-close').addEventListener('click', () => this.dialog.close());
        this.dialog.addEventListener('close', () => this.afterDetails());
        // A click on the backdrop (outside the box) closes it too.
        this.dialog.addEventListener('click', (event) => {
            if (event.target === this.dialog) this.dialog.close();
        });
    }

    // The wallet is gone or another one took its place.
    clear(message = 'No wallet open.') {
        this.history.clear();
        this.filtered = [];
        this.page = 0;
        this.walletHeight = 0;
        if (this.dialog.open) this.dialog.close();
        this.render(message);
    }

    setWallet(name) {
        this.walletName = name;
    }

    // Labels of accounts and addresses, for the details: [[account label, ...], ...].
    setLabels(labels) {
        this.labels = labels;
    }

    request() {
        return this.history.request();
    }

    // Takes the answer to request(); redraws what changed.
    accept(params, result, walletHeight) {
        const heightMoved = walletHeight !== this.walletHeight;
        this.walletHeight = walletHeight;
        const changed = this.history.accept(params, result, walletHeight);
        if (changed) this.filtered = filterRecords(this.history.sorted, this.filter());
        if (changed || heightMoved) this.render();
        else this.renderRows();
        return changed;
    }

    lockedSummary(balance, unlocked) {
        return lockedSummary(this.history.sorted, balance, unlocked, this.walletHeight, coins);
    }

    filter() {
        return {
            kinds: this.kinds,
            text: $('transfer-search').value.trim(),
            from: dayStart($('transfer-from').value),
            to: dayStart($('transfer-to').value, 1),
        };
    }

    refilter() {
        setText('transfers-status', '');
        this.filtered = filterRecords(this.history.sorted, this.filter());
        this.page = 0;
        this.render();
    }

    clearFilter() {
        this.kinds.clear();
        for (const chip of document.querySelectorAll('#transfer-chips .chip')) chip.setAttribute('aria-pressed', 'false');
        $('transfer-search').value = '';
        $('transfer-from').value = '';
        $('transfer-to').value = '';
        this.refilter();
        $('transfer-search').focus();
    }

    pages() {
        return Math.max(1, Math.ceil(this.filtered.length / PAGE_SIZE));
    }

    goTo(page) {
        this.page = Math.max(0, Math.min(this.pages() - 1, page));
        this.render();
        // The button pressed may now be disabled; keep the focus in the pager.
        if (document.activeElement?.disabled) $('page-info').focus();
    }

    render(emptyText) {
        const total = this.history.sorted.length;
        const shown = this.filtered.length;
        this.page = Math.min(this.page, this.pages() - 1);
        this.renderRows();
        const from = shown === 0 ? 0 : this.page * PAGE_SIZE + 1;
        const to = Math.min(shown, (this.page + 1) * PAGE_SIZE);
        const filtered = shown !== total;
        let count = '';
        if (total > 0) count = filtered ? `${counted(shown)} of ${counted(total, 'transfer')} match` : counted(total, 'transfer');
        setText('transfers-count', count);
        const empty = $('transfers-empty');
        empty.hidden = shown > 0;
        if (emptyText) setText(empty, emptyText);
        else if (!this.history.loaded) setText(empty, 'Loading transfers…');
        else setText(empty, total === 0 ? 'No transfers yet.' : 'No transfer matches this filter.');
        $('transfers-pager').hidden = shown <= PAGE_SIZE;
        setText('page-info', `${counted(from)}–${counted(to)} of ${counted(shown)}, page ${this.page + 1} of ${this.pages()}`);
        $('page-first').disabled = $('page-prev').disabled = this.page === 0;
        $('page-next').disabled = $('page-last').disabled = this.page >= this.pages() - 1;
        $('transfer-export').disabled = shown === 0;
        this.body.dataset.renderedAt = String(performance.now());
    }

    // Rebuilds the rows when what they show changed (times move every minute).
    renderRows() {
        const rows = this.filtered.slice(this.page * PAGE_SIZE, (this.page + 1) * PAGE_SIZE);
        const now = Date.now();
        const views = rows.map((r) => this.rowView(r, now));
        const key = views.map((v) => v.key).join('\n');
        if (key === this.shownKey) return;
        this.shownKey = key;
        const focusedKey = this.body.contains(document.activeElement) ? document.activeElement.closest('tr')?.dataset.key : null;
        this.body.replaceChildren(...views.map((v) => v.row()));
        if (focusedKey) this.body.querySelector(`tr[data-key="${CSS.escape(focusedKey)}"] button`)?.focus();
    }

    rowView(r, now) {
        const when = formatWhen(r.timestamp, now);
        const amount = formatCoins(INCOMING.has(r.kind) ? r.amount : -r.amount, { sign: true });
        const confirmations = confirmationsText(r, this.walletHeight);
        const lock = unlockState(r, this.walletHeight);
        const lockText = lock?.locked && r.kind === 'in' ? lock.text : '';
        const key = [r.key, r.kind, amount, confirmations, lockText, r.height, when.text].join('|');
        const row = () => el('tr', { class: `kind-${r.kind}`, dataset: { key: r.key, txid: r.txid } },
            el('td', { 'data-label': 'Type' }, el('span', { class: `pill ${r.kind}` }, KIND_LABELS[r.kind])),
            el('td', { class: 'right num amount', 'data-label': 'Amount' },
                el('button', { type: 'button', class: 'row-open', 'aria-label': `${amount} KRV, ${KIND_LABELS[r.kind]}, ${when.text}: details` }, amount)),
            el('td', { class: 'right num confirmations', 'data-label': 'Confirmations' }, confirmations,
                lockText ? el('span', { class: 'lock-note' }, el('span', { class: 'lock-long' }, lockText),
                    el('span', { class: 'lock-short' }, 'locked')) : null),
            el('td', { class: 'right num height', 'data-label': 'Height' }, r.height > 0 ? String(r.height) : 'pending'),
            el('td', { class: 'num time', 'data-label': 'Time', title: when.title }, when.text),
            el('td', { class: 'counterpart', 'data-label': 'Address' }, r.address ? el('code', {}, short(r.address)) : '—'),
            el('td', { class: 'txid-cell', 'data-label': 'Transaction id' }, el('code', { class: 'txid' }, short(r.txid, 10, 4))));
        return { key, row };
    }

    // ---------------------------------------------------------------- details

    openDetails(key) {
        const r = this.history.find(key);
        if (!r) return;
        this.detailsKey = key;
        const status = $('details-status');
        status.textContent = '';
        const incoming = INCOMING.has(r.kind);
        setText('details-title', `${KIND_LABELS[r.kind]} ${coins(incoming ? r.amount : -r.amount, { sign: true })}`);
        const facts = [
            ['Amount', coins(r.amount), 'num'],
            ['Fee', r.kind === 'in' || r.kind === 'pool' ? 'paid by the sender' : coins(r.fee), 'num'],
            ['Type', KIND_LABELS[r.kind]],
            ['Height', r.height > 0 ? String(r.height) : 'not in a block yet', 'num'],
            ['Time', r.timestamp > 0 ? fullTime(r.timestamp) : '—'],
            ['Confirmations', confirmationsText(r, this.walletHeight), 'num'],
        ];
        const lock = unlockState(r, this.walletHeight);
        if (lock) facts.push(['Unlock', lock.locked ? lock.text : 'unlocked: it can be spent']);
        if (r.kind === 'failed') facts.push(['Status', 'the wallet could not send it; nothing was spent']);
        if (r.doubleSpendSeen) facts.push(['Warning', 'a double spend of this transaction was seen: do not count on it', 'warn']);
        facts.push(['Payment id', r.paymentId || 'none'], ['Note', r.note || 'none'], ['Received at', this.subaddressName(r)]);
        if (!incoming) facts[facts.length - 1][0] = 'Sent from';
        const dl = $('details-facts');
        dl.replaceChildren(
            ...facts.map(([name, value, kind]) => el('div', {}, el('dt', {}, name), el('dd', { class: kind ?? '' }, value))),
            this.longFact('Transaction id', r.txid, 'Copy transaction id', status),
            this.longFact(incoming ? 'From address' : 'To address', r.address || 'not known', 'Copy address', status, !r.address));
        if (!this.dialog.open) {
            this.opener = document.activeElement;
            this.dialog.showModal();
        }
        $('details-title').focus();
    }

    longFact(name, value, copyLabel, status, noCopy = false) {
        return el('div', { class: 'long' }, el('dt', {}, name),
            el('dd', {}, el('code', { class: 'address' }, value), noCopy ? null : copyButton(copyLabel, () => value, status)));
    }

    subaddressName(r) {
        const account = this.labels[r.major];
        const accountText = `account ${r.major}${account?.[0] ? ` (${account[0]})` : ''}`;
        const label = account?.[r.minor];
        return r.minor === 0 ? accountText : `${accountText}, address ${r.minor}${label ? ` (${label})` : ''}`;
    }

    afterDetails() {
        // Back to the row it was opened from, if it is still on the page.
        const row = this.body.querySelector(`tr[data-key="${CSS.escape(this.detailsKey ?? '')}"] button`);
        const target = row ?? (this.opener?.isConnected ? this.opener : $('transfers-title'));
        target.focus();
    }

    // ---------------------------------------------------------------- export

    exportCsv() {
        const records = this.filtered;
        const name = csvFileName(this.walletName);
        const url = URL.createObjectURL(new Blob([toCsv(records)], { type: 'text/csv;charset=utf-8' }));
        const link = el('a', { href: url, download: name, class: 'offscreen' });
        document.body.append(link);
        link.click();
        link.remove();
        setTimeout(() => URL.revokeObjectURL(url), 10000);
        setText('transfers-status', `Saved ${counted(records.length, 'transfer')} to ${name}.`);
    }
}
