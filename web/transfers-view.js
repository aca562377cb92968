// The transfers card: one page of the history at a time with filter chips,
// a search box and a date range, paging, a details dialog per transfer and
// the CSV export of what the filter shows. The newest blocks come first;
// older ones follow in the background, with a line saying how far back the
// history is loaded.

import { $, copyButton, el, setText, syncChildren } from './dom.js';
import { coins, formatCoins, formatWhen, fullTime, grouped } from './format.js';
import { isStale } from './session.js';
import {
    confirmationsText, csvFileName, filterInSteps, keyOf, lockedSummary, toCsv, TransferHistory, unlockState,
} from './transfers.js';
import { inWords } from './words.js';

const PAGE_SIZE = 50;

const KIND_LABELS = { in: 'Received', out: 'Sent', pending: 'Pending', pool: 'In pool', failed: 'Failed' };
const INCOMING = new Set(['in', 'pool']);

// "10,000 transfers", "1 transfer", "1,234".
function counted(n, word = '') {
    const number = grouped(n);
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
        this.kinds = new Set();
        this.loading = false;
        // Told when the whole history is in.
        this.onComplete = () => {};
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
        this.loading = false;
        this.loadError = '';
        this.filtering?.abort();
        if (this.dialog.open) this.dialog.close();
        this.render(message);
    }

    // The same wallet under a new session: a range under way was dropped
    // with the old one, and the next poll starts it again.
    resume() {
        this.loading = false;
    }

    setWallet(name) {
        this.walletName = name;
    }

    // Labels of accounts and addresses, for the details: [[account label, ...], ...].
    setLabels(labels) {
        this.labels = labels;
    }

    // Params of the next poll's get_transfers; the first needs the wallet's height.
    request(walletHeight) {
        return this.history.request(walletHeight);
    }

    get needsHeight() {
        return !this.history.loaded;
    }

    // Takes the answer to request(); redraws what changed. Returns the
    // incoming transfers that are new since the last poll.
    accept(params, result, walletHeight) {
        const heightMoved = walletHeight !== this.walletHeight;
        this.walletHeight = walletHeight;
        const { changed, arrived } = this.history.accept(params, result, walletHeight);
        if (changed) this.applyFilter();
        else if (heightMoved) this.render();
        // Times move every minute.
        else this.renderRows();
        return { changed, arrived };
    }

    // Fetches the older ranges one after another, each a short task, until
    // the history is complete or the session ends. A failure pauses it until
    // the next poll calls again.
    async loadOlder(session) {
        if (this.loading || this.history.complete || !this.history.loaded) return;
        this.loading = true;
        this.loadError = '';
        try {
            for (let params = this.history.olderRequest(); params; params = this.history.olderRequest()) {
                const result = await session.call('get_transfers', params);
                if (this.history.accept(params, result, this.walletHeight).changed) this.applyFilter();
                else this.render();
                // Input and drawing get their turn between two ranges.
                await new Promise((resolve) => setTimeout(resolve));
                session.signal.throwIfAborted();
            }
        } catch (e) {
            if (isStale(e)) return;
            this.loadError = inWords(e).sentence;
        }
        this.loading = false;
        this.render();
        if (this.history.complete) this.onComplete();
    }

    lockedSummary(balance, unlocked) {
        return lockedSummary(this.history.sorted, balance, unlocked, this.walletHeight, coins, this.history.complete);
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
        this.applyFilter({ toFirstPage: true });
    }

    // Works out what the filter lets through, then draws it. A search of a
    // long history goes a slice at a time, and a newer one replaces it.
    async applyFilter({ toFirstPage = false } = {}) {
        this.filtering?.abort();
        const run = new AbortController();
        this.filtering = run;
        try {
            this.filtered = await filterInSteps(this.history.sorted, this.filter(), run.signal);
        } catch (e) {
            if (isStale(e)) return;
            throw e;
        }
        if (run.signal.aborted) return;
        if (toFirstPage) this.page = 0;
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
        const history = this.history;
        const total = history.sorted.length;
        const shown = this.filtered.length;
        this.page = Math.min(this.page, this.pages() - 1);
        this.renderRows();
        const from = shown === 0 ? 0 : this.page * PAGE_SIZE + 1;
        const to = Math.min(shown, (this.page + 1) * PAGE_SIZE);
        const filtered = shown !== total;
        const all = history.complete ? counted(total, 'transfer') : `${counted(total, 'transfer')} so far`;
        let count = '';
        if (total > 0) count = filtered ? `${counted(shown)} of ${all} match` : all;
        setText('transfers-count', count);
        setText('transfers-loading', this.loadingText());
        const empty = $('transfers-empty');
        empty.hidden = shown > 0;
        if (emptyText) setText(empty, emptyText);
        else if (!history.loaded) setText(empty, 'Loading transfers…');
        else if (total === 0 && !history.complete) setText(empty, 'No transfers in the newest blocks; looking further back…');
        else setText(empty, total === 0 ? 'No transfers yet.' : 'No transfer matches this filter.');
        $('transfers-pager').hidden = shown <= PAGE_SIZE;
        setText('page-range', `${counted(from)}–${counted(to)} of ${counted(shown)}`);
        setText('page-of', `, page ${this.page + 1} of ${this.pages()}`);
        $('page-first').disabled = $('page-prev').disabled = this.page === 0;
        $('page-next').disabled = $('page-last').disabled = this.page >= this.pages() - 1;
        // A part of the history would not add up: the export waits for all of it.
        $('transfer-export').disabled = shown === 0 || !history.complete;
        this.body.dataset.renderedAt = String(performance.now());
    }

    // How much of the history is in, while it is not all in.
    loadingText() {
        const h = this.history;
        if (!h.loaded || h.complete) return '';
        const top = Math.max(h.maxHeight, this.walletHeight);
        const share = top > 0 ? Math.floor((100 * (top - h.floor)) / top) : 0;
        const where = `History loaded back to block ${counted(h.floor)} of ${counted(top)} (${share} %)`;
        if (this.loadError) return `${where}. Loading paused: ${this.loadError}`;
        return `${where}; older transfers are on their way. Export CSV waits for the whole history.`;
    }

    // Brings the rows in line with the page, row by row: a row that shows
    // the same stays, with its focus (times move every minute).
    renderRows() {
        const rows = this.filtered.slice(this.page * PAGE_SIZE, (this.page + 1) * PAGE_SIZE);
        const now = Date.now();
        syncChildren(this.body, rows.map((r) => this.rowView(r, now)));
    }

    rowView(r, now) {
        const when = formatWhen(r.timestamp, now);
        const failed = r.kind === 'failed';
        // A failed send moved nothing: its amount is shown struck, unsigned.
        const amount = failed ? formatCoins(r.amount) : formatCoins(INCOMING.has(r.kind) ? r.amount : -r.amount, { sign: true });
        const confirmations = failed ? '—' : confirmationsText(r, this.walletHeight);
        const lock = unlockState(r, this.walletHeight);
        const lockText = lock?.locked && r.kind === 'in' ? lock.text : '';
        const height = r.height > 0 ? String(r.height) : failed ? 'failed' : 'pending';
        const label = `${amount} KRV, ${KIND_LABELS[r.kind]}${failed ? ', nothing was spent' : ''}, ${when.text}: details`;
        const key = keyOf(r);
        const make = () => el('tr', { class: `kind-${r.kind}`, dataset: { txid: r.txid } },
            el('td', { 'data-label': 'Type' }, el('span', { class: `pill ${r.kind}` }, KIND_LABELS[r.kind])),
            el('td', { class: 'right num amount', 'data-label': 'Amount' },
                el('button', { type: 'button', class: 'row-open', 'aria-label': label }, amount)),
            el('td', { class: 'right num confirmations', 'data-label': 'Confirmations' }, confirmations,
                lockText ? el('span', { class: 'lock-note' }, el('span', { class: 'lock-long' }, lockText),
                    el('span', { class: 'lock-short' }, 'locked')) : null),
            el('td', { class: 'right num height', 'data-label': 'Height' }, height),
            el('td', { class: 'num time', 'data-label': 'Time', title: when.title }, when.text),
            el('td', { class: 'counterpart', 'data-label': 'Address' }, r.address ? el('code', {}, short(r.address)) : '—'),
            el('td', { class: 'txid-cell', 'data-label': 'Transaction id' }, el('code', { class: 'txid' }, short(r.txid, 10, 4))));
        return { key, sig: [r.kind, amount, confirmations, lockText, height, when.text].join('|'), make };
    }

    // ---------------------------------------------------------------- details

    openDetails(key) {
        const r = this.history.find(key);
        if (!r) return;
        this.detailsKey = key;
        const status = $('details-status');
        status.textContent = '';
        const incoming = INCOMING.has(r.kind);
        const failed = r.kind === 'failed';
        setText('details-title', `${KIND_LABELS[r.kind]} ${failed ? coins(r.amount) : coins(incoming ? r.amount : -r.amount, { sign: true })}`);
        let fee = incoming ? 'paid by the sender' : coins(r.fee);
        if (failed) fee = 'none: nothing was spent';
        const facts = [
            ['Amount', coins(r.amount), 'num'],
            ['Fee', fee, 'num'],
            ['Type', KIND_LABELS[r.kind]],
            ['Height', r.height > 0 ? String(r.height) : failed ? 'never in a block' : 'not in a block yet', 'num'],
            ['Time', r.timestamp > 0 ? fullTime(r.timestamp) : '—'],
            ['Confirmations', failed ? 'none' : confirmationsText(r, this.walletHeight), 'num'],
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
        this.dialog.dispatchEvent(new CustomEvent('transfer-shown', { detail: r }));
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
        const url = URL.createObjectURL(new Blob([toCsv(records, this.walletHeight)], { type: 'text/csv;charset=utf-8' }));
        const link = el('a', { href: url, download: name, class: 'offscreen' });
        document.body.append(link);
        link.click();
        link.remove();
        setTimeout(() => URL.revokeObjectURL(url), 10000);
        setText('transfers-status', `Saved ${counted(records.length, 'transfer')} to ${name}.`);
    }
}
