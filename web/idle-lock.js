// The idle lock: a wallet this tab opened with its password is closed after
// a time without input from the person (5, 15 or 60 minutes, or never; 15
// unless chosen otherwise, kept in localStorage). In its last minute a
// countdown shows; any input puts the lock off again. Times follow the
// page's clock and its pace, so tests can run them fast.

import { PACE } from './connection.js';
import { $, setText } from './dom.js';
import { onSessionChange, session } from './session.js';

const SETTING = 'krv-webui.idle-lock-minutes';
const CHOICES = ['5', '15', '60', '0'];
const DEFAULT_MINUTES = 15;
const WARN_MS = 60000;
// A lock that had to wait (a relay under way, the wallet service away) is
// tried again this soon.
const RETRY_MS = 5000;
const INPUT = ['pointerdown', 'pointermove', 'keydown', 'wheel', 'touchstart'];

let lastInput = Date.now();
let timer = null;
let counting = false;
// The wallet is being closed: nothing to schedule until it is done.
let locking = false;
let lock = async () => {};
let busy = () => false;

function idleMinutes() {
    let saved = null;
    try {
        saved = localStorage.getItem(SETTING);
    } catch {
        // The default, then.
    }
    return CHOICES.includes(saved) ? Number(saved) : DEFAULT_MINUTES;
}

const armed = () => session().spendable && idleMinutes() > 0;

// Sets the next look at the clock: the countdown's start, or its next second.
function schedule() {
    clearTimeout(timer);
    timer = null;
    if (locking) return;
    if (!armed()) return hideCountdown();
    const left = lastInput + idleMinutes() * 60000 * PACE - Date.now();
    if (left <= 0) return expire();
    if (left > WARN_MS * PACE) {
        hideCountdown();
        timer = setTimeout(schedule, left - WARN_MS * PACE);
        return;
    }
    showCountdown(left);
    timer = setTimeout(schedule, Math.min(left, 1000 * PACE));
}

// Closes the wallet; while it sends, or when the close fails (the wallet
// service is away), it tries again a little later.
async function expire() {
    hideCountdown();
    if (busy()) {
        timer = setTimeout(schedule, RETRY_MS * PACE);
        return;
    }
    locking = true;
    const closed = await lock(`${session().title} was locked after ${idleMinutes()} minutes without use; open it again with its password to continue.`);
    locking = false;
    if (!closed) timer = setTimeout(schedule, RETRY_MS * PACE);
}

function showCountdown(left) {
    const seconds = Math.max(1, Math.ceil(left / (1000 * PACE)));
    const name = session().title;
    setText('lock-countdown-text', `${name} locks in ${seconds} s without use. Press a key or move the mouse to keep it open.`);
    if (!counting) setText('lock-countdown-said', `${name} locks in one minute without use. Press a key to keep it open.`);
    counting = true;
    const box = $('lock-countdown');
    box.hidden = false;
    // Above whatever is open, a modal dialog included: shown again each
    // second, so a dialog opened meanwhile does not cover it.
    if (box.matches(':popover-open')) box.hidePopover();
    box.showPopover();
}

function hideCountdown() {
    counting = false;
    const box = $('lock-countdown');
    if (box.matches(':popover-open')) box.hidePopover();
    box.hidden = true;
    setText('lock-countdown-said', '');
}

function onInput() {
    lastInput = Date.now();
    // Only the countdown needs an answer at once; a pending timer finds
    // the later time itself.
    if (counting) schedule();
}

function describe() {
    const s = session();
    const minutes = idleMinutes();
    let text = '';
    if (s.open && !s.spendable) text = 'Only a wallet opened in this page with its password is locked.';
    else if (s.open && minutes > 0) text = `${s.title} is closed after ${minutes} minutes without use; sending then needs the password again.`;
    else if (s.open) text = `${s.title} stays open until you close it.`;
    setText('idle-lock-hint', text);
}

// close(line): closes the wallet, saying why in that line, and resolves to
// whether it did; isBusy(): a relay is under way, and the lock waits for it.
export function startIdleLock({ close, isBusy }) {
    lock = close;
    busy = isBusy;
    const select = $('idle-lock');
    select.value = String(idleMinutes());
    select.addEventListener('change', () => {
        // Choosing is using: the time counts from now.
        lastInput = Date.now();
        try {
            localStorage.setItem(SETTING, select.value);
        } catch {
            // Kept for this page only.
        }
        describe();
        schedule();
    });
    for (const type of INPUT) window.addEventListener(type, onInput, { capture: true, passive: true });
    onSessionChange((next, previous) => {
        // A wallet just opened counts as used just now.
        if (next.spendable && !previous.spendable) lastInput = Date.now();
        describe();
        schedule();
    });
    describe();
}
