// QR codes drawn as SVG elements. The encoder is a third-party module kept
// in vendor/; should it fail to load, an address is shown as text alone.
// It is fetched the first time a code is drawn, not with the page.

const SVG = 'http://www.w3.org/2000/svg';
// Scanners need a light margin of four modules around the code.
const QUIET = 4;

let encoder = null;

// Resolves to encodeQR(text, 'raw', opts), or null when the module is missing.
function loadEncoder() {
    encoder ??= import('./vendor/qr.js').then((m) => m.encodeQR ?? m.default ?? null, () => null);
    return encoder;
}

// The dark modules as one path: a run of dark modules in a row is one
// rectangle, so an address's code is a few hundred commands, not thousands
// of elements.
function modulesPath(matrix) {
    let d = '';
    matrix.forEach((row, y) => {
        for (let x = 0; x < row.length; x++) {
            if (!row[x]) continue;
            let run = 1;
            while (x + run < row.length && row[x + run]) run += 1;
            d += `M${x + QUIET} ${y + QUIET}h${run}v1h-${run}z`;
            x += run - 1;
        }
    });
    return d;
}

// An <svg> of the code for text, dark on light in either colour scheme;
// null when no encoder is available.
export async function qrSvg(text, label) {
    const encode = await loadEncoder();
    if (!encode) return null;
    const matrix = encode(text, 'raw', { ecc: 'medium', border: 0 });
    const size = matrix.length + 2 * QUIET;
    const svg = document.createElementNS(SVG, 'svg');
    svg.setAttribute('viewBox', `0 0 ${size} ${size}`);
    svg.setAttribute('role', 'img');
    svg.setAttribute('aria-label', label);
    svg.setAttribute('class', 'qr-code');
    svg.setAttribute('shape-rendering', 'crispEdges');
    const background = document.createElementNS(SVG, 'rect');
    background.setAttribute('width', String(size));
    background.setAttribute('height', String(size));
    background.setAttribute('fill', '#ffffff');
    const dark = document.createElementNS(SVG, 'path');
    dark.setAttribute('d', modulesPath(matrix));
    dark.setAttribute('fill', '#000000');
    svg.append(background, dark);
    return svg;
}
