// Following the wallet log through /wallet-log. The server answers an offset
// at or past the end of the file with the whole tail again, so the offset
// bookkeeping here is what keeps lines from showing up twice.

export const TAIL_LINES = 200;

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
        if (!answer || typeof answer !== 'object' || !Number.isInteger(answer.file_size)) {
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
        if (previous < 0) return { reset: true, lines: lines.slice(-TAIL_LINES) };
        // Nothing new: the lines are a repeat of the tail, not news.
        if (size === previous) return { reset: false, lines: [] };
        if (size < previous) return { reset: true, lines: lines.slice(-TAIL_LINES), truncated: true };
        return { reset: false, lines };
    }

    // After a failed request, start over with a fresh tail.
    restart() {
        this.offset = -1;
    }
}
