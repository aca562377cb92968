// The order of the cards. On a narrow screen with a wallet open, what a
// person came for comes first: the balance, Receive and Send, then the
// transfers; the wallet list and the log follow. The cards are moved in
// the document, not only drawn elsewhere, so that reading and tab order
// follow what is seen.

const WIDE = ['conn-card', 'wallets-card', 'wallet-card', 'send-card', 'receive-card', 'transfers-card', 'book-card', 'tools-card', 'log-card', 'devices-card'];
const NARROW_OPEN = ['conn-card', 'wallet-card', 'receive-card', 'send-card', 'transfers-card', 'book-card', 'tools-card', 'wallets-card', 'log-card', 'devices-card'];

const narrow = window.matchMedia('(max-width: 640px)');
let walletOpen = false;

function arrange() {
    const order = narrow.matches && walletOpen ? NARROW_OPEN : WIDE;
    const main = document.getElementById('main');
    const cards = order.map((id) => document.getElementById(id)).filter(Boolean);
    const current = [...main.children].filter((c) => cards.includes(c));
    if (current.every((c, i) => c === cards[i])) return;
    const focused = document.activeElement;
    main.append(...cards);
    if (focused && focused !== document.activeElement && focused.isConnected) focused.focus({ preventScroll: true });
}

export function setWalletOpen(open) {
    walletOpen = open;
    document.body.classList.toggle('wallet-open', open);
    arrange();
}

narrow.addEventListener('change', arrange);
