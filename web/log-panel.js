// The live log panel: the lines the follower hands over, a text filter and a
// level filter with the count of lines that match, following the newest
// line until the reader scrolls up, and holding still under a reader who
// has, even while old lines are dropped from the top.

import { el, setText } from './dom.js';

// Enough to read back through; the whole log stays in its file.
const MAX_LOG_LINES = 500;

function lineLevel(line) {
    if (/\s(E|ERROR)\s/.test(line)) return 'error';
    if (/\s(W|WARN|WARNING)\s/.test(line)) return 'warn';
    return '';
}

const LEVELS = { all: () => true, warn: (level) => level !== '', error: (level) => level === 'error' };

export class LogPanel {
    constructor({ box, filter, level, count, follow }) {
        Object.assign(this, { box, filter, level, count, follow });
        this.stick = true;
        box.addEventListener('scroll', () => this.onScroll());
        follow.addEventListener('click', () => this.followLatest());
        filter.addEventListener('input', () => this.applyFilter());
        level.addEventListener('change', () => this.applyFilter());
        // Lines re-wrap when the page narrows; stay at the newest one if following.
        new ResizeObserver(() => this.keepAtEnd()).observe(box);
    }

    visible(line, level) {
        const text = this.filter.value.trim().toLowerCase();
        return LEVELS[this.level.value](level) && (text === '' || line.toLowerCase().includes(text));
    }

    append({ reset, truncated, lines }) {
        const box = this.box;
        if (reset) box.replaceChildren();
        if (truncated) box.append(el('div', { class: 'log-note' }, '— the log was truncated or rotated —'));
        for (const line of lines) {
            const level = lineLevel(line);
            const row = el('div', { class: `log-line ${level}`.trim() }, line);
            row.hidden = !this.visible(line, level);
            box.append(row);
        }
        this.dropOldest();
        this.keepAtEnd();
        this.updateCount();
    }

    // Drops lines beyond the limit; a paused reader's view is moved back by
    // the height that went, so the line under their eyes stays put.
    dropOldest() {
        const box = this.box;
        let extra = box.childElementCount - MAX_LOG_LINES;
        if (extra <= 0) return;
        const anchor = this.stick ? null : box.children[extra];
        const before = anchor?.offsetTop ?? 0;
        while (extra-- > 0) box.firstElementChild.remove();
        if (anchor) box.scrollTop -= before - anchor.offsetTop;
    }

    keepAtEnd() {
        if (this.stick) this.box.scrollTop = this.box.scrollHeight;
    }

    onScroll() {
        const box = this.box;
        this.stick = box.scrollTop + box.clientHeight >= box.scrollHeight - 8;
        this.follow.hidden = this.stick;
    }

    followLatest() {
        this.stick = true;
        this.keepAtEnd();
        this.follow.hidden = true;
        this.box.focus();
    }

    applyFilter() {
        for (const row of this.box.querySelectorAll('.log-line')) {
            const level = row.classList.contains('error') ? 'error' : row.classList.contains('warn') ? 'warn' : '';
            row.hidden = !this.visible(row.textContent, level);
        }
        this.keepAtEnd();
        this.updateCount();
    }

    updateCount() {
        const rows = this.box.querySelectorAll('.log-line');
        let shown = 0;
        for (const row of rows) if (!row.hidden) shown += 1;
        const filtered = this.filter.value.trim() !== '' || this.level.value !== 'all';
        setText(this.count, filtered ? `${shown} of ${rows.length} lines match` : `${rows.length} lines`);
    }
}
