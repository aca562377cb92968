// Reading a QR code from an image file, in the page: a payment request (or
// an address) photographed or saved as a picture goes into Send as if it
// had been pasted. The decoder is a third-party script kept in vendor/,
// fetched the first time an image is read.

import { $, showMessage } from './dom.js';

// Larger images are scaled down first: a code needs far fewer pixels.
const MAX_SIDE = 1200;

let decoder = null;

// Resolves to jsQR(data, width, height), or null when it cannot be loaded.
function loadDecoder() {
    // The script is a browser build that sets globalThis.jsQR.
    decoder ??= import('./vendor/jsqr.js').then(() => globalThis.jsQR ?? null, () => null);
    return decoder;
}

// The text of the QR code in an image file; null when there is none.
// Rejects when the file is not an image the browser can read.
export async function readQrFile(file) {
    const decode = await loadDecoder();
    if (!decode) throw new Error('The QR reader could not be loaded.');
    const bitmap = await createImageBitmap(file);
    const scale = Math.min(1, MAX_SIDE / Math.max(bitmap.width, bitmap.height));
    const width = Math.max(1, Math.round(bitmap.width * scale));
    const height = Math.max(1, Math.round(bitmap.height * scale));
    const canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
    const g = canvas.getContext('2d', { willReadFrequently: true });
    // A transparent image reads as light, the way it is seen.
    g.fillStyle = '#ffffff';
    g.fillRect(0, 0, width, height);
    g.drawImage(bitmap, 0, 0, width, height);
    bitmap.close();
    const found = decode(g.getImageData(0, 0, width, height).data, width, height, { inversionAttempts: 'attemptBoth' });
    return found?.data ?? null;
}

// The text goes into the first empty address field (else the first), as if
// typed: Send and the payment request reader take it from there.
async function useFile(file) {
    if (!file) return;
    showMessage('send-uri-message', 'Reading the QR code\u2026');
    let text;
    try {
        text = await readQrFile(file);
    } catch {
        showMessage('send-uri-message', 'This file is not an image the browser can read.', 'error');
        return;
    }
    if (!text) {
        showMessage('send-uri-message', 'No QR code was found in this image: try a sharper or closer picture.', 'error');
        return;
    }
    showMessage('send-uri-message', '');
    const fields = [...document.querySelectorAll('#recipients textarea')];
    const field = fields.find((f) => f.value.trim() === '') ?? fields[0];
    field.value = text.trim();
    field.dispatchEvent(new Event('input', { bubbles: true }));
}

export function startQrRead() {
    const input = $('send-qr-file');
    input.addEventListener('change', async () => {
        await useFile(input.files?.[0]);
        // The same file may be chosen again.
        input.value = '';
    });
    const card = $('send-card');
    card.addEventListener('dragover', (e) => {
        if ([...(e.dataTransfer?.items ?? [])].some((i) => i.kind === 'file')) e.preventDefault();
    });
    card.addEventListener('drop', (e) => {
        const file = e.dataTransfer?.files?.[0];
        if (!file) return;
        e.preventDefault();
        if ($('send-form').hidden) return;
        useFile(file);
    });
}
