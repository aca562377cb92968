// Following the wallet log through /wallet-log. An offset equal to the log's
// size is answered with no lines and the same file_size, so a poll that
// finds nothing new costs a few bytes; an offset past the end (the log was
// truncated or rotated) is answered with the tail and a smaller size. The
// offset bookkeeping here keeps lines from showing up twice either way.

export const TAIL_LINES = 200;

// file_size as the server wrote it: a number, or past 2^53 the digit string
// that parseJsonExact gives, so that it goes back as the offset exactly.
const isSize = (v) => (Number.isSafeInteger(v) && v >= 0) || (typeof v === 'string' && /^\d+$/.test(v));
const compare = (a, b) => {
    const [x, y] = [BigInt(a), BigInt(b)];
    return x < y ? -1 : x > y ? 1 : 0;
};

export class LogFollower {
    constructor() {
        this.offset = -1;
    }

    // The query for the next poll.
    url() {
        return `wallet-log?lines=${TAIL_LINES}&offset=${this.offset}`;
    }

    // Takes one answer; returns what to show:
    //   {error}            the server has no log to offer (shown as a message)
    //   {reset, lines}     reset: replace what is shown (first read, or the log
    //                      was truncated or rotated); otherwise append lines.
    accept(answer) {
        if (!answer || typeof answer !== 'object' || !isSize(answer.file_size)) {
            this.offset = -1;
            return { error: 'unexpected answer from /wallet-log' };
        }
        if (typeof answer.error === 'string') {
            this.offset = -1;
            return { error: answer.error };
        }
        const size = answer.file_size;
        const lines = Array.isArray(answer.lines) ? answer.lines.map(String) : [];
        const previous = this.offset;
        this.offset = size;
        if (previous === -1) return { reset: true, lines: lines.slice(-TAIL_LINES) };
        // Nothing new. (Older servers repeated the tail here; it is not news.)
        if (compare(size, previous) === 0) return { reset: false, lines: [] };
        if (compare(size, previous) < 0) return { reset: true, lines: lines.slice(-TAIL_LINES), truncated: true };
        return { reset: false, lines };
    }

    // After a failed request, start over with a fresh tail.
    restart() {
        this.offset = -1;
    }
}
