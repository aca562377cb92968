// Screenshots of a view at 1280x800 and 375x812, light and dark, like
// screenshotsAt, for views that may be taller than the screen: each size
// waits for the page to lay itself out for that width (the cards are moved
// on a narrow screen) before the view is scrolled to its top.

import fs from 'node:fs';
import path from 'node:path';

import { SCREENSHOT_DIR, assertNoSideScroll } from './harness.mjs';

const settled = (page) => page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));

export async function viewShots(page, name, subject) {
    fs.mkdirSync(SCREENSHOT_DIR, { recursive: true });
    for (const scheme of ['light', 'dark']) {
        await page.emulateMedia({ colorScheme: scheme });
        for (const [width, height] of [[1280, 800], [375, 812]]) {
            await page.setViewportSize({ width, height });
            await settled(page);
            await page.locator(subject).first().evaluate((node) => node.scrollIntoView({ block: node.offsetHeight > innerHeight ? 'start' : 'center' }));
            await settled(page);
            await assertNoSideScroll(page, `${name} at ${width}x${height}, ${scheme}`);
            await page.screenshot({ path: path.join(SCREENSHOT_DIR, `${name}-${width}x${height}${scheme === 'dark' ? '-dark' : ''}.png`) });
        }
    }
    await page.emulateMedia({ colorScheme: 'light' });
    await page.setViewportSize({ width: 1280, height: 800 });
    await settled(page);
}
