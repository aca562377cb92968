#!/usr/bin/env node
// A stand-in for the wallet RPC service and the daemon, for demos and tests:
// a growing chain, wallets kept as files, transfers that confirm over blocks,
// and a log file. It speaks raw HTTP/1.1 so that every answer framing the
// dashboard server must read (length, chunked, close-delimited) occurs.

import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

import { DECIMALS, formatAmount, MAX_ATOMIC, toAtomic, TICKER } from '../web/amount.js';
import { parseJsonExact, stringifyExact } from '../web/exact-json.js';
import { SEED_LENGTH, SEED_WORDS, seededRandom, seedWordIndex, seedWords } from '../web/seed-words.js';

const HELP = `wallet-sim: a simulated wallet RPC service and daemon on loopback ports

Usage: node tools/wallet-sim.mjs [options]
  --wallet-port N     wallet RPC port (default 18083; 0 = any free port)
  --daemon-port N     daemon RPC port (default 18831; 0 = any free port)
  --wallet-dir PATH   wallet folder (default ./krv-sim/wallets); demo wallets
                      are created in it when it holds no wallet
  --log PATH          log file appended to (default ./krv-sim/krv-wallet-rpc.log)
  --block-seconds S   seconds between blocks (default 5)
  --sync-seconds S    the daemon starts this far behind and catches up (default 0)
  --transfers N       a new alice gets N historic transfers instead of two: in
                      and out, locked ones, notes, payment ids, a second
                      account and several subaddresses, a few in the pool
  --rpc-login U:P     the wallet port asks for a Digest login (RFC 7616,
                      SHA-256 and MD5 offered) with user U and password P
  --daemon-login U:P  the same for the daemon port

Once listening it prints one JSON line: {"wallet_port":N,"daemon_port":N}.
Demo wallets: alice and bob, password "demo".
Besides the wallet methods it answers some of its own on the wallet port:
sim_log {"message":"...","level":"W"} appends a line to the log (level I, W
or E; I when left out), sim_mine {"blocks":N} mines blocks at once,
sim_calls counts the wallet calls it has answered, sim_totals {"filename"}
sums a wallet's transfers, sim_receive {"filename","amount","account_index",
"address_index"} puts money from outside in a wallet's pool.
`;

const FEE_PER_DESTINATION = 30000000n;
const UNLOCK_CONFIRMATIONS = 10;
const SECONDS_PER_BLOCK_ON_RECORD = 120;
const START_HEIGHT = 2500;
const CHAIN_FILE = '.krv-sim-chain.json';
const BASE58 = '123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz';
const ADDRESS_BODY = 90;
const ADDRESS_CHECK = 4;
const UNLOCK_TIME_IS_HEIGHT_BELOW = 500000000;
const PRIMARY_LABEL = 'Primary account';
const NO_PAYMENT_ID = '0000000000000000';
const DEMO_WALLETS = [
    { name: 'alice', password: 'demo', received: [[1200, 10000000000000000n], [2100, 2345678901234567n]] },
    { name: 'bob', password: 'demo', received: [[2300, 42000000000001n]] },
];

// ---------------------------------------------------------------- options

function parseArgs(argv) {
    const opts = {
        walletPort: 18083,
        daemonPort: 18831,
        walletDir: path.join('krv-sim', 'wallets'),
        log: path.join('krv-sim', 'krv-wallet-rpc.log'),
        blockSeconds: 5,
        syncSeconds: 0,
        transfers: 0,
    };
    const numeric = { '--wallet-port': 'walletPort', '--daemon-port': 'daemonPort',
        '--block-seconds': 'blockSeconds', '--sync-seconds': 'syncSeconds', '--transfers': 'transfers' };
    const text = { '--wallet-dir': 'walletDir', '--log': 'log', '--rpc-login': 'rpcLogin', '--daemon-login': 'daemonLogin' };
    for (let i = 0; i < argv.length; i++) {
        const a = argv[i];
        if (a === '-h' || a === '--help') {
            process.stdout.write(HELP);
            process.exit(0);
        } else if (a in numeric || a in text) {
            const v = argv[++i];
            if (v === undefined) fail(`${a} needs a value`);
            if (a in text) opts[text[a]] = v;
            else if (!/^\d+(\.\d+)?$/.test(v)) fail(`${a}: not a number: ${v}`);
            else opts[numeric[a]] = Number(v);
        } else {
            fail(`unknown argument: ${a}`);
        }
    }
    for (const [name, value] of [['--rpc-login', opts.rpcLogin], ['--daemon-login', opts.daemonLogin]]) {
        if (value !== undefined && !(value.indexOf(':') > 0)) fail(`${name} needs USER:PASSWORD`);
    }
    if (opts.blockSeconds <= 0) fail('--block-seconds must be more than 0');
    if (!Number.isInteger(opts.transfers)) fail('--transfers must be a whole number');
    return opts;
}

function fail(message) {
    process.stderr.write(`wallet-sim: ${message}\n`);
    process.exit(2);
}

// ---------------------------------------------------------------- log

let logPath = '';

function pad(n, w = 2) {
    return String(n).padStart(w, '0');
}

function log(level, category, message) {
    const d = new Date();
    const stamp = `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ` +
        `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}.${pad(d.getMilliseconds(), 3)}`;
    // One append per whole line, so a reader never sees half of one.
    fs.appendFileSync(logPath, `${stamp} ${level} [${category}] ${message}\n`);
}

// ---------------------------------------------------------------- addresses

function base58(bytes, length) {
    let n = BigInt(`0x${Buffer.from(bytes).toString('hex')}`);
    let s = '';
    while (s.length < length) {
        s += BASE58[Number(n % 58n)];
        n /= 58n;
    }
    return s;
}

function checksum(body) {
    return base58(crypto.createHash('sha256').update(body).digest().subarray(0, 8), ADDRESS_CHECK);
}

function addressFor(seed) {
    const bytes = Buffer.concat([
        crypto.createHash('sha512').update(`krv-sim:${seed}`).digest(),
        crypto.createHash('sha512').update(`krv-sim:${seed}:2`).digest(),
    ]);
    const body = `KRV${base58(bytes, ADDRESS_BODY)}`;
    return body + checksum(body);
}

function validAddress(address) {
    if (typeof address !== 'string') return false;
    const re = new RegExp(`^KRV[${BASE58}]{${ADDRESS_BODY + ADDRESS_CHECK}}$`);
    if (!re.test(address)) return false;
    const body = address.slice(0, address.length - ADDRESS_CHECK);
    return checksum(body) === address.slice(-ADDRESS_CHECK);
}

// ---------------------------------------------------------------- storage

function readJson(file) {
    return parseJsonExact(fs.readFileSync(file, 'utf8'));
}

function writeJson(file, value) {
    // Write then rename, so a crash never leaves half a wallet behind.
    const tmp = `${file}.${process.pid}.tmp`;
    fs.writeFileSync(tmp, `${stringifyExact(value)}\n`);
    fs.renameSync(tmp, file);
}

function hashPassword(salt, password) {
    return crypto.createHash('sha256').update(`${salt}\0${password}`).digest('hex');
}

// A wallet of 100,000 transfers takes about a second to write: changes are
// written at most this often, in one go, and at once when the simulator stops.
const SAVE_DELAY_MS = 100;

class Store {
    constructor(dir) {
        this.dir = dir;
        // Wallets by name, as last saved: only this process writes them, and a
        // wallet of 10,000 transfers is too slow to parse at every call.
        this.cache = new Map();
        this.owners = null;
        // Each wallet's confirmed transfers by height, for the height filter.
        this.byHeight = new Map();
        this.waiting = new Map();
        this.unsaved = new Set();
        this.saveTimer = null;
    }

    file(name) {
        return path.join(this.dir, name);
    }

    // Wallet names: data files that have a .keys file beside them.
    names() {
        return fs.readdirSync(this.dir)
            .filter((f) => f.endsWith('.keys') && f.length > 5 && !f.startsWith('.'))
            .map((f) => f.slice(0, -5))
            .filter((n) => fs.existsSync(this.file(n)));
    }

    keys(name) {
        return readJson(this.file(`${name}.keys`));
    }

    load(name) {
        const cached = this.cache.get(name);
        if (cached) return cached;
        const data = readJson(this.file(name));
        data.transfers = (data.transfers ?? []).map((t) => ({ ...t, amount: toAtomic(t.amount), fee: toAtomic(t.fee ?? 0) }));
        data.accounts ??= [[PRIMARY_LABEL]];
        this.cache.set(name, data);
        return data;
    }

    // Keeps the change and writes it soon; heightsChanged: a confirmed
    // transfer came or moved other than by mine(), which keeps the order itself.
    save(name, data, { heightsChanged = true } = {}) {
        this.cache.set(name, data);
        if (heightsChanged) this.byHeight.delete(name);
        this.waiting.delete(name);
        this.unsaved.add(name);
        this.saveTimer ??= setTimeout(() => this.flush(), SAVE_DELAY_MS);
    }

    flush() {
        clearTimeout(this.saveTimer);
        this.saveTimer = null;
        for (const name of this.unsaved) writeJson(this.file(name), this.cache.get(name));
        this.unsaved.clear();
    }

    // The confirmed transfers of a wallet, lowest height first.
    confirmed(name) {
        let list = this.byHeight.get(name);
        if (!list) {
            list = this.load(name).transfers.filter((t) => t.height > 0).sort((a, b) => a.height - b.height);
            this.byHeight.set(name, list);
        }
        return list;
    }

    // The transfers of a wallet that are in no block: waiting or failed.
    unconfirmed(name) {
        let list = this.waiting.get(name);
        if (!list) {
            list = this.load(name).transfers.filter((t) => t.height === 0);
            this.waiting.set(name, list);
        }
        return list;
    }

    // Transfers that reached a block just mined: above every height so far.
    confirmedNow(name, transfers) {
        this.byHeight.get(name)?.push(...transfers);
    }

    create(name, password, transfers, accounts = [[PRIMARY_LABEL]]) {
        const salt = crypto.randomBytes(16).toString('hex');
        // Keys made from the name: a demo wallet is the same in every run.
        const keys = walletKeys(sha256hex(`krv-sim demo wallet\0${name}`));
        writeJson(this.file(`${name}.keys`), {
            format: 'krv-sim-keys/1', ...keys, salt, password_sha256: hashPassword(salt, password),
        });
        this.save(name, { format: 'krv-sim-wallet/1', transfers, accounts });
        // On disk at once: the wallet list is read from the folder.
        this.flush();
        this.owners = null;
    }

    addTransfer(name, entry) {
        const data = this.load(name);
        data.transfers.push(entry);
        this.save(name, data, { heightsChanged: entry.height > 0 });
    }

    // The address of subaddress minor of account major; 0/0 is the wallet's own.
    address(name, major, minor) {
        return major === 0 && minor === 0 ? this.keys(name).address : addressFor(`${subaddressRoot(this, name)}/${major}/${minor}`);
    }

    // {name, major, minor} of the wallet here that owns address, if any.
    owner(address) {
        if (!this.owners) {
            this.owners = new Map();
            for (const name of this.names()) {
                this.load(name).accounts.forEach((labels, major) => labels.forEach((_, minor) => {
                    this.owners.set(this.address(name, major, minor), { name, major, minor });
                }));
            }
        }
        return this.owners.get(address);
    }

    addSubaddress(name, major, label) {
        const data = this.load(name);
        const minor = data.accounts[major].push(label) - 1;
        this.save(name, data, { heightsChanged: false });
        this.owners?.set(this.address(name, major, minor), { name, major, minor });
        return minor;
    }

    addAccount(name, label) {
        const data = this.load(name);
        const major = data.accounts.push([label]) - 1;
        this.save(name, data, { heightsChanged: false });
        this.owners?.set(this.address(name, major, 0), { name, major, minor: 0 });
        return major;
    }

    setLabel(name, major, minor, label) {
        const data = this.load(name);
        data.accounts[major][minor] = label;
        this.save(name, data, { heightsChanged: false });
    }

    hasWallets() {
        return fs.readdirSync(this.dir).some((f) => !f.startsWith('.'));
    }
}

// ---------------------------------------------------------------- chain

class Chain {
    constructor(store, opts) {
        this.store = store;
        this.file = store.file(CHAIN_FILE);
        this.height = fs.existsSync(this.file) ? readJson(this.file).height : START_HEIGHT;
        this.syncSeconds = opts.syncSeconds;
        this.syncBehind = Math.round(opts.syncSeconds * 40);
        this.started = Date.now();
        this.save();
    }

    save() {
        writeJson(this.file, { height: this.height });
    }

    // The daemon's own height: behind the network while it syncs.
    daemonHeight() {
        if (this.syncSeconds <= 0) return this.height;
        const done = Math.min(1, (Date.now() - this.started) / (this.syncSeconds * 1000));
        return this.height - Math.round(this.syncBehind * (1 - done));
    }

    synchronized() {
        return this.daemonHeight() >= this.height;
    }

    confirmations(tx) {
        return tx.height > 0 ? Math.max(0, this.height - tx.height) : 0;
    }

    // Incoming money can be spent once it is 10 blocks deep and its own
    // unlock time (a height below 500,000,000, else a Unix time) has passed.
    locked(tx) {
        if (tx.type !== 'in') return false;
        if (this.confirmations(tx) < UNLOCK_CONFIRMATIONS) return true;
        const until = Number(tx.unlock_time ?? 0);
        if (until <= 0) return false;
        return until < UNLOCK_TIME_IS_HEIGHT_BELOW ? this.height < until : Date.now() / 1000 < until;
    }

    // Adds a block and puts every waiting transaction of every wallet in it;
    // one held back with pool_until waits for that block. Failed ones never
    // confirm.
    mine() {
        const block = this.height;
        this.height += 1;
        this.save();
        let confirmed = 0;
        for (const name of this.store.names()) {
            const data = this.store.load(name);
            const waiting = data.transfers.filter((t) => t.height === 0 && t.type !== 'failed' && (t.pool_until ?? 0) <= block);
            if (waiting.length === 0) continue;
            for (const t of waiting) {
                t.height = block;
                delete t.pool_until;
            }
            confirmed += waiting.length;
            this.store.confirmedNow(name, waiting);
            this.store.save(name, data, { heightsChanged: false });
        }
        log('I', 'daemon', `New block ${block}, chain height ${this.height}, ${confirmed} wallet transaction(s) confirmed`);
    }
}

// ---------------------------------------------------------------- wallet RPC

class RpcError extends Error {
    constructor(code, message) {
        super(message);
        this.code = code;
    }
}

const ERR = {
    unknown: -1,
    address: -2,
    transfer: -4,
    notOpen: -13,
    zero: -17,
    open: -21,
    params: -32602,
};

// What a stored transfer is now: failed, confirmed in or out, or waiting
// (pool for incoming, pending for outgoing).
function kindOf(t) {
    if (t.type === 'failed') return 'failed';
    if (t.height > 0) return t.type;
    return t.type === 'in' ? 'pool' : 'pending';
}

const accountOf = (t) => t.subaddr_index?.major ?? 0;

function indexParam(value, name) {
    if (value === undefined) return 0;
    if (!Number.isInteger(value) || value < 0) throw new RpcError(ERR.params, `${name} must be a whole number`);
    return value;
}

// The index of the first transfer of a list ordered by height whose height
// is above h (the list's length when none is).
function firstAbove(list, h) {
    let lo = 0;
    let hi = list.length;
    while (lo < hi) {
        const mid = (lo + hi) >> 1;
        if (list[mid].height <= h) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// A label as given, at most 200 characters; '' when left out (unless required).
function labelParam(value, required = false) {
    if (value === undefined && !required) return '';
    if (typeof value !== 'string') throw new RpcError(ERR.params, 'label must be a string');
    return value.slice(0, 200);
}

const summed = (sums) => sums.reduce((a, b) => ({ balance: a.balance + b.balance, unlocked: a.unlocked + b.unlocked }),
    { balance: 0n, unlocked: 0n });

// Unlocked is never below zero nor above the balance.
function clamped({ balance, unlocked }) {
    if (unlocked < 0n) return { balance, unlocked: 0n };
    return { balance, unlocked: unlocked > balance ? balance : unlocked };
}

class Wallet {
    constructor(store, chain) {
        this.store = store;
        this.chain = chain;
        this.open = null;
    }

    requireOpen() {
        if (!this.open) throw new RpcError(ERR.notOpen, 'No wallet file');
        return this.store.load(this.open.name);
    }

    // Balances of one account, or of all when account is null.
    // Balances of one account, or of all when account is null.
    balances(data, account = null) {
        const sums = this.sums(data);
        return clamped(account === null ? summed(sums) : sums[account] ?? { balance: 0n, unlocked: 0n });
    }

    // Each account's balance and unlocked sum before clamping, in one pass:
    // get_accounts asks for every account and the total at once.
    sums(data) {
        const sums = data.accounts.map(() => ({ balance: 0n, unlocked: 0n }));
        for (const t of data.transfers) {
            const s = sums[accountOf(t)];
            if (t.type === 'failed' || !s) continue;
            if (t.type === 'in') {
                s.balance += t.amount;
                if (!this.chain.locked(t)) s.unlocked += t.amount;
            } else {
                s.balance -= t.amount + t.fee;
                s.unlocked -= t.amount + t.fee;
            }
        }
        return sums;
    }

    requireAccount(data, params) {
        const account = indexParam(params.account_index, 'account_index');
        if (account >= data.accounts.length) throw new RpcError(ERR.params, 'account index is out of bound');
        return account;
    }

    get_height() {
        this.requireOpen();
        return { height: walletHeight(this.chain, this.open.name) };
    }

    // Every address of an account, or those of address_index.
    get_address(params) {
        const data = this.requireOpen();
        const major = this.requireAccount(data, params);
        const labels = data.accounts[major];
        let wanted = labels.map((_, i) => i);
        if (params.address_index !== undefined) {
            if (!Array.isArray(params.address_index)) throw new RpcError(ERR.params, 'address_index must be a list');
            wanted = params.address_index.map((i) => indexParam(i, 'address_index'));
            if (wanted.some((i) => i >= labels.length)) throw new RpcError(ERR.params, 'address index is out of bound');
        }
        const used = new Set(data.transfers.filter((t) => t.type === 'in' && accountOf(t) === major)
            .map((t) => t.subaddr_index?.minor ?? 0));
        return {
            address: this.store.address(this.open.name, major, 0),
            addresses: wanted.map((minor) => ({
                address: this.store.address(this.open.name, major, minor), label: labels[minor],
                address_index: minor, used: used.has(minor),
            })),
        };
    }

    create_address(params) {
        const data = this.requireOpen();
        const major = this.requireAccount(data, params);
        const label = params.label === undefined ? '' : params.label;
        if (typeof label !== 'string') throw new RpcError(ERR.params, 'label must be a string');
        const minor = this.store.addSubaddress(this.open.name, major, label.slice(0, 200));
        log('I', 'wallet.rpc', `New subaddress ${major}/${minor} in '${this.open.name}'`);
        return { address: this.store.address(this.open.name, major, minor), address_index: minor };
    }

    create_account(params) {
        this.requireOpen();
        const label = labelParam(params.label);
        const major = this.store.addAccount(this.open.name, label);
        log('I', 'wallet.rpc', `New account ${major} in '${this.open.name}'`);
        return { account_index: major, address: this.store.address(this.open.name, major, 0) };
    }

    label_account(params) {
        const data = this.requireOpen();
        if (params.account_index === undefined) throw new RpcError(ERR.params, 'account_index is required');
        const major = this.requireAccount(data, params);
        this.store.setLabel(this.open.name, major, 0, labelParam(params.label, true));
        return {};
    }

    label_address(params) {
        const data = this.requireOpen();
        const index = params.index;
        if (!index || typeof index !== 'object') throw new RpcError(ERR.params, 'index {major, minor} is required');
        const major = this.requireAccount(data, { account_index: index.major });
        const minor = indexParam(index.minor, 'minor');
        if (minor >= data.accounts[major].length) throw new RpcError(ERR.params, 'address index is out of bound');
        this.store.setLabel(this.open.name, major, minor, labelParam(params.label, true));
        return {};
    }

    get_accounts() {
        const data = this.requireOpen();
        const sums = this.sums(data);
        const accounts = data.accounts.map((labels, major) => {
            const { balance, unlocked } = clamped(sums[major]);
            return {
                account_index: major, base_address: this.store.address(this.open.name, major, 0), label: labels[0],
                balance, unlocked_balance: unlocked, tag: '',
            };
        });
        const total = clamped(summed(sums));
        return { subaddress_accounts: accounts, total_balance: total.balance, total_unlocked_balance: total.unlocked };
    }

    get_balance(params) {
        const data = this.requireOpen();
        const account = params.all_accounts === true ? null : this.requireAccount(data, params);
        const { balance, unlocked } = this.balances(data, account);
        return { balance, unlocked_balance: unlocked };
    }

    // The lists asked for, oldest first. One account (account_index, 0 when
    // left out) unless all_accounts; filter_by_height keeps confirmed
    // entries with min_height < height <= max_height and leaves the
    // unconfirmed lists whole.
    get_transfers(params) {
        const data = this.requireOpen();
        const want = { in: !!params.in, out: !!params.out, pending: !!params.pending, pool: !!params.pool, failed: !!params.failed };
        const account = params.all_accounts === true ? null : this.requireAccount(data, params);
        const byHeight = params.filter_by_height === true;
        const min = byHeight ? indexParam(params.min_height, 'min_height') : 0;
        const max = byHeight && params.max_height !== undefined ? indexParam(params.max_height, 'max_height') : Infinity;
        const confirmed = this.store.confirmed(this.open.name);
        const range = want.in || want.out ? confirmed.slice(firstAbove(confirmed, min), firstAbove(confirmed, max)) : [];
        const waiting = want.pending || want.pool || want.failed ? this.store.unconfirmed(this.open.name) : [];
        const lists = {};
        for (const t of [...range, ...waiting]) {
            const kind = kindOf(t);
            if (!want[kind] || (account !== null && accountOf(t) !== account)) continue;
            (lists[kind] ??= []).push(this.entryJson(t, kind));
        }
        // Written by hand: a generic writer takes most of the answer's time
        // for thousands of entries.
        return new RawJson(`{${Object.entries(lists).map(([kind, list]) => `"${kind}":[${list.join(',')}]`).join(',')}}`);
    }

    entryJson(t, kind) {
        const text = JSON.stringify;
        const destinations = t.destinations ? `,"destinations":${stringifyExact(t.destinations)}` : '';
        return `{"txid":${text(t.txid)},"type":"${kind}","amount":${t.amount},"fee":${t.fee},"height":${t.height},` +
            `"timestamp":${t.timestamp},"confirmations":${this.chain.confirmations(t)},"address":${text(t.address ?? '')},` +
            `"unlock_time":${t.unlock_time ?? 0},"locked":${this.chain.locked(t)},"payment_id":${text(t.payment_id ?? NO_PAYMENT_ID)},` +
            `"note":${text(t.note ?? '')},"subaddr_index":{"major":${accountOf(t)},"minor":${t.subaddr_index?.minor ?? 0}},` +
            `"double_spend_seen":${t.double_spend_seen ?? false}${destinations}}`;
    }

    open_wallet(params) {
        const name = params.filename;
        if (typeof name !== 'string' || name === '') throw new RpcError(ERR.params, 'filename is required');
        if (name.includes('/') || name.includes('\\') || name.startsWith('.') || !this.store.names().includes(name)) {
            log('W', 'wallet.rpc', `open_wallet: no wallet named '${name.slice(0, 80)}'`);
            throw new RpcError(ERR.open, `Failed to open wallet: no wallet named '${name.slice(0, 80)}'`);
        }
        const keys = this.store.keys(name);
        if (hashPassword(keys.salt, String(params.password ?? '')) !== keys.password_sha256) {
            log('W', 'wallet.rpc', `open_wallet: wrong password for '${name}'`);
            throw new RpcError(ERR.open, 'Failed to open wallet: invalid password');
        }
        if (this.open) log('I', 'wallet.rpc', `Closed wallet '${this.open.name}'`);
        this.open = { name, address: keys.address };
        const { balance } = this.balances(this.store.load(name));
        log('I', 'wallet.rpc', `Opened wallet '${name}', balance ${formatAmount(balance)} ${TICKER}`);
        return {};
    }

    close_wallet() {
        this.requireOpen();
        log('I', 'wallet.rpc', `Closed wallet '${this.open.name}'`);
        this.open = null;
        return {};
    }

    // For tests: money from outside arrives in the pool of a wallet (the
    // open one when filename is left out), without opening it.
    sim_receive(params) {
        const name = params.filename ?? this.open?.name;
        if (typeof name !== 'string' || !this.store.names().includes(name)) throw new RpcError(ERR.params, 'no such wallet');
        const data = this.store.load(name);
        const major = this.requireAccount(data, params);
        const minor = indexParam(params.address_index, 'address_index');
        if (minor >= data.accounts[major].length) throw new RpcError(ERR.params, 'address index is out of bound');
        const txid = crypto.randomBytes(32).toString('hex');
        this.store.addTransfer(name, {
            txid, type: 'in', amount: atomicParam(params.amount, 'amount'), fee: 0n, height: 0,
            timestamp: Math.floor(Date.now() / 1000), address: addressFor(`faucet-${txid}`), subaddr_index: { major, minor },
        });
        return { tx_hash: txid };
    }

    // For tests: what a wallet's records add up to, exactly.
    sim_totals(params) {
        const name = params.filename ?? this.open?.name;
        if (typeof name !== 'string' || !this.store.names().includes(name)) throw new RpcError(ERR.params, 'no such wallet');
        const totals = { transfers: 0, received: 0n, sent: 0n, failed: 0n, fees: 0n };
        for (const t of this.store.load(name).transfers) {
            totals.transfers += 1;
            if (t.type === 'in') totals.received += t.amount;
            else if (t.type === 'out') totals.sent += t.amount;
            else totals.failed += t.amount;
            totals.fees += t.fee;
        }
        return totals;
    }
}

// ---------------------------------------------------------------- history (--transfers)

// A wallet's past at a real wallet's size, the same for the same count:
// transfers spread over the chain, most of them incoming; notes, payment
// ids, a second account and several subaddresses; the newest still locked,
// one with an unlock height of its own, a few failed, and a few waiting in
// the pool or pending until one of the next few blocks.
const HISTORY_ACCOUNTS = [
    [PRIMARY_LABEL, 'Donations', 'Shop', 'Exchange', 'Friends'],
    ['Savings', 'Salary', 'Rent'],
];
const HISTORY_NOTES = ['Rent', 'Invoice 1042', 'Coffee with Sam', 'Refund, "damaged" item', 'Hosting, yearly', '=SUM(A1)'];

function makeHistory(name, count, chainHeight, now) {
    const random = seededRandom(count * 7919 + name.length);
    const pick = (list) => list[Math.floor(random() * list.length)];
    // Between min and max coins, with every one of the 12 decimals in use.
    const coins = (min, max) => BigInt(Math.floor((min + random() * (max - min)) * 1e6)) * 1000000n + BigInt(Math.floor(random() * 1e6));
    const peers = Array.from({ length: 200 }, (_, i) => addressFor(`peer-${i}`));
    const waiting = Math.min(count, 3);
    const first = 100;
    const span = chainHeight - 1 - first;
    const transfers = [];
    const failedEvery = Math.max(10, Math.floor((count - waiting) / 4));
    const unlockEvery = Math.max(20, Math.floor(count / 10));
    for (let i = 0; i < count - waiting; i++) {
        const height = first + Math.floor((i * span) / Math.max(1, count - waiting - 1));
        // Failed sends are rare: four in the whole history.
        const type = i % failedEvery === failedEvery >> 1 ? 'failed' : random() < 0.72 ? 'in' : 'out';
        const major = random() < 0.15 ? 1 : 0;
        const t = {
            txid: crypto.createHash('sha256').update(`${name}:history:${i}`).digest('hex'),
            type,
            amount: type === 'in' ? coins(0.001, 20) : coins(0.0005, 5),
            fee: type === 'in' ? 0n : FEE_PER_DESTINATION,
            height: type === 'failed' ? 0 : height,
            timestamp: now - (chainHeight - height) * SECONDS_PER_BLOCK_ON_RECORD - Math.floor(random() * 100),
            address: pick(peers),
            subaddr_index: { major, minor: type === 'in' ? Math.floor(random() * HISTORY_ACCOUNTS[major].length) : 0 },
        };
        if (type === 'in' && random() < 0.1) t.payment_id = crypto.createHash('sha256').update(`pid:${i}`).digest('hex').slice(0, 16);
        if (type !== 'in' && random() < 0.08) t.note = pick(HISTORY_NOTES);
        if (type === 'in' && i % unlockEvery === 7) t.unlock_time = chainHeight + 30;
        transfers.push(t);
    }
    for (let i = 0; i < waiting; i++) {
        const incoming = i !== 1;
        transfers.push({
            txid: crypto.createHash('sha256').update(`${name}:waiting:${i}`).digest('hex'),
            type: incoming ? 'in' : 'out', amount: coins(0.1, 3), fee: incoming ? 0n : FEE_PER_DESTINATION,
            height: 0, timestamp: now - 60 * (i + 1), address: pick(peers),
            subaddr_index: { major: 0, minor: incoming ? 1 + i : 0 }, pool_until: chainHeight + 3 + i,
        });
    }
    return { transfers, accounts: HISTORY_ACCOUNTS.map((labels) => [...labels]) };
}

// ---------------------------------------------------------------- sending

// Sending as a wallet service does it: an address check, fees by priority,
// a dry run that hands back the signed transaction as metadata, the relay of
// that very transaction, and a sweep of everything unlocked.

// The fee per destination (per input for a sweep) in quarters of the normal
// fee, by priority: 0 is the default (normal), then low, normal, high, highest.
const PRIORITY_QUARTERS = [4n, 1n, 4n, 20n, 166n];
// A sweep spends at most this many inputs per transaction, so a wallet of
// many small receipts is swept in several transactions.
const SWEEP_INPUTS_PER_TX = 4;
const ERR_RELAY = -29;

function feeFor(units, priority) {
    return (FEE_PER_DESTINATION * BigInt(units) * PRIORITY_QUARTERS[priority]) / 4n;
}

function priorityOf(params) {
    const priority = params.priority ?? 0;
    if (!Number.isInteger(priority) || priority < 0 || priority > 4) {
        throw new RpcError(ERR.params, 'priority must be an integer from 0 to 4');
    }
    return priority;
}

function atomicParam(value, name) {
    let amount;
    try {
        amount = toAtomic(value);
    } catch {
        throw new RpcError(ERR.params, `${name} must be an integer of atomic units`);
    }
    if (amount <= 0n) throw new RpcError(ERR.zero, 'Amount must be greater than zero');
    if (amount > MAX_ATOMIC) throw new RpcError(ERR.params, `${name} is beyond 64 bits`);
    return amount;
}

// Transaction metadata: the transaction as hex JSON, then an HMAC keyed with
// the wallet's own salt, so only the wallet that built it can relay it, and
// it survives a restart of the simulator as a real signed transaction would.
function mac(keys, body) {
    return crypto.createHmac('sha256', keys.salt).update(body).digest('hex');
}

function sealTx(keys, tx) {
    const body = Buffer.from(stringifyExact(tx)).toString('hex');
    return body + mac(keys, body);
}

function unsealTx(keys, hex) {
    if (typeof hex !== 'string' || hex.length <= 64 || !/^(?:[0-9a-f]{2})+$/.test(hex)) return null;
    const body = hex.slice(0, -64);
    if (!crypto.timingSafeEqual(Buffer.from(mac(keys, body)), Buffer.from(hex.slice(-64)))) return null;
    const tx = parseJsonExact(Buffer.from(body, 'hex').toString('utf8'));
    return { ...tx, amount: toAtomic(tx.amount), fee: toAtomic(tx.fee),
        destinations: tx.destinations.map((d) => ({ address: d.address, amount: toAtomic(d.amount) })) };
}

class Sending {
    constructor(wallet) {
        this.wallet = wallet;
        this.store = wallet.store;
        this.chain = wallet.chain;
    }

    validate_address(params) {
        const valid = validAddress(params.address);
        // The simulator makes no integrated addresses; it knows its own subaddresses.
        const owner = valid ? this.store.owner(params.address) : undefined;
        const subaddress = owner !== undefined && (owner.major !== 0 || owner.minor !== 0);
        return { valid, integrated: false, subaddress, nettype: valid ? 'mainnet' : '', openalias_address: '' };
    }

    transfer(params) {
        const data = this.wallet.requireOpen();
        refuseViewOnly(this.store, this.wallet.open.name);
        const priority = priorityOf(params);
        const dests = params.destinations;
        if (!Array.isArray(dests) || dests.length === 0) {
            throw new RpcError(ERR.params, 'destinations must be a non-empty list');
        }
        const destinations = dests.map((d) => {
            if (!validAddress(d?.address)) throw new RpcError(ERR.address, `Invalid destination address: ${String(d?.address).slice(0, 120)}`);
            return { address: d.address, amount: atomicParam(d.amount, 'amount') };
        });
        const account = this.wallet.requireAccount(data, params);
        const amount = destinations.reduce((sum, d) => sum + d.amount, 0n);
        const fee = feeFor(destinations.length, priority);
        this.requireUnlocked(data, amount, fee, account);
        return this.finish(this.build(destinations, amount, fee, account), params);
    }

    sweep_all(params) {
        const data = this.wallet.requireOpen();
        refuseViewOnly(this.store, this.wallet.open.name);
        const priority = priorityOf(params);
        const account = this.wallet.requireAccount(data, params);
        if (!validAddress(params.address)) throw new RpcError(ERR.address, `Invalid destination address: ${String(params.address).slice(0, 120)}`);
        const inputs = this.unspentInputs(data, account);
        if (inputs.length === 0) throw new RpcError(ERR.transfer, 'No unlocked balance to sweep');
        const txs = [];
        for (let i = 0; i < inputs.length; i += SWEEP_INPUTS_PER_TX) {
            const group = inputs.slice(i, i + SWEEP_INPUTS_PER_TX);
            const sum = group.reduce((a, b) => a + b, 0n);
            const fee = feeFor(group.length, priority);
            if (sum <= fee) {
                throw new RpcError(ERR.transfer, `Not enough unlocked money to pay the fee: ${formatAmount(sum)} in ${group.length} input(s), fee ${formatAmount(fee)}`);
            }
            txs.push(this.build([{ address: params.address, amount: sum - fee }], sum - fee, fee, account));
        }
        const done = txs.map((tx) => this.finish(tx, params));
        return {
            tx_hash_list: done.map((d) => d.tx_hash),
            amount_list: done.map((d) => d.amount),
            fee_list: done.map((d) => d.fee),
            tx_metadata_list: done.map((d) => d.tx_metadata),
        };
    }

    relay_tx(params) {
        const data = this.wallet.requireOpen();
        const tx = unsealTx(this.store.keys(this.wallet.open.name), params.hex);
        if (!tx || tx.from !== this.wallet.open.address) {
            throw new RpcError(ERR_RELAY, 'Failed to parse tx metadata: it is damaged or was made by another wallet');
        }
        if (data.transfers.some((t) => t.txid === tx.txid)) {
            throw new RpcError(ERR_RELAY, `Transaction ${tx.txid} was already relayed`);
        }
        // Funds spent since the dry run make it a double spend.
        this.requireUnlocked(data, tx.amount, tx.fee, tx.account ?? 0);
        this.record(tx);
        return { tx_hash: tx.txid };
    }

    build(destinations, amount, fee, account) {
        return { txid: crypto.randomBytes(32).toString('hex'), from: this.wallet.open.address, account, destinations, amount, fee };
    }

    // Relays unless asked not to; the answer of transfer for one transaction.
    finish(tx, params) {
        if (params.do_not_relay !== true) this.record(tx);
        const metadata = params.get_tx_metadata === true ? sealTx(this.store.keys(this.wallet.open.name), tx) : '';
        return { tx_hash: tx.txid, amount: tx.amount, fee: tx.fee, tx_metadata: metadata };
    }

    record(tx) {
        const { name } = this.wallet.open;
        const account = tx.account ?? 0;
        const from = this.store.address(name, account, 0);
        const timestamp = Math.floor(Date.now() / 1000);
        const sent = {
            txid: tx.txid, type: 'out', amount: tx.amount, fee: tx.fee, height: 0, timestamp, address: tx.destinations[0].address,
            subaddr_index: { major: account, minor: 0 },
        };
        if (tx.destinations.length > 1) sent.destinations = tx.destinations;
        this.store.addTransfer(name, sent);
        for (const copy of spendingCopies(this.store, name)) this.store.addTransfer(copy, { ...sent });
        for (const d of tx.destinations) {
            for (const receiver of holders(this.store, d.address)) {
                this.store.addTransfer(receiver.name, {
                    txid: tx.txid, type: 'in', amount: d.amount, fee: 0n, height: 0, timestamp, address: from,
                    subaddr_index: { major: receiver.major, minor: receiver.minor },
                });
            }
        }
        log('I', 'wallet.rpc', `Transaction ${tx.txid} sent from '${name}': ${formatAmount(tx.amount)} ${TICKER}, fee ${formatAmount(tx.fee)} ${TICKER}`);
    }

    requireUnlocked(data, amount, fee, account) {
        const { unlocked } = this.wallet.balances(data, account);
        if (amount + fee > unlocked) {
            throw new RpcError(ERR.transfer, `Not enough unlocked money: unlocked ${formatAmount(unlocked)}, ` +
                `needed ${formatAmount(amount + fee)} (amount ${formatAmount(amount)} + fee ${formatAmount(fee)})`);
        }
    }

    // What is left of each unlocked receipt of an account, oldest first,
    // after its spending is taken from the oldest ones; the sum is the
    // account's unlocked balance. A failed send spent nothing.
    unspentInputs(data, account) {
        const mine = data.transfers.filter((t) => accountOf(t) === account);
        let spent = mine.filter((t) => t.type === 'out').reduce((sum, t) => sum + t.amount + t.fee, 0n);
        const left = [];
        const unlocked = mine
            .filter((t) => t.type === 'in' && !this.chain.locked(t))
            .sort((a, b) => a.height - b.height);
        for (const t of unlocked) {
            const taken = spent < t.amount ? spent : t.amount;
            spent -= taken;
            if (t.amount > taken) left.push(t.amount - taken);
        }
        return left;
    }
}

function sendingMethods(sending) {
    return {
        validate_address: (p) => sending.validate_address(p),
        transfer: (p) => sending.transfer(p),
        sweep_all: (p) => sending.sweep_all(p),
        relay_tx: (p) => sending.relay_tx(p),
        sim_calls: () => ({ calls: { ...walletCalls } }),
    };
}

// Wallet port calls answered since start, by method name.
const walletCalls = {};

// ---------------------------------------------------------------- keys and seeds

// A wallet's keys: a secret spend key (none in a view-only wallet) and a
// secret view key made from it, each the seed of an Ed25519 key pair. The
// address carries both public keys, so keys can be checked against an
// address and a signature verified from the address alone. Keys files keep
// them in the clear: this is a stand-in, not a safe.
const NETWORKS = new Map([['KRV', 'mainnet'], ['KRT', 'testnet'], ['KRS', 'stagenet']]);
const ED25519_PRIVATE = Buffer.from('302e020100300506032b657004220420', 'hex');
const ED25519_PUBLIC = Buffer.from('302a300506032b6570032100', 'hex');
const HEX_KEY = /^[0-9a-f]{64}$/;

const sha256hex = (text) => crypto.createHash('sha256').update(text).digest('hex');
const hmacHex = (key, text) => crypto.createHmac('sha256', key).update(text).digest('hex');
const viewKeyOf = (spendKey) => sha256hex(`krv-sim view key\0${spendKey}`);

function privateKey(secret) {
    return crypto.createPrivateKey({ key: Buffer.concat([ED25519_PRIVATE, Buffer.from(secret, 'hex')]), format: 'der', type: 'pkcs8' });
}

function publicKeyOf(secret) {
    return crypto.createPublicKey(privateKey(secret)).export({ format: 'der', type: 'spki' }).subarray(-32);
}

function verifyWith(publicRaw, text, signature) {
    try {
        const key = crypto.createPublicKey({ key: Buffer.concat([ED25519_PUBLIC, publicRaw]), format: 'der', type: 'spki' });
        return crypto.verify(null, Buffer.from(text), key, signature);
    } catch {
        return false;
    }
}

// The keys file fields of the wallet of a secret spend key.
function walletKeys(spendKey) {
    const viewKey = viewKeyOf(spendKey);
    const body = `KRV${base58(Buffer.concat([publicKeyOf(spendKey), publicKeyOf(viewKey)]), ADDRESS_BODY)}`;
    return { address: body + checksum(body), spend_key: spendKey, view_key: viewKey };
}

// {network, spendPublic, viewPublic} of an address of any network, or null
// when it is not one; the keys are null in the addresses that carry none
// (subaddresses and wallets of older simulators).
function addressParts(address) {
    if (typeof address !== 'string' || address.length !== 3 + ADDRESS_BODY + ADDRESS_CHECK) return null;
    const network = NETWORKS.get(address.slice(0, 3));
    const body = address.slice(0, -ADDRESS_CHECK);
    if (!network || ![...address.slice(3)].every((c) => BASE58.includes(c)) || checksum(body) !== address.slice(-ADDRESS_CHECK)) return null;
    let n = 0n;
    for (let i = body.length - 1; i >= 3; i--) n = n * 58n + BigInt(BASE58.indexOf(body[i]));
    if (n >> 512n) return { network, spendPublic: null, viewPublic: null };
    const hex = n.toString(16).padStart(128, '0');
    return { network, spendPublic: Buffer.from(hex.slice(0, 64), 'hex'), viewPublic: Buffer.from(hex.slice(64), 'hex') };
}

function requireMainnet(address) {
    const parts = addressParts(address);
    if (!parts) throw new RpcError(ERR.address, `Invalid address: ${String(address).slice(0, 120)}`);
    if (parts.network !== 'mainnet') throw new RpcError(ERR.address, `The address is for ${parts.network}, and this wallet is on mainnet`);
    return parts;
}

// The seed of a spend key: 24 words of 11 bits, the key's 256 and the first
// 8 bits of its SHA-256, so a wrong or misplaced word is noticed.
function mnemonicOf(spendKey) {
    const check = crypto.createHash('sha256').update(Buffer.from(spendKey, 'hex')).digest()[0];
    let n = (BigInt(`0x${spendKey}`) << 8n) | BigInt(check);
    const words = [];
    for (let i = 0; i < SEED_LENGTH; i++) {
        words.unshift(SEED_WORDS[Number(n & 2047n)]);
        n >>= 11n;
    }
    return words.join(' ');
}

// The spend key of a seed; the refusal names what is wrong with it.
function spendKeyOfSeed(text) {
    if (typeof text !== 'string') throw new RpcError(ERR_OWNER.seed, 'Invalid seed: it must be text');
    const words = seedWords(text);
    if (words.length !== SEED_LENGTH) throw new RpcError(ERR_OWNER.seed, `Invalid seed: it has ${words.length} words, not ${SEED_LENGTH}`);
    let n = 0n;
    for (const [i, word] of words.entries()) {
        const index = seedWordIndex(word);
        // The word itself is not repeated: seed words go nowhere but here.
        if (index < 0) throw new RpcError(ERR_OWNER.seed, `Invalid seed: word ${i + 1} is not in the word list`);
        n = (n << 11n) | BigInt(index);
    }
    const key = (n >> 8n).toString(16).padStart(64, '0');
    if (mnemonicOf(key) !== words.join(' ')) throw new RpcError(ERR_OWNER.seed, 'Invalid seed: its checksum does not match, so a word is wrong or out of place');
    return key;
}

// Subaddresses come from the view key, so a wallet restored under another
// name has the same ones; a wallet of an older simulator keeps its own.
const roots = new Map();
function subaddressRoot(store, name) {
    if (!roots.has(name)) roots.set(name, store.keys(name).view_key ?? name);
    return roots.get(name);
}

// Every wallet here that holds address: a wallet and its copies restored
// from its seed or keys all see money sent to it.
function holders(store, address) {
    const first = store.owner(address);
    if (!first) return [];
    const root = subaddressRoot(store, first.name);
    return store.names()
        .filter((name) => subaddressRoot(store, name) === root && (store.load(name).accounts[first.major]?.length ?? 0) > first.minor)
        .map((name) => ({ name, major: first.major, minor: first.minor }));
}

// The other wallets here with the spend key of name, which see its sends.
function spendingCopies(store, name) {
    const keys = store.keys(name);
    if (!keys.spend_key) return [];
    return store.names().filter((n) => n !== name && store.keys(n).spend_key === keys.spend_key);
}

// A send needs the spend key; a wallet of an older simulator has no keys
// at all and may still send.
function refuseViewOnly(store, name) {
    const keys = store.keys(name);
    if (keys.view_key && !keys.spend_key) throw new RpcError(ERR_OWNER.denied, 'This wallet is view-only: it holds no spend key');
}

// Wallets scanning the chain again (just restored, or asked to rescan):
// their height climbs from where the scan began to the daemon's.
const SCAN_MS = 2000;
const scans = new Map();

function walletHeight(chain, name) {
    const top = chain.daemonHeight();
    const scan = scans.get(name);
    if (!scan) return top;
    const done = (Date.now() - scan.started) / SCAN_MS;
    if (done >= 1) {
        scans.delete(name);
        return top;
    }
    return Math.min(top, scan.from + Math.floor((top - scan.from) * done));
}

// ---------------------------------------------------------------- a wallet owner's methods

// Wallets made and restored, keys and seeds, payment requests, the address
// book, notes, proofs and signatures.

const ERR_OWNER = {
    paymentId: -5, denied: -7, txid: -8, signature: -9, uri: -11, index: -12,
    name: -22, seed: -23, keys: -24, password: -42,
};
const TXID = /^[0-9a-f]{64}$/;
const PAYMENT_ID = /^(?:[0-9a-f]{16}|[0-9a-f]{64})$/;
const LANGUAGES = ['English'];
const COIN = 10n ** BigInt(DECIMALS);

const paramsError = (message) => new RpcError(ERR.params, message);

function textParam(value, name) {
    if (value === undefined) return '';
    if (typeof value !== 'string') throw paramsError(`${name} must be a string`);
    return value;
}

function languageParam(value, required) {
    if (value === undefined && !required) return;
    if (!LANGUAGES.includes(value)) throw paramsError(`Unknown language: ${String(value).slice(0, 40)} (the simulator knows ${LANGUAGES.join(', ')})`);
}

function heightParam(value) {
    if (value === undefined) return 0;
    if (!Number.isSafeInteger(value) || value < 0) throw paramsError('restore_height must be a whole number');
    return value;
}

function keyParam(value, name) {
    if (typeof value !== 'string' || !HEX_KEY.test(value.toLowerCase())) throw new RpcError(ERR_OWNER.keys, `Failed to parse ${name}: it must be 64 hex digits`);
    return value.toLowerCase();
}

function requireTxid(txid) {
    if (typeof txid !== 'string' || !TXID.test(txid)) throw new RpcError(ERR_OWNER.txid, `TX ID has invalid format: ${String(txid).slice(0, 80)}`);
    return txid;
}

// Why a name cannot be given to a new wallet file, or null when it can.
function walletNameProblem(store, name) {
    if (typeof name !== 'string' || name === '') return 'a name is required';
    if (/[/\\]/.test(name)) return 'a wallet name may not hold a path separator';
    if (/[\x00-\x1f\x7f-\x9f]/.test(name)) return 'a wallet name may not hold a control character';
    if (name.startsWith('.')) return 'a wallet name may not begin with a dot';
    if (name.endsWith('.keys')) return 'a wallet name may not end in .keys';
    if (Buffer.byteLength(name) > 200) return 'a wallet name may be at most 200 bytes long';
    if (fs.existsSync(store.file(name)) || fs.existsSync(store.file(`${name}.keys`))) return `a wallet named '${name}' already exists`;
    return null;
}

// "1.5" for 1.5 coins: a URI's amount, with no trailing zeros.
function coinsText(atomic) {
    return formatAmount(atomic).replace(/0+$/, '').replace(/\.$/, '');
}

function optionalAmount(value) {
    if (value === undefined) return 0n;
    let amount;
    try {
        amount = toAtomic(value);
    } catch {
        throw paramsError('amount must be an integer of atomic units');
    }
    if (amount < 0n || amount > MAX_ATOMIC) throw paramsError('amount must be from 0 to 2^64 - 1 atomic units');
    return amount;
}

// The fields of a payment URI: krv:ADDRESS?tx_amount=1.5&tx_description=...,
// values percent-encoded. Fields it does not know are passed over; a field
// given twice makes it ambiguous and it is refused.
function readUri(uri) {
    const bad = (why) => new RpcError(ERR_OWNER.uri, `Cannot read the URI: ${why}`);
    if (typeof uri !== 'string') throw bad('it is not text');
    const m = /^krv:([^?#]*)(?:\?([^#]*))?$/i.exec(uri);
    if (!m) throw bad('it must be krv:ADDRESS, then ?field=value&... when it has fields');
    const parts = addressParts(m[1]);
    if (!parts) throw bad('the address in it is not valid');
    if (parts.network !== 'mainnet') throw new RpcError(ERR.address, `The address in the URI is for ${parts.network}, and this wallet is on mainnet`);
    const fields = new Map();
    for (const pair of m[2] ? m[2].split('&') : []) {
        const eq = pair.indexOf('=');
        if (eq <= 0) throw bad(`"${pair.slice(0, 40)}" is not field=value`);
        const key = pair.slice(0, eq);
        if (fields.has(key)) throw bad(`the field ${key.slice(0, 40)} comes twice`);
        try {
            fields.set(key, decodeURIComponent(pair.slice(eq + 1)));
        } catch {
            throw bad(`the field ${key.slice(0, 40)} is not percent-encoded UTF-8`);
        }
    }
    let amount = 0n;
    if (fields.has('tx_amount')) {
        const a = /^(\d{1,20})(?:\.(\d{1,12}))?$/.exec(fields.get('tx_amount'));
        if (!a) throw bad(`the amount must be a number of coins such as 1.5, with at most ${DECIMALS} decimals`);
        amount = BigInt(a[1]) * COIN + BigInt((a[2] ?? '').padEnd(DECIMALS, '0'));
        if (amount > MAX_ATOMIC) throw bad('the amount is too large');
    }
    const paymentId = fields.get('tx_payment_id') ?? '';
    if (paymentId !== '' && !PAYMENT_ID.test(paymentId)) throw bad('the payment id must be 16 or 64 hex digits');
    return {
        address: m[1], amount, payment_id: paymentId,
        recipient_name: fields.get('recipient_name') ?? '', tx_description: fields.get('tx_description') ?? '',
    };
}

// What a wallet restored from these keys finds on the chain: the transfers
// of a wallet here with the same keys (without the spend key, only the
// incoming ones) from restoreHeight on, and as many accounts and addresses.
// Labels and notes stay with the wallet that wrote them; failed sends were
// never on the chain.
function foundOnChain(store, keys, restoreHeight) {
    const source = store.names().find((n) => subaddressRoot(store, n) === keys.view_key);
    if (!source) return { transfers: [], accounts: [[PRIMARY_LABEL]] };
    const data = store.load(source);
    const transfers = data.transfers
        .filter((t) => t.type !== 'failed' && (t.height === 0 || t.height >= restoreHeight) && (keys.spend_key || t.type === 'in'))
        .map(({ note, ...t }) => t);
    const accounts = data.accounts.map((labels, major) => labels.map((_, minor) => (major === 0 && minor === 0 ? PRIMARY_LABEL : '')));
    return { transfers, accounts };
}

// How a transaction stands, as the wallets here recorded it: its height (0
// in the pool), what each address received, and the full wallet that sent
// it when one of them did; null when no block or pool holds it.
function onChain(store, txid) {
    let found = null;
    const seen = new Set();
    for (const name of store.names()) {
        const records = store.load(name).transfers.filter((t) => t.txid === txid && t.type !== 'failed');
        if (records.length === 0) continue;
        found ??= { height: records[0].height, sender: null, outputs: null, receipts: [] };
        const out = records.find((t) => t.type === 'out');
        if (out && !found.sender && store.keys(name).spend_key) {
            found.sender = name;
            found.outputs = out.destinations ?? [{ address: out.address, amount: out.amount }];
        }
        // Copies of one wallet hold the same receipts: count them once.
        const root = subaddressRoot(store, name);
        if (seen.has(root)) continue;
        seen.add(root);
        for (const t of records.filter((r) => r.type === 'in')) {
            found.receipts.push({ address: store.address(name, accountOf(t), t.subaddr_index?.minor ?? 0), amount: t.amount });
        }
    }
    if (found) found.outputs ??= found.receipts;
    return found;
}

const receivedBy = (tx, address) => tx.outputs.filter((o) => o.address === address).reduce((sum, o) => sum + toAtomic(o.amount), 0n);
const txSecret = (spendKey, txid) => hmacHex(spendKey, `krv-sim tx key\0${txid}`);
const proofText = (kind, txid, address, message) => `krv-sim ${kind} proof\0${txid}\0${address}\0${message}`;
const reserveText = (address, message, body) => `krv-sim reserve proof\0${address}\0${message}\0${body}`;
const messageText = (data) => `krv-sim message\0${data}`;

function sameHex(a, b) {
    return typeof a === 'string' && typeof b === 'string' && a.length === b.length && crypto.timingSafeEqual(Buffer.from(a), Buffer.from(b));
}

// What is left of each confirmed receipt of an account (of every account
// when account is null), oldest first, after the account's spending is
// taken from its oldest receipts: what a reserve proof can show.
function reserveInputs(data, account) {
    const inputs = [];
    data.accounts.forEach((_, major) => {
        if (account !== null && major !== account) return;
        const mine = data.transfers.filter((t) => accountOf(t) === major);
        let spent = mine.filter((t) => t.type === 'out').reduce((sum, t) => sum + t.amount + t.fee, 0n);
        for (const t of mine.filter((r) => r.type === 'in' && r.height > 0).sort((a, b) => a.height - b.height)) {
            const taken = spent < t.amount ? spent : t.amount;
            spent -= taken;
            if (t.amount > taken) inputs.push({ txid: t.txid, amount: t.amount - taken });
        }
    });
    return inputs;
}

// The receipts a reserve proof claims, [[txid, amount], ...], or null.
function reserveClaims(hex) {
    let claims;
    try {
        claims = parseJsonExact(Buffer.from(hex, 'hex').toString('utf8'));
    } catch {
        return null;
    }
    if (!Array.isArray(claims) || claims.length === 0) return null;
    for (const c of claims) {
        if (!Array.isArray(c) || c.length !== 2 || typeof c[0] !== 'string' || !TXID.test(c[0])) return null;
        try {
            c[1] = toAtomic(c[1]);
        } catch {
            return null;
        }
    }
    return claims;
}

class Owner {
    constructor(wallet) {
        this.wallet = wallet;
        this.store = wallet.store;
        this.chain = wallet.chain;
    }

    // ---- wallets made and restored

    create_wallet(params) {
        const name = this.newName(params.filename);
        const password = textParam(params.password, 'password');
        languageParam(params.language, true);
        this.make(name, password, walletKeys(crypto.randomBytes(32).toString('hex')), this.chain.height);
        return {};
    }

    restore_deterministic_wallet(params) {
        const name = this.newName(params.filename);
        const password = textParam(params.password, 'password');
        languageParam(params.language, false);
        let spendKey = spendKeyOfSeed(params.seed);
        // A passphrase given with the seed makes other keys of it.
        const offset = textParam(params.seed_offset, 'seed_offset');
        if (offset !== '') spendKey = hmacHex(`krv-sim seed offset\0${offset}`, spendKey);
        const restoreHeight = heightParam(params.restore_height);
        const keys = walletKeys(spendKey);
        this.make(name, password, keys, restoreHeight, { scan: true });
        return { address: keys.address, info: 'Wallet has been restored successfully.', seed: mnemonicOf(spendKey), was_deprecated: false };
    }

    generate_from_keys(params) {
        const name = this.newName(params.filename);
        const password = textParam(params.password, 'password');
        const parts = requireMainnet(params.address);
        if (!parts.spendPublic) throw new RpcError(ERR_OWNER.keys, 'This address carries no keys: give a wallet\'s main address');
        const viewKey = keyParam(params.viewkey, 'view key');
        if (!publicKeyOf(viewKey).equals(parts.viewPublic)) throw new RpcError(ERR_OWNER.keys, 'The view key does not match the address');
        const keys = { address: params.address, view_key: viewKey };
        if (params.spendkey !== undefined && params.spendkey !== '') {
            keys.spend_key = keyParam(params.spendkey, 'spend key');
            if (!publicKeyOf(keys.spend_key).equals(parts.spendPublic)) throw new RpcError(ERR_OWNER.keys, 'The spend key does not match the address');
        }
        this.make(name, password, keys, heightParam(params.restore_height), { scan: true });
        const info = keys.spend_key ? 'Wallet has been generated successfully.' : 'View-only wallet has been generated successfully.';
        return { address: params.address, info };
    }

    newName(name) {
        const problem = walletNameProblem(this.store, name);
        if (problem) throw new RpcError(ERR_OWNER.name, `Cannot create the wallet: ${problem}`);
        return name;
    }

    // Writes a new wallet, keys first (a wallet is listed once its data file
    // is there too), and opens it in place of the open one.
    make(name, password, keys, restoreHeight, { scan = false } = {}) {
        const salt = crypto.randomBytes(16).toString('hex');
        writeJson(this.store.file(`${name}.keys`), { format: 'krv-sim-keys/1', ...keys, salt, password_sha256: hashPassword(salt, password) });
        const found = foundOnChain(this.store, keys, restoreHeight);
        this.store.save(name, { format: 'krv-sim-wallet/1', restore_height: restoreHeight, ...found });
        this.store.flush();
        this.store.owners = null;
        if (scan) scans.set(name, { from: restoreHeight, started: Date.now() });
        if (this.wallet.open) log('I', 'wallet.rpc', `Closed wallet '${this.wallet.open.name}'`);
        this.wallet.open = { name, address: keys.address };
        const kind = keys.spend_key ? 'wallet' : 'view-only wallet';
        log('I', 'wallet.rpc', `Made ${kind} '${name}' with ${found.transfers.length} transfer(s) found from height ${restoreHeight}`);
    }

    // ---- keys, password, rescans

    // The open wallet's keys; a wallet file of an older simulator has none.
    keys() {
        this.wallet.requireOpen();
        const keys = this.store.keys(this.wallet.open.name);
        if (!keys.view_key) throw new RpcError(ERR_OWNER.denied, 'This wallet file has no keys: an older simulator made it');
        return keys;
    }

    spendKeys() {
        const keys = this.keys();
        if (!keys.spend_key) throw new RpcError(ERR_OWNER.denied, 'This wallet is view-only: it holds no spend key');
        return keys;
    }

    query_key(params) {
        const keys = this.keys();
        if (params.key_type === 'view_key') return { key: keys.view_key };
        if (params.key_type === 'spend_key') return { key: this.spendKeys().spend_key };
        if (params.key_type !== 'mnemonic') throw paramsError('key_type must be mnemonic, view_key or spend_key');
        this.spendKeys();
        if (keys.view_key !== viewKeyOf(keys.spend_key)) throw new RpcError(ERR_OWNER.denied, 'This wallet was made from keys, not from a seed: it has no mnemonic');
        return { key: mnemonicOf(keys.spend_key) };
    }

    change_wallet_password(params) {
        this.wallet.requireOpen();
        const { name } = this.wallet.open;
        const keys = this.store.keys(name);
        // Left out, it would quietly make the password empty.
        if (typeof params.new_password !== 'string') throw paramsError('new_password must be a string');
        const newPassword = params.new_password;
        if (hashPassword(keys.salt, textParam(params.old_password, 'old_password')) !== keys.password_sha256) {
            log('W', 'wallet.rpc', `change_wallet_password: wrong password for '${name}'`);
            throw new RpcError(ERR_OWNER.password, 'Invalid original password');
        }
        // The salt stays: transactions built before still relay.
        writeJson(this.store.file(`${name}.keys`), { ...keys, password_sha256: hashPassword(keys.salt, newPassword) });
        log('I', 'wallet.rpc', `Password of '${name}' changed`);
        return {};
    }

    // The history is the chain's, so a rescan finds the same; the height
    // climbs from the wallet's restore height meanwhile.
    rescan_blockchain(params) {
        const data = this.wallet.requireOpen();
        if (params.hard !== undefined && typeof params.hard !== 'boolean') throw paramsError('hard must be true or false');
        scans.set(this.wallet.open.name, { from: data.restore_height ?? 0, started: Date.now() });
        log('I', 'wallet.rpc', `Rescanning '${this.wallet.open.name}' from height ${data.restore_height ?? 0}`);
        return {};
    }

    rescan_spent() {
        this.wallet.requireOpen();
        return {};
    }

    // ---- payment requests

    make_uri(params) {
        this.wallet.requireOpen();
        requireMainnet(params.address);
        const amount = optionalAmount(params.amount);
        const paymentId = textParam(params.payment_id, 'payment_id');
        if (paymentId !== '' && !PAYMENT_ID.test(paymentId)) throw new RpcError(ERR_OWNER.paymentId, 'Invalid payment id: it must be 16 or 64 hex digits');
        const fields = [
            ['tx_amount', amount > 0n ? coinsText(amount) : ''],
            ['tx_payment_id', paymentId],
            ['recipient_name', textParam(params.recipient_name, 'recipient_name')],
            ['tx_description', textParam(params.tx_description, 'tx_description')],
        ].filter(([, value]) => value !== '');
        const query = fields.map(([key, value]) => `${key}=${encodeURIComponent(value)}`).join('&');
        return { uri: `krv:${params.address}${query ? `?${query}` : ''}` };
    }

    parse_uri(params) {
        this.wallet.requireOpen();
        return { uri: readUri(params.uri) };
    }

    // ---- address book: entries are numbered by position, so those after a
    // deleted one move down by one, as in the wallet service.

    get_address_book(params) {
        const book = this.wallet.requireOpen().address_book ?? [];
        let wanted = book.map((_, i) => i);
        if (params.entries !== undefined) {
            if (!Array.isArray(params.entries)) throw paramsError('entries must be a list of indexes');
            wanted = params.entries.map((i) => this.bookIndex(book, i));
        }
        return { entries: wanted.map((index) => ({ address: book[index].address, description: book[index].description, index, payment_id: book[index].payment_id })) };
    }

    add_address_book(params) {
        const data = this.wallet.requireOpen();
        requireMainnet(params.address);
        const description = textParam(params.description, 'description');
        data.address_book ??= [];
        const index = data.address_book.push({ address: params.address, description, payment_id: NO_PAYMENT_ID }) - 1;
        this.saveOpen(data);
        return { index };
    }

    edit_address_book(params) {
        const data = this.wallet.requireOpen();
        const book = data.address_book ?? [];
        const index = this.bookIndex(book, params.index);
        const change = {};
        if (params.set_address === true) {
            requireMainnet(params.address);
            change.address = params.address;
        }
        if (params.set_description === true) change.description = textParam(params.description, 'description');
        Object.assign(book[index], change);
        this.saveOpen(data);
        return {};
    }

    delete_address_book(params) {
        const data = this.wallet.requireOpen();
        const book = data.address_book ?? [];
        book.splice(this.bookIndex(book, params.index), 1);
        this.saveOpen(data);
        return {};
    }

    bookIndex(book, index) {
        if (!Number.isInteger(index) || index < 0 || index >= book.length) {
            throw new RpcError(ERR_OWNER.index, `Index out of range: ${String(index).slice(0, 40)} (the address book has ${book.length} entries)`);
        }
        return index;
    }

    saveOpen(data) {
        this.store.save(this.wallet.open.name, data, { heightsChanged: false });
    }

    // ---- notes

    set_tx_notes(params) {
        const data = this.wallet.requireOpen();
        const { txids, notes } = params;
        if (!Array.isArray(txids) || !Array.isArray(notes) || txids.length !== notes.length) {
            throw paramsError('txids and notes must be lists of the same length');
        }
        // Every txid is checked before any note is written.
        const records = txids.map((txid, i) => {
            if (typeof notes[i] !== 'string') throw paramsError('each note must be a string');
            return this.ownRecords(data, txid);
        });
        records.forEach((list, i) => list.forEach((t) => {
            if (notes[i] === '') delete t.note;
            else t.note = notes[i];
        }));
        this.saveOpen(data);
        return {};
    }

    get_tx_notes(params) {
        const data = this.wallet.requireOpen();
        if (!Array.isArray(params.txids)) throw paramsError('txids must be a list');
        return { notes: params.txids.map((txid) => this.ownRecords(data, txid)[0].note ?? '') };
    }

    // This wallet's records of a transaction; refused when it has none, so a
    // note is never kept for a mistyped txid.
    ownRecords(data, txid) {
        requireTxid(txid);
        const list = data.transfers.filter((t) => t.txid === txid);
        if (list.length === 0) throw new RpcError(ERR_OWNER.txid, `No transaction ${txid} in this wallet`);
        return list;
    }

    // ---- proofs of payment

    requireOnChain(txid) {
        const tx = onChain(this.store, requireTxid(txid));
        if (!tx) throw new RpcError(ERR_OWNER.txid, `Transaction ${txid} is in no block and not in the pool`);
        return tx;
    }

    sent(data, txid) {
        return data.transfers.some((t) => t.txid === txid && t.type === 'out');
    }

    get_tx_key(params) {
        const keys = this.spendKeys();
        const data = this.wallet.requireOpen();
        requireTxid(params.txid);
        if (!this.sent(data, params.txid)) throw new RpcError(ERR_OWNER.txid, `No tx key is kept for ${params.txid}: this wallet did not send it`);
        return { tx_key: txSecret(keys.spend_key, params.txid) };
    }

    check_tx_key(params) {
        this.wallet.requireOpen();
        const tx = this.requireOnChain(params.txid);
        requireMainnet(params.address);
        const txKey = typeof params.tx_key === 'string' ? params.tx_key.toLowerCase() : '';
        if (!HEX_KEY.test(txKey)) throw new RpcError(ERR_OWNER.signature, 'The tx key must be 64 hex digits');
        const expected = tx.sender && txSecret(this.store.keys(tx.sender).spend_key, params.txid);
        if (!sameHex(expected, txKey)) throw new RpcError(ERR_OWNER.signature, `The tx key is not the key of transaction ${params.txid}`);
        return { confirmations: this.chain.confirmations(tx), in_pool: tx.height === 0, received: receivedBy(tx, params.address) };
    }

    // A sender proves what an address received with the tx key; a receiver
    // proves what reached its own address with its view key.
    get_tx_proof(params) {
        const data = this.wallet.requireOpen();
        this.requireOnChain(params.txid);
        requireMainnet(params.address);
        const message = textParam(params.message, 'message');
        if (this.sent(data, params.txid)) {
            const secret = txSecret(this.spendKeys().spend_key, params.txid);
            return { signature: `OutProofV1${hmacHex(secret, proofText('out', params.txid, params.address, message))}` };
        }
        const keys = this.keys();
        if (!holders(this.store, params.address).some((h) => h.name === this.wallet.open.name)) {
            throw new RpcError(ERR_OWNER.txid, `This wallet did not send transaction ${params.txid}, nor does it hold that address`);
        }
        return { signature: `InProofV1${hmacHex(keys.view_key, proofText('in', params.txid, params.address, message))}` };
    }

    check_tx_proof(params) {
        this.wallet.requireOpen();
        const tx = this.requireOnChain(params.txid);
        requireMainnet(params.address);
        const message = textParam(params.message, 'message');
        const m = typeof params.signature === 'string' && /^(Out|In)ProofV1([0-9a-f]{64})$/.exec(params.signature);
        if (!m) throw new RpcError(ERR_OWNER.signature, 'The signature is not a payment proof');
        let secret = null;
        if (m[1] === 'Out') {
            secret = tx.sender && txSecret(this.store.keys(tx.sender).spend_key, params.txid);
        } else {
            const holder = holders(this.store, params.address)[0];
            secret = holder && this.store.keys(holder.name).view_key;
        }
        const good = !!secret && sameHex(hmacHex(secret, proofText(m[1].toLowerCase(), params.txid, params.address, message)), m[2]);
        if (!good) return { confirmations: 0, good: false, in_pool: false, received: 0n };
        return { confirmations: this.chain.confirmations(tx), good: true, in_pool: tx.height === 0, received: receivedBy(tx, params.address) };
    }

    // ---- reserve proofs: the receipts claimed, signed with the spend key

    get_reserve_proof(params) {
        const data = this.wallet.requireOpen();
        const keys = this.spendKeys();
        if (typeof params.all !== 'boolean') throw paramsError('all must be true or false');
        const message = textParam(params.message, 'message');
        let inputs = reserveInputs(data, null);
        if (!params.all) {
            const account = this.wallet.requireAccount(data, { account_index: params.account_index });
            const amount = atomicParam(params.amount, 'amount');
            let sum = 0n;
            inputs = reserveInputs(data, account).filter((input) => {
                if (sum >= amount) return false;
                sum += input.amount;
                return true;
            });
            if (sum < amount) {
                throw new RpcError(ERR.transfer, `Not enough money in account ${account} to prove ${formatAmount(amount)} ${TICKER}: ` +
                    `its confirmed receipts hold ${formatAmount(sum)} ${TICKER}`);
            }
        }
        if (inputs.length === 0) throw new RpcError(ERR.transfer, 'There is no confirmed money to prove');
        const body = Buffer.from(stringifyExact(inputs.map((i) => [i.txid, i.amount]))).toString('hex');
        const signature = crypto.sign(null, Buffer.from(reserveText(keys.address, message, body)), privateKey(keys.spend_key));
        return { signature: `ReserveProofV1${body}${signature.toString('hex')}` };
    }

    // total: what the proof claims; spent: how much of it was spent since.
    check_reserve_proof(params) {
        this.wallet.requireOpen();
        const parts = requireMainnet(params.address);
        const message = textParam(params.message, 'message');
        const m = typeof params.signature === 'string' && /^ReserveProofV1((?:[0-9a-f]{2})+)([0-9a-f]{128})$/.exec(params.signature);
        const claims = m && reserveClaims(m[1]);
        if (!claims) throw new RpcError(ERR_OWNER.signature, 'The signature is not a reserve proof');
        if (!parts.spendPublic || !verifyWith(parts.spendPublic, reserveText(params.address, message, m[1]), Buffer.from(m[2], 'hex'))) {
            return { good: false, spent: 0n, total: 0n };
        }
        const all = holders(this.store, params.address);
        const holder = all.find((h) => this.store.keys(h.name).spend_key) ?? all[0];
        const left = new Map();
        for (const input of holder ? reserveInputs(this.store.load(holder.name), null) : []) {
            left.set(input.txid, [...(left.get(input.txid) ?? []), input.amount]);
        }
        let total = 0n;
        let spent = 0n;
        for (const [txid, amount] of claims) {
            const now = left.get(txid)?.shift() ?? 0n;
            total += amount;
            spent += amount > now ? amount - now : 0n;
        }
        return { good: true, spent, total };
    }

    // ---- signed messages

    sign(params) {
        const keys = this.spendKeys();
        if (typeof params.data !== 'string') throw paramsError('data must be a string');
        return { signature: `SigV1${crypto.sign(null, Buffer.from(messageText(params.data)), privateKey(keys.spend_key)).toString('hex')}` };
    }

    verify(params) {
        this.wallet.requireOpen();
        if (typeof params.data !== 'string') throw paramsError('data must be a string');
        const parts = requireMainnet(params.address);
        const m = typeof params.signature === 'string' && /^SigV1([0-9a-f]{128})$/.exec(params.signature);
        return { good: !!m && !!parts.spendPublic && verifyWith(parts.spendPublic, messageText(params.data), Buffer.from(m[1], 'hex')) };
    }
}

const OWNER_METHODS = [
    'create_wallet', 'restore_deterministic_wallet', 'generate_from_keys', 'query_key', 'change_wallet_password',
    'rescan_blockchain', 'rescan_spent', 'make_uri', 'parse_uri',
    'get_address_book', 'add_address_book', 'edit_address_book', 'delete_address_book',
    'set_tx_notes', 'get_tx_notes', 'get_tx_key', 'check_tx_key', 'get_tx_proof', 'check_tx_proof',
    'get_reserve_proof', 'check_reserve_proof', 'sign', 'verify',
];

function ownerMethods(owner) {
    return Object.fromEntries(OWNER_METHODS.map((m) => [m, (p) => owner[m](p)]));
}

// ---------------------------------------------------------------- HTTP

const REASONS = { 200: 'OK', 400: 'Bad Request', 401: 'Unauthorized', 404: 'Not Found', 405: 'Method Not Allowed', 413: 'Payload Too Large' };
const MAX_REQUEST = 1 << 20;

// ---------------------------------------------------------------- Digest login

const DIGEST_ALGORITHMS = { 'SHA-256': 'sha256', MD5: 'md5' };

// A Digest login (RFC 7616, qop "auth") for one port, from "USER:PASSWORD":
// SHA-256 and MD5 offered, one nonce for the life of the process, each
// nonce count taken once.
function digestLogin(text) {
    const colon = text.indexOf(':');
    return {
        user: text.slice(0, colon),
        password: text.slice(colon + 1),
        realm: 'krv-wallet-sim',
        nonce: crypto.randomBytes(24).toString('base64'),
        opaque: crypto.randomBytes(12).toString('hex'),
        counts: new Set(),
    };
}

// The fields of an Authorization header "Digest a=b, c="d", ..."; null when
// it is not one.
function digestFields(header) {
    const m = /^Digest\s+(.*)$/i.exec(header ?? '');
    if (!m) return null;
    const fields = {};
    const re = /\s*([A-Za-z0-9_-]+)\s*=\s*(?:"((?:[^"\\]|\\.)*)"|([^\s,]*))\s*(?:,|$)/gy;
    let f;
    while (re.lastIndex < m[1].length && (f = re.exec(m[1]))) {
        fields[f[1].toLowerCase()] = f[2] !== undefined ? f[2].replace(/\\(.)/g, '$1') : f[3];
    }
    return re.lastIndex === m[1].length || m[1].length === 0 ? fields : null;
}

// Whether a request logged in: 'ok', 'stale' (right, but for a nonce of an
// earlier run) or 'refused'.
function loginState(login, request) {
    const f = digestFields(request.headers.authorization);
    const algorithm = f && DIGEST_ALGORITHMS[f.algorithm ?? 'MD5'];
    if (!algorithm || f.username !== login.user || f.realm !== login.realm || f.uri !== request.target) return 'refused';
    if (f.qop !== 'auth' || !/^[0-9a-f]{8}$/.test(f.nc ?? '') || !f.cnonce || f.opaque !== login.opaque) return 'refused';
    const h = (text) => crypto.createHash(algorithm).update(text, 'utf8').digest('hex');
    const ha1 = h(`${login.user}:${login.realm}:${login.password}`);
    const expected = h(`${ha1}:${f.nonce}:${f.nc}:${f.cnonce}:auth:${h(`${request.method}:${request.target}`)}`);
    if (f.response !== expected) return 'refused';
    if (f.nonce !== login.nonce) return 'stale';
    // A nonce count replayed is refused.
    if (login.counts.has(f.nc)) return 'refused';
    login.counts.add(f.nc);
    return 'ok';
}

// null when the request may go on; else the 401 that asks for the login,
// empty and with the connection kept open, as wallet services answer.
function loginAnswer(login, request) {
    const state = loginState(login, request);
    if (state === 'ok') return null;
    const stale = state === 'stale' ? ', stale=true' : '';
    const headers = Object.keys(DIGEST_ALGORITHMS).map((a) => `WWW-Authenticate: Digest realm="${login.realm}", qop="auth", algorithm=${a}, nonce="${login.nonce}", opaque="${login.opaque}"${stale}`);
    return { status: 401, body: '', headers };
}

// Reads requests off one connection and writes each answer in the framing
// the handler asks for: 'length', 'chunked' or 'close'. With a login, a
// request that does not log in gets its 401 instead.
function serveConnection(socket, handle, login = null) {
    let buf = Buffer.alloc(0);
    let closed = false;
    socket.setNoDelay(true);
    // The health probe reads one piece of the answer and hangs up.
    socket.on('error', () => {});
    socket.on('close', () => { closed = true; });
    socket.on('data', (chunk) => {
        buf = Buffer.concat([buf, chunk]);
        while (!closed) {
            const request = takeRequest();
            if (!request) break;
            const answer = (login && loginAnswer(login, request)) || handle(request);
            writeAnswer(socket, answer);
            if (answer.framing === 'close') {
                closed = true;
                socket.end();
            }
        }
    });

    function takeRequest() {
        const end = buf.indexOf('\r\n\r\n');
        if (end < 0) {
            if (buf.length > MAX_REQUEST) badRequest(413);
            return null;
        }
        const lines = buf.subarray(0, end).toString('latin1').split('\r\n');
        const [method, target] = lines[0].split(' ');
        const headers = {};
        for (const line of lines.slice(1)) {
            const colon = line.indexOf(':');
            if (colon > 0) headers[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
        }
        const length = Number(headers['content-length'] ?? 0);
        if (!Number.isSafeInteger(length) || length < 0 || length > MAX_REQUEST) {
            badRequest(length > MAX_REQUEST ? 413 : 400);
            return null;
        }
        if (buf.length < end + 4 + length) return null;
        const body = buf.subarray(end + 4, end + 4 + length).toString('utf8');
        buf = buf.subarray(end + 4 + length);
        return { method, target, headers, body };
    }

    function badRequest(status) {
        writeAnswer(socket, { status, body: '{"error":"bad request"}', framing: 'close' });
        closed = true;
        socket.end();
    }
}

function writeAnswer(socket, { status = 200, body, framing = 'length', headers = [] }) {
    const bytes = Buffer.from(body, 'utf8');
    let head = `HTTP/1.1 ${status} ${REASONS[status] ?? 'Error'}\r\nContent-Type: application/json\r\nServer: krv-wallet-sim\r\n`;
    for (const h of headers) head += `${h}\r\n`;
    if (framing === 'chunked') {
        socket.write(`${head}Transfer-Encoding: chunked\r\n\r\n`);
        // Several chunks of uneven size, each its own write.
        const size = Math.max(1, Math.ceil(bytes.length / 3));
        for (let i = 0; i < bytes.length; i += size) {
            const piece = bytes.subarray(i, i + size);
            socket.write(Buffer.concat([Buffer.from(`${piece.length.toString(16)}\r\n`), piece, Buffer.from('\r\n')]));
        }
        socket.write('0\r\n\r\n');
    } else if (framing === 'close') {
        socket.write(Buffer.concat([Buffer.from(`${head}Connection: close\r\n\r\n`), bytes]));
    } else {
        head += `Content-Length: ${bytes.length}\r\n\r\n`;
        socket.write(Buffer.concat([Buffer.from(head), bytes]));
    }
}

// A result already written as JSON.
class RawJson {
    constructor(text) {
        this.text = text;
    }
}

function rpcReply(id, result, framing) {
    if (result instanceof RawJson) return { body: `{"jsonrpc":"2.0","id":${stringifyExact(id ?? null)},"result":${result.text}}`, framing };
    return { body: stringifyExact({ jsonrpc: '2.0', id: id ?? null, result }), framing };
}

function rpcError(id, code, message, framing = 'length') {
    return { body: stringifyExact({ jsonrpc: '2.0', id: id ?? null, error: { code, message } }), framing };
}

// Parses a JSON-RPC body and runs methods[name](params), counting the call
// by name in `counts` when one is given.
function dispatchRpc(request, methods, framingOf, counts = null) {
    let call;
    try {
        call = parseJsonExact(request.body);
    } catch {
        return rpcError(null, -32700, 'Parse error');
    }
    if (!call || typeof call !== 'object' || Array.isArray(call) || typeof call.method !== 'string') {
        return rpcError(call?.id, -32600, 'Invalid request');
    }
    const method = methods[call.method];
    if (!method) return rpcError(call.id, -32601, 'Method not found');
    if (counts) counts[call.method] = (counts[call.method] ?? 0) + 1;
    const params = call.params && typeof call.params === 'object' ? call.params : {};
    try {
        return rpcReply(call.id, method(params), framingOf(call.method));
    } catch (e) {
        if (e instanceof RpcError) return rpcError(call.id, e.code, e.message);
        log('E', 'wallet.rpc', `${call.method} failed: ${e.message}`);
        return rpcError(call.id, ERR.unknown, `Internal error: ${e.message}`);
    }
}

function walletHandler(wallet, chain) {
    const methods = {
        get_height: () => wallet.get_height(),
        get_address: (p) => wallet.get_address(p),
        get_balance: (p) => wallet.get_balance(p),
        get_transfers: (p) => wallet.get_transfers(p),
        get_accounts: () => wallet.get_accounts(),
        create_address: (p) => wallet.create_address(p),
        create_account: (p) => wallet.create_account(p),
        label_account: (p) => wallet.label_account(p),
        label_address: (p) => wallet.label_address(p),
        ...sendingMethods(new Sending(wallet)),
        ...ownerMethods(new Owner(wallet)),
        open_wallet: (p) => wallet.open_wallet(p),
        close_wallet: () => wallet.close_wallet(),
        sim_log: (p) => {
            const level = ['I', 'W', 'E'].includes(p.level) ? p.level : 'I';
            log(level, 'sim', String(p.message ?? '').replace(/[\r\n]+/g, ' '));
            return {};
        },
        sim_mine: (p) => {
            const n = Math.min(100, Math.max(1, Number(p.blocks) || 1));
            for (let i = 0; i < n; i++) chain.mine();
            return { height: chain.height };
        },
        sim_totals: (p) => wallet.sim_totals(p),
        sim_receive: (p) => wallet.sim_receive(p),
    };
    return (request) => {
        if (request.target !== '/json_rpc') return { status: 404, body: '{"error":"not found"}' };
        if (request.method !== 'POST') return { status: 405, body: '{"error":"use POST"}' };
        return dispatchRpc(request, methods, (m) => (m === 'get_transfers' ? 'chunked' : 'length'), walletCalls);
    };
}

function daemonInfo(chain) {
    const height = chain.daemonHeight();
    return {
        status: 'OK', height, target_height: chain.height, synchronized: chain.synchronized(),
        incoming_connections_count: 2 + (chain.height % 3), outgoing_connections_count: 8,
        tx_pool_size: 0, difficulty: 250000 + (chain.height % 997), version: '0.1.0-sim',
    };
}

function daemonHandler(chain) {
    const methods = {
        get_info: () => daemonInfo(chain),
        get_block_count: () => ({ count: chain.daemonHeight(), status: 'OK' }),
    };
    const paths = {
        '/get_height': () => ({ body: stringifyExact({ height: chain.daemonHeight(), status: 'OK' }), framing: 'chunked' }),
        '/get_info': () => ({ body: stringifyExact(daemonInfo(chain)), framing: 'close' }),
    };
    return (request) => {
        if (request.target === '/json_rpc' && request.method === 'POST') {
            return dispatchRpc(request, methods, (m) => (m === 'get_info' ? 'close' : 'length'));
        }
        const route = paths[request.target];
        if (route && (request.method === 'GET' || request.method === 'POST')) return route();
        return { status: 404, body: '{"status":"Not found"}' };
    };
}

// ---------------------------------------------------------------- main

function listen(port, handler, login) {
    return new Promise((resolve, reject) => {
        const server = net.createServer((socket) => serveConnection(socket, handler, login));
        server.once('error', reject);
        server.listen({ port, host: '127.0.0.1' }, () => resolve(server));
    });
}

function prepare(opts) {
    fs.mkdirSync(opts.walletDir, { recursive: true });
    fs.mkdirSync(path.dirname(path.resolve(opts.log)), { recursive: true });
    logPath = opts.log;
    const store = new Store(opts.walletDir);
    const fresh = !store.hasWallets();
    const chain = new Chain(store, opts);
    if (fresh) {
        for (const w of DEMO_WALLETS) {
            const now = Math.floor(Date.now() / 1000);
            if (w.name === 'alice' && opts.transfers > 0) {
                const history = makeHistory(w.name, opts.transfers, chain.height, now);
                store.create(w.name, w.password, history.transfers, history.accounts);
                continue;
            }
            const transfers = w.received.map(([height, amount], i) => ({
                txid: crypto.createHash('sha256').update(`${w.name}:${i}`).digest('hex'),
                type: 'in', amount, fee: 0n, height,
                timestamp: now - (chain.height - height) * SECONDS_PER_BLOCK_ON_RECORD,
                address: addressFor(`faucet-${i}`),
            }));
            store.create(w.name, w.password, transfers);
        }
        log('I', 'sim', `Created demo wallets ${DEMO_WALLETS.map((w) => w.name).join(', ')} in ${opts.walletDir}`);
    }
    return { store, chain };
}

async function main() {
    const opts = parseArgs(process.argv.slice(2));
    const { store, chain } = prepare(opts);
    const wallet = new Wallet(store, chain);
    let servers;
    try {
        servers = [
            await listen(opts.walletPort, walletHandler(wallet, chain), opts.rpcLogin ? digestLogin(opts.rpcLogin) : null),
            await listen(opts.daemonPort, daemonHandler(chain), opts.daemonLogin ? digestLogin(opts.daemonLogin) : null),
        ];
    } catch (e) {
        fail(`cannot listen: ${e.message}`);
    }
    const timer = setInterval(() => chain.mine(), opts.blockSeconds * 1000);
    log('I', 'sim', `Wallet RPC on 127.0.0.1:${servers[0].address().port}, daemon on 127.0.0.1:${servers[1].address().port}, ${DECIMALS} decimals`);
    process.stdout.write(`${JSON.stringify({ wallet_port: servers[0].address().port, daemon_port: servers[1].address().port })}\n`);
    const stop = () => {
        clearInterval(timer);
        store.flush();
        log('I', 'sim', 'Stopping');
        for (const s of servers) s.close();
        process.exit(0);
    };
    process.on('SIGINT', stop);
    process.on('SIGTERM', stop);
}

main();
