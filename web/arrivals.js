// Incoming money, announced: a count in the tab's title, a short notice in
// the wallet card and, once the person allowed it with the button, a system
// notification. The count clears when the transfers card is seen.

import { $, setText } from './dom.js';
import { coins } from './format.js';
import { onSessionChange } from './session.js';

const NOTIFY = 'krv-webui.notify';
const TITLE = document.title;
// While notifications are on, a hidden tab still looks for money this often.
export const HIDDEN_POLL_MS = 60000;

let unseen = 0;
let inView = false;

// Notifications are on: allowed by the browser and asked for here.
export function notifying() {
    try {
        return 'Notification' in window && Notification.permission === 'granted' && localStorage.getItem(NOTIFY) === '1';
    } catch {
        return false;
    }
}

// records: new incoming transfers; where(r): the address it reached, in words.
export function announce(records, walletName, where) {
    if (records.length === 0) return;
    const total = records.reduce((sum, r) => sum + r.amount, 0n);
    const waiting = records.every((r) => r.kind === 'pool') ? ', waiting in the pool' : '';
    const text = records.length === 1
        ? `Received ${coins(total)} at ${where(records[0])}${waiting}.`
        : `Received ${records.length} transfers, ${coins(total)} in all${waiting}.`;
    setText('arrival-text', text);
    $('arrival').hidden = false;
    unseen += records.length;
    if (notifying()) new Notification(`${walletName || 'Your wallet'}: ${text}`, { tag: 'krv-webui-arrival' });
    // Seen already when the transfers are on the screen as it comes.
    if (inView && document.visibilityState === 'visible') seen();
    else showCount();
}

function showCount() {
    document.title = unseen > 0 ? `(${unseen}) ${TITLE}` : TITLE;
}

function seen() {
    unseen = 0;
    showCount();
}

function dismiss() {
    seen();
    $('arrival').hidden = true;
    setText('arrival-text', '');
}

async function askToNotify() {
    if (notifying()) {
        localStorage.setItem(NOTIFY, '0');
    } else {
        const answer = await Notification.requestPermission();
        if (answer === 'granted') localStorage.setItem(NOTIFY, '1');
    }
    describeNotify();
}

function describeNotify() {
    const button = $('notify-button');
    if (!('Notification' in window)) {
        button.hidden = true;
        setText('notify-state', 'This browser offers no notifications here (they need https or this computer\u2019s own address).');
        return;
    }
    const on = notifying();
    button.textContent = on ? 'Stop notifications' : 'Notify me of incoming money';
    let state = on ? 'Incoming money is announced by the system, also while this tab is hidden.' : '';
    if (Notification.permission === 'denied') state = 'The browser blocks notifications for this page; allow them in its site settings.';
    setText('notify-state', state);
}

export function startArrivals() {
    $('notify-button').addEventListener('click', askToNotify);
    $('arrival-show').addEventListener('click', () => {
        $('transfers-card').scrollIntoView({ block: 'start' });
        $('transfers-title').focus({ preventScroll: true });
        dismiss();
    });
    // The top of the transfers card on screen, in a visible tab, is seen.
    new IntersectionObserver(([entry]) => {
        inView = entry.isIntersecting;
        if (inView && document.visibilityState === 'visible' && unseen > 0) seen();
    }).observe($('transfers-title'));
    document.addEventListener('visibilitychange', () => {
        if (inView && document.visibilityState === 'visible' && unseen > 0) seen();
    });
    onSessionChange((next, previous) => {
        if (next.address !== previous.address) dismiss();
    });
    describeNotify();
}
