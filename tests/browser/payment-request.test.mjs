// Payment requests: made in Receive as a URI and a QR code, read back by
// Send from the URI or from its QR code, and the request's description kept
// as the note of the transfer. The steps build on each other, in order.

import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { before, describe, it } from 'node:test';

import {
    ROOT, WAIT, axeFindings, openInPage, simRpc, useDashboard, walletAddress,
} from './harness.mjs';
import { viewShots } from './screens.mjs';

const JSQR = path.join(ROOT, 'node_modules', 'jsqr', 'dist', 'jsQR.js');

describe('payment requests', { timeout: 90000 }, () => {
    const env = useDashboard();
    let page;
    let bob;
    let request = '';
    const qrImage = () => path.join(env.dir, 'request.png');

    const shows = (selector, text, options) => env.shows(selector, text, options);

    // What the pinned decoder reads in the QR code drawn on the page.
    async function decodeQr(selector) {
        const svg = await page.locator(selector).evaluate((node) => new XMLSerializer().serializeToString(node));
        const reader = await env.context.newPage();
        try {
            await reader.addScriptTag({ path: JSQR });
            return await reader.evaluate(async (markup) => {
                const img = new Image();
                img.src = `data:image/svg+xml;charset=utf-8,${encodeURIComponent(markup)}`;
                await img.decode();
                const canvas = document.createElement('canvas');
                canvas.width = 600;
                canvas.height = 600;
                const g = canvas.getContext('2d');
                g.drawImage(img, 0, 0, 600, 600);
                const found = window.jsQR(g.getImageData(0, 0, 600, 600).data, 600, 600);
                return found?.data ?? null;
            }, svg);
        } finally {
            await reader.close();
        }
    }

    before(async () => {
        page = env.page;
        bob = walletAddress(env.dir, 'bob');
        await page.goto(env.server.url);
        await openInPage(page, 'bob');
        await shows('#receive-address', bob);
    });

    it('makes a request for the shown address with an amount, a description and a name', async () => {
        await page.locator('#request-tool > summary').click();
        await page.getByLabel('Amount (KRV, optional)').fill('1.5.0');
        await page.getByRole('button', { name: 'Make request' }).click();
        await shows('#request-message', 'Amount must be a number such as 1,000.5 (digits, commas between thousands, one dot).');
        assert.equal(await page.getByLabel('Amount (KRV, optional)').inputValue(), '1.5.0');
        await page.getByLabel('Amount (KRV, optional)').fill('1.5');
        await page.getByLabel('Description (optional)').fill('Invoice 7 & more');
        await page.getByLabel('Your name (optional)').fill('Bob Shop');
        await page.getByRole('button', { name: 'Make request' }).click();
        request = `krv:${bob}?tx_amount=1.5&recipient_name=Bob%20Shop&tx_description=Invoice%207%20%26%20more`;
        await shows('#request-uri', request);
        assert.equal(await decodeQr('#request-qr svg'), request);
        await page.locator('#request-qr svg').screenshot({ path: qrImage() });
        await viewShots(page, 'payment-request', '#request-tool');
        assert.deepEqual(await axeFindings(page), []);
    });

    it('fills Send from a pasted request, says what cannot be read, and keeps the description as the note', async () => {
        await openInPage(page, 'alice');
        const address = page.getByLabel('Destination address');
        await address.fill(`krv:${bob}?tx_amount=abc`);
        await shows('#send-uri-message', 'This payment request cannot be read: check that it was copied whole.');
        assert.equal(await address.inputValue(), `krv:${bob}?tx_amount=abc`);
        assert.equal(await page.getByRole('button', { name: 'Review transfer' }).isDisabled(), true);
        await address.fill(request);
        await shows('#send-uri-message', 'A payment request from Bob Shop for 1.50 KRV, note \u201cInvoice 7 & more\u201d. The note is kept with the transfer.');
        assert.equal(await address.inputValue(), bob);
        assert.equal(await page.getByLabel('Amount (KRV)').inputValue(), '1.5');
        await shows('#send-address-check', 'Valid address.');
        await viewShots(page, 'send-from-request', '#send-card');
        await page.getByRole('button', { name: 'Review transfer' }).click();
        await page.getByRole('button', { name: 'Confirm and send' }).click();
        await shows('#send-result strong', 'Sent 1.50 KRV.');
        const txid = await page.locator('#sent-txid').textContent();
        await shows('#send-uri-message', 'The note \u201cInvoice 7 & more\u201d is kept with the transfer.');
        assert.deepEqual((await simRpc(env.sim, 'get_tx_notes', { txids: [txid] })).notes, ['Invoice 7 & more']);
        await page.locator('#transfers-body tr').first().waitFor(WAIT);
        assert.deepEqual(env.messages.problems(), []);
    });

    it('reads a request from a QR image file with the pinned decoder, and says when a file holds none', async () => {
        const address = page.getByLabel('Destination address');
        const file = page.getByLabel('Or read a payment request from a QR image (or drop the image on this card)');
        fs.writeFileSync(path.join(env.dir, 'not-an-image.png'), 'hello');
        await file.setInputFiles(path.join(env.dir, 'not-an-image.png'));
        await shows('#send-uri-message', 'This file is not an image the browser can read.');
        await page.locator('#send-card h2').screenshot({ path: path.join(env.dir, 'no-code.png') });
        await file.setInputFiles(path.join(env.dir, 'no-code.png'));
        await shows('#send-uri-message', 'No QR code was found in this image: try a sharper or closer picture.');
        await file.setInputFiles(qrImage());
        await shows('#send-uri-message', 'A payment request from Bob Shop for 1.50 KRV, note \u201cInvoice 7 & more\u201d. The note is kept with the transfer.');
        assert.equal(await address.inputValue(), bob);
        assert.equal(await page.getByLabel('Amount (KRV)').inputValue(), '1.5');
        await shows('#send-address-check', 'Valid address.');
        assert.ok(env.requests.some((r) => r.path === '/vendor/jsqr.js'), 'the page read it with its own decoder');
        assert.deepEqual(env.messages.problems(), []);
    });
});
