// The dashboard: wires the cards to the polls, to the wallet session and to
// each other. What each card does is in its own module.

import { startAddressBook } from './address-book.js';
import { announce, HIDDEN_POLL_MS, notifying, startArrivals } from './arrivals.js';
import { addPoll, keyChanged, onBlocked, reportFault, startConnection } from './connection.js';
import { daemonHeight, onChainMoved, pollDaemon, pollPathHeight, startDaemonCard } from './daemon-card.js';
import { startDevices } from './devices.js';
import { $ } from './dom.js';
import { startIdleLock } from './idle-lock.js';
import { pollLog, startLogCard } from './log-card.js';
import { takeKeyFromAddress } from './pairing.js';
import { startPaymentRequests } from './payment-request.js';
import { startProofs } from './proofs.js';
import { startQrRead } from './qr-read.js';
import { addressName, ReceiveView } from './receive.js';
import { sending } from './send-confirm.js';
import { forgetDrafts, sendAccounts, sendBlocked, sendFromDefault, startSend } from './send.js';
import { startSeedBackup } from './seed-backup.js';
import { isStale } from './session.js';
import { TransfersView } from './transfers-view.js';
import { onWalletRead, pollWallet, refreshWallet, startWalletCard } from './wallet-card.js';
import { startWalletCreate } from './wallet-create.js';
import { startWalletTools } from './wallet-tools.js';
import {
    closeWallet, onDeliberateClose, openWallet, pollWalletList, startWalletsCard, walletsBlocked,
} from './wallets-card.js';

// Before anything else: the code or key leaves the address bar at once, and
// a code is traded for this device's token before the first wallet request.
await takeKeyFromAddress();

// With the health check every 15 s these add up to about 50 requests a
// minute while nothing happens, 30 of them the log. The wallet is probed
// every 10 s and read in full when the chain moves, after an action, or
// every 30 s for what waits in the pool.
const EVERY = { daemon: 15000, path: 60000, wallet: 10000, wallets: 60000, log: 2000 };

const walletPoll = addPoll('wallet', pollWallet, EVERY.wallet,
    { needs: ['server', 'wallet'], whileHidden: () => (notifying() ? HIDDEN_POLL_MS : 0) });
addPoll('daemon', pollDaemon, EVERY.daemon, { slows: ['daemon'], probe: 'daemon' });
addPoll('path', pollPathHeight, EVERY.path, { needs: ['server', 'daemon'] });
// The wallet's files and log are read by the server itself, but while the
// wallet service is down there is little news in them: they slow down too.
addPoll('wallets', pollWalletList, EVERY.wallets, { slows: ['wallet'] });
addPoll('log', pollLog, EVERY.log, { slows: ['wallet'] });

function start() {
    const transfers = new TransfersView();
    const receive = new ReceiveView({
        onChange: () => refreshWallet(),
        onChoose: (major) => sendFromDefault(major),
    });
    startWalletCard({ history: transfers, poll: () => walletPoll.run(), chain: daemonHeight });
    startWalletsCard();
    startSend({ own: (address) => receive.nameOf(address), open: openWallet, onSent: () => refreshWallet() });
    startIdleLock({ close: (why) => closeWallet(why), isBusy: sending });
    startArrivals();
    onDeliberateClose(forgetDrafts);
    onWalletRead(async ({ session, accounts, first, changed, arrived }) => {
        sendAccounts(accounts);
        await receive.setAccounts(accounts, session);
        transfers.setLabels(receive.labels());
        const where = (r) => addressName(r.major, r.minor, receive.labels()[r.major]?.[r.minor] ?? '');
        announce(arrived, session.name, where);
        // Money that arrived marks its address as used.
        if (changed && !first) await receive.refreshAddresses(session);
    });
    onChainMoved(() => refreshWallet());
    onBlocked((reason) => {
        walletsBlocked(reason);
        sendBlocked(reason);
    });
    startDaemonCard();
    startLogCard();
    // Opening a pairing address, or the address with the key, in this tab again.
    window.addEventListener('hashchange', async () => {
        if (await takeKeyFromAddress()) keyChanged();
    });
    $('go-receive').addEventListener('click', () => {
        $('receive-card').scrollIntoView({ block: 'start' });
        $('receive-title').focus({ preventScroll: true });
    });
    $('go-send').addEventListener('click', () => ($('send-form').hidden ? $('send-unlock-password') : $('send-address')).focus());
    window.addEventListener('unhandledrejection', (e) => {
        if (isStale(e.reason)) return;
        reportFault('page', e.reason);
    });
    window.addEventListener('error', (e) => reportFault('page', e.error ?? e.message));
    startConnection();
    startDevices();
    startWalletTools();
    startSeedBackup();
    startWalletCreate();
    startAddressBook();
    startPaymentRequests();
    startProofs();
    startQrRead();
}

start();
