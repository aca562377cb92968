// The word list of mnemonic seeds, shared by the page (which checks each word
// as it is typed) and the wallet simulator (which makes and reads seeds).
// The words are made here, the same on every load: consonant, vowel,
// consonant, vowel, sometimes a closing consonant. No two share their first
// four letters, so four letters are enough to tell a word. Changing how they
// are made would make every written-down seed unreadable.

export const SEED_WORD_COUNT = 2048;
// 24 words of 11 bits: a 256-bit key and an 8-bit checksum.
export const SEED_LENGTH = 24;

const CONSONANTS = 'bdfghklmnprstvz';
const VOWELS = 'aeiou';

// A small fixed pseudo-random sequence (mulberry32), so the list is the
// same everywhere without being stored; the simulator's made-up histories
// use it too.
export function seededRandom(seed) {
    let state = seed >>> 0;
    return () => {
        state = (state + 0x6d2b79f5) >>> 0;
        let t = state;
        t = Math.imul(t ^ (t >>> 15), t | 1);
        t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
        return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
    };
}

function makeWords() {
    const next = seededRandom(0x4b5256);
    const pick = (letters) => letters[Math.floor(next() * letters.length)];
    const byPrefix = new Map();
    while (byPrefix.size < SEED_WORD_COUNT) {
        const prefix = pick(CONSONANTS) + pick(VOWELS) + pick(CONSONANTS) + pick(VOWELS);
        if (byPrefix.has(prefix)) continue;
        byPrefix.set(prefix, next() < 0.5 ? prefix : prefix + pick(CONSONANTS));
    }
    return Object.freeze([...byPrefix.values()].sort());
}

export const SEED_WORDS = makeWords();

const INDEX = new Map(SEED_WORDS.map((w, i) => [w, i]));

// The position of a word in the list, or -1; letter case does not matter.
export function seedWordIndex(word) {
    return INDEX.get(String(word).toLowerCase()) ?? -1;
}

// The words of a seed as typed: split at any white space, lower case.
export function seedWords(text) {
    return String(text).toLowerCase().split(/\s+/).filter((w) => w !== '');
}
