// The idle lock and the announcement of incoming money, under Playwright's
// clock: minutes of the page's time pass at once when the test moves it.
// The steps build on each other, in order.

import assert from 'node:assert/strict';
import { before, describe, it } from 'node:test';

import {
    WAIT, openInPage, rpcMethod, screenshotsAt, simRpc, useDashboard,
} from './harness.mjs';

const MINUTE = 60000;
const TITLE = 'KRV Chain Web Dashboard';

describe('the idle lock and incoming money', { timeout: 90000 }, () => {
    const env = useDashboard();
    let page;

    const shows = (selector, text, options) => env.shows(selector, text, options);
    const closes = () => env.requests.filter((r) => rpcMethod(r) === 'close_wallet').length;
    const countdown = () => page.locator('#lock-countdown');
    // The simulator's own word on whether a wallet is open.
    const openInSimulator = () => simRpc(env.sim, 'get_height').then(() => true, () => false);

    before(async () => {
        page = env.page;
        // A system notification is recorded, not shown.
        await env.context.addInitScript(() => {
            window.krvNotes = [];
            window.Notification = class {
                static permission = 'default';

                static async requestPermission() {
                    this.permission = 'granted';
                    return 'granted';
                }

                constructor(title) {
                    window.krvNotes.push(title);
                }
            };
        });
        await page.clock.install();
        await page.goto(env.server.url);
        await openInPage(page, 'alice');
        await page.locator('#transfers-body tr').first().waitFor(WAIT);
    });

    it('counts down in the last minute, puts the lock off at any key, then closes the wallet and says so', async () => {
        await shows('#idle-lock-hint', 'alice is closed after 15 minutes without use; sending then needs the password again.');
        await page.clock.fastForward(13 * MINUTE);
        assert.equal(await countdown().isVisible(), false);
        await page.clock.fastForward(MINUTE + 5000);
        await shows('#lock-countdown-text', /^alice locks in \d\d s without use\. Press a key or move the mouse to keep it open\.$/);
        await shows('#lock-countdown-said', 'alice locks in one minute without use. Press a key to keep it open.');
        const seconds = async () => Number(/in (\d+) s/.exec(await page.locator('#lock-countdown-text').textContent())[1]);
        const first = await seconds();
        assert.ok(first <= 55, `${first} s left`);
        await page.clock.runFor(10000);
        assert.ok(await seconds() <= first - 9, 'the countdown moves every second');
        await screenshotsAt(page, 'lock-countdown');
        await page.keyboard.press('Shift');
        await countdown().waitFor({ state: 'hidden', ...WAIT });
        // A dialog opened before the countdown does not hide it.
        await page.locator('#transfers-body tr button').first().click();
        await page.locator('#transfer-details').waitFor(WAIT);
        await page.clock.fastForward(MINUTE);
        assert.equal(closes(), 0, 'a key put it off');

        await page.clock.fastForward(13 * MINUTE);
        await countdown().waitFor(WAIT);
        // In the top layer, put there again after the dialog: above it. (A
        // modal dialog makes it inert, so it cannot be found by a point.)
        assert.equal(await countdown().evaluate((box) => box.matches(':popover-open')), true);
        assert.equal(await page.locator('#transfer-details').isVisible(), true);
        await screenshotsAt(page, 'lock-countdown-over-dialog');
        await page.clock.fastForward(MINUTE);
        await shows('#wallet-message', 'alice was locked after 15 minutes without use; open it again with its password to continue.');
        assert.equal(closes(), 1);
        assert.equal(await openInSimulator(), false);
        assert.equal(await countdown().isVisible(), false);
        await shows('#send-blocked', 'Open a wallet first.');
        await screenshotsAt(page, 'locked', '#wallet-card');
    });

    it('keeps the time chosen across a reload, and never locks when told so', async () => {
        await openInPage(page, 'alice');
        await page.getByLabel('Lock when unused for').selectOption('5');
        await shows('#idle-lock-hint', 'alice is closed after 5 minutes without use; sending then needs the password again.');
        // The tab opened alice with her password: after a reload it still may spend, and still locks.
        await page.reload();
        await page.getByRole('button', { name: 'Review transfer' }).waitFor(WAIT);
        assert.equal(await page.getByLabel('Lock when unused for').inputValue(), '5');
        await page.clock.fastForward(4 * MINUTE + 5000);
        await countdown().waitFor(WAIT);
        await page.getByLabel('Lock when unused for').selectOption('0');
        await countdown().waitFor({ state: 'hidden', ...WAIT });
        await shows('#idle-lock-hint', 'alice stays open until you close it.');
        await page.clock.fastForward(61 * MINUTE);
        assert.equal(await openInSimulator(), true);
        assert.equal(closes(), 1);
        await page.getByLabel('Lock when unused for').selectOption('15');
    });

    it('does not lock a wallet opened outside this page, which it cannot spend from', async () => {
        await page.getByRole('button', { name: 'Close wallet' }).click();
        await page.locator('#wallet-none').waitFor(WAIT);
        await simRpc(env.sim, 'open_wallet', { filename: 'alice', password: 'demo' });
        await page.clock.fastForward(10000);
        await shows('#idle-lock-hint', 'Only a wallet opened in this page with its password is locked.');
        const before = closes();
        await page.clock.fastForward(16 * MINUTE);
        assert.equal(await countdown().isVisible(), false);
        assert.equal(closes(), before);
        assert.equal(await openInSimulator(), true);
    });

    it('announces incoming money in the title, the page and, once allowed, the system; seeing the transfers clears the count', async () => {
        await page.getByLabel('Name of this wallet').fill('alice');
        await page.getByLabel('Password of this wallet').fill('demo');
        await page.getByRole('button', { name: 'Unlock sending' }).click();
        await page.getByRole('button', { name: 'Review transfer' }).waitFor(WAIT);
        // Opened again from Send: the Wallets card no longer says it was closed.
        assert.equal(await page.locator('#open-message').textContent(), '');
        await page.evaluate(() => window.scrollTo(0, 0));
        await page.getByRole('button', { name: 'Notify me of incoming money' }).click();
        await shows('#notify-state', 'Incoming money is announced by the system, also while this tab is hidden.');

        await simRpc(env.sim, 'sim_receive', { amount: 2500000000000 });
        await page.clock.fastForward(30000);
        await shows('#arrival-text', 'Received 2.50 KRV at Account 0 (Primary account), waiting in the pool.');
        assert.equal(await page.title(), `(1) ${TITLE}`);
        assert.deepEqual(await page.evaluate(() => window.krvNotes), ['alice: Received 2.50 KRV at Account 0 (Primary account), waiting in the pool.']);
        await screenshotsAt(page, 'arrival', '#arrival');

        // Hidden, the page still looks once a minute, for the notification.
        await page.evaluate(() => {
            Object.defineProperty(document, 'hidden', { configurable: true, get: () => true });
            Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => 'hidden' });
            document.dispatchEvent(new Event('visibilitychange'));
        });
        await simRpc(env.sim, 'sim_receive', { amount: 1000000000000 });
        await simRpc(env.sim, 'sim_receive', { amount: 10000000000 });
        await page.clock.fastForward(MINUTE);
        await page.clock.fastForward(MINUTE);
        await page.waitForFunction(() => window.krvNotes.length === 2, null, WAIT);
        assert.equal((await page.evaluate(() => window.krvNotes))[1], 'alice: Received 2 transfers, 1.01 KRV in all, waiting in the pool.');
        assert.equal(await page.title(), `(3) ${TITLE}`);
        await page.evaluate(() => {
            Object.defineProperty(document, 'hidden', { configurable: true, get: () => false });
            Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => 'visible' });
            document.dispatchEvent(new Event('visibilitychange'));
        });
        assert.equal(await page.title(), `(3) ${TITLE}`, 'not seen while the transfers are off screen');
        await page.getByRole('button', { name: 'Show transfers' }).click();
        await page.waitForFunction((t) => document.title === t, TITLE, WAIT);
        assert.equal(await page.locator('#arrival').isVisible(), false);
        assert.deepEqual(env.messages.problems(), []);
    });
});
