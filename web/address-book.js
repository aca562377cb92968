// The open wallet's address book: a card to add, edit, find and delete
// entries, a picker in Send, and after a send to an address the book does
// not hold, one click to keep it. Entries are numbered by position and move
// down after a delete, so the book is read again after every change, and an
// entry is checked to be still the one shown before it is changed.

import { $, el, setText, showMessage, showWords, syncChildren } from './dom.js';
import { build, isBuilt, onBuilt } from './lazy.js';
import { RpcError } from './rpc.js';
import { onRelayed } from './send-confirm.js';
import { isStale, onSessionChange, session } from './session.js';
import { inWords } from './words.js';

const BAD_ADDRESS = -2;
const NO_ENTRY = -12;
// At most this many "Save to address book" offers after one send.
const OFFERS = 5;

let entries = [];
// The first read of the book for the session shown, once asked for.
let loading = null;
// {index, address, description} of the entry in the form, or null to add.
let editing = null;
// The index whose delete waits for a second click.
let deleting = null;

const named = (e) => e.description || 'Entry without a description';

// Entries whose description or address holds `text`, in any letter case.
export function searchBook(list, text) {
    const wanted = text.trim().toLowerCase();
    if (!wanted) return list;
    return list.filter((e) => e.description.toLowerCase().includes(wanted) || e.address.toLowerCase().includes(wanted));
}

export const bookHas = (address) => entries.some((e) => e.address === address);

// The book is read the first time it or the picker in Send is in view.
function ensureLoaded(s = session()) {
    if (!(s.open && s.spendable)) return Promise.resolve();
    loading ??= load(s);
    return loading;
}

async function load(s = session()) {
    try {
        const answer = await s.call('get_address_book', {});
        entries = (answer.entries ?? []).map((e) => ({ index: Number(e.index), address: String(e.address), description: String(e.description ?? '') }));
        render();
    } catch (e) {
        // Read again when next in view.
        loading = null;
        if (!isStale(e) && isBuilt('book-body')) showWords('book-message', inWords(e));
    }
}

function entryRow(e) {
    if (deleting === e.index) {
        const yes = el('button', { type: 'button', class: 'small-button danger' }, 'Delete');
        const no = el('button', { type: 'button', class: 'small-button' }, 'Keep');
        yes.addEventListener('click', () => remove(e));
        no.addEventListener('click', () => {
            deleting = null;
            render();
        });
        return el('li', { class: 'book-entry' }, el('span', { class: 'book-desc' }, `Delete ${named(e)}?`),
            el('code', { class: 'address' }, e.address), el('div', { class: 'row' }, yes, no));
    }
    const edit = el('button', { type: 'button', class: 'small-button', 'aria-label': `Edit ${named(e)}` }, 'Edit');
    const del = el('button', { type: 'button', class: 'small-button', 'aria-label': `Delete ${named(e)}` }, 'Delete');
    edit.addEventListener('click', () => startEdit(e));
    del.addEventListener('click', () => {
        deleting = e.index;
        render();
        $('book-list').querySelector('.danger')?.focus();
    });
    return el('li', { class: 'book-entry' }, el('span', { class: 'book-desc' }, named(e)),
        el('code', { class: 'address' }, e.address), el('div', { class: 'row' }, edit, del));
}

function render() {
    renderPicker();
    if (!isBuilt('book-body')) return;
    const shown = searchBook(entries, $('book-search').value);
    syncChildren($('book-list'), shown.map((e) => ({
        key: String(e.index),
        sig: `${e.address}\n${e.description}\n${deleting === e.index}`,
        make: () => entryRow(e),
    })));
    setText('book-count', entries.length === 1 ? '1 entry' : `${entries.length} entries`);
    const empty = entries.length === 0 ? 'No addresses saved yet.' : shown.length === 0 ? 'No entry matches the search.' : '';
    setText('book-empty', empty);
    $('book-empty').hidden = empty === '';
}

// ---------------------------------------------------------------- changes

function resetForm() {
    editing = null;
    if (!isBuilt('book-body')) return;
    $('book-description').value = '';
    $('book-address').value = '';
    setText('book-form-title', 'Add an address');
    setText('book-save', 'Add to address book');
    $('book-cancel').hidden = true;
}

function startEdit(e) {
    editing = e;
    deleting = null;
    $('book-description').value = e.description;
    $('book-address').value = e.address;
    setText('book-form-title', `Edit ${named(e)}`);
    setText('book-save', 'Save changes');
    $('book-cancel').hidden = false;
    showMessage('book-message', '');
    $('book-description').focus();
}

// Whether the entry at e.index is still e; when not, the book is read again.
async function stillThere(s, e) {
    try {
        const [now] = (await s.call('get_address_book', { entries: [e.index] })).entries ?? [];
        if (now && String(now.address) === e.address && String(now.description ?? '') === e.description) return true;
    } catch (err) {
        if (!(err instanceof RpcError && err.code === NO_ENTRY)) throw err;
    }
    await load(s);
    showMessage('book-message', 'The address book changed meanwhile: check the entry and try again.', 'error');
    return false;
}

function refused(e, what) {
    if (isStale(e)) return;
    if (e instanceof RpcError && e.code === BAD_ADDRESS) {
        showMessage('book-message', 'This is not a valid address of this network.', 'error');
        $('book-address').focus();
        return;
    }
    const words = inWords(e);
    showWords('book-message', { ...words, sentence: `${what} ${words.sentence}` });
}

async function save(event) {
    event.preventDefault();
    const s = session();
    const address = $('book-address').value.trim();
    const description = $('book-description').value.trim();
    if (!address) {
        showMessage('book-message', 'Enter the address to keep.', 'error');
        $('book-address').focus();
        return;
    }
    $('book-save').disabled = true;
    try {
        if (editing) {
            if (!(await stillThere(s, editing))) return;
            await s.call('edit_address_book', { index: editing.index, set_address: true, address, set_description: true, description });
        } else {
            await s.call('add_address_book', { address, description });
        }
        showMessage('book-message', editing ? `Saved ${description || 'the entry'}.` : `Added ${description || 'the address'}.`, 'ok');
        resetForm();
        await load(s);
    } catch (e) {
        refused(e, editing ? 'Could not save the entry.' : 'Could not add the address.');
    } finally {
        $('book-save').disabled = false;
    }
}

async function remove(e) {
    const s = session();
    deleting = null;
    try {
        if (!(await stillThere(s, e))) return;
        await s.call('delete_address_book', { index: e.index });
        if (editing?.index === e.index) resetForm();
        showMessage('book-message', `Deleted ${named(e)}.`, 'ok');
        await load(s);
        $('book-search').focus();
    } catch (err) {
        refused(err, 'Could not delete the entry.');
        render();
    }
}

// ---------------------------------------------------------------- Send

function renderPicker() {
    const select = $('send-book');
    const options = [el('option', { value: '' }, 'Choose a saved address\u2026'),
        ...entries.map((e) => el('option', { value: String(e.index) }, `${named(e)} (${e.address.slice(0, 6)}\u2026${e.address.slice(-6)})`))];
    select.replaceChildren(...options);
    $('send-book-field').hidden = entries.length === 0 || !session().spendable;
}

// The chosen address goes into the first empty recipient (else the first),
// as if typed, so Send checks it as it does a typed one.
function pick() {
    const chosen = entries.find((e) => String(e.index) === $('send-book').value);
    $('send-book').value = '';
    if (!chosen) return;
    const fields = [...document.querySelectorAll('#recipients textarea')];
    const field = fields.find((f) => f.value.trim() === '') ?? fields[0];
    field.value = chosen.address;
    field.dispatchEvent(new Event('input', { bubbles: true }));
    field.focus();
}

// After a send: each address the book does not hold gets a way to keep it.
async function offer({ session: s, destinations }) {
    $('book-offers').replaceChildren();
    if (s !== session()) return;
    await ensureLoaded(s);
    if (s !== session()) return;
    const fresh = [...new Set(destinations.map((d) => d.address))].filter((a) => !bookHas(a)).slice(0, OFFERS);
    for (const [i, address] of fresh.entries()) {
        const id = `book-offer-${i}`;
        const input = el('input', { id, maxlength: '200', spellcheck: 'false', placeholder: 'Description' });
        const button = el('button', { type: 'button', class: 'small-button' }, 'Save to address book');
        const status = el('span', { class: 'small', role: 'status' });
        const label = fresh.length === 1 ? 'Keep this address' : `Keep ${address.slice(0, 6)}\u2026${address.slice(-6)}`;
        button.addEventListener('click', async () => {
            button.disabled = true;
            try {
                await s.call('add_address_book', { address, description: input.value.trim() });
                input.disabled = true;
                status.textContent = 'Saved to the address book.';
                await load(s);
            } catch (e) {
                button.disabled = false;
                if (!isStale(e)) status.textContent = inWords(e).sentence;
            }
        });
        $('book-offers').append(el('div', { class: 'book-offer' }, el('label', { for: id }, label), input, button, status));
    }
}

// ---------------------------------------------------------------- the card

function sessionChanged(next, previous) {
    $('book-card').hidden = !(next.open && next.spendable);
    if (next.address === previous.address && next.spendable === previous.spendable) return;
    entries = [];
    loading = null;
    deleting = null;
    $('book-offers').replaceChildren();
    resetForm();
    if (isBuilt('book-body')) showMessage('book-message', '');
    render();
    // Seen again from the start: the observer reports what is in view now.
    for (const id of ['book-card', 'send-form']) {
        watcher.unobserve($(id));
        watcher.observe($(id));
    }
}

const watcher = new IntersectionObserver((seen) => {
    if (!seen.some((e) => e.isIntersecting)) return;
    if (seen.some((e) => e.isIntersecting && e.target.id === 'book-card')) build('book-body');
    ensureLoaded();
});

export function startAddressBook() {
    onBuilt('book-body', () => {
        $('book-form').addEventListener('submit', save);
        $('book-cancel').addEventListener('click', () => {
            resetForm();
            showMessage('book-message', '');
        });
        $('book-search').addEventListener('input', render);
        render();
    });
    $('send-book').addEventListener('change', pick);
    // The offer belongs to the send just made: the next one drops it.
    $('send-form').addEventListener('input', () => $('book-offers').replaceChildren());
    onRelayed(offer);
    onSessionChange(sessionChanged);
    render();
}
