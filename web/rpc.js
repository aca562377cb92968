// Talking to the dashboard server. Every URL is relative, so the page works
// from whatever host and port the server is reached on.

import { parseJsonExact, stringifyExact } from './exact-json.js';
import { isWalletRoute, lanKey } from './lan-key.js';

// A request did not get its answer: the dashboard server did not answer
// (side "server", status 0), or it could not reach the wallet RPC service
// (side "wallet") or the daemon (side "daemon") and said so with a 502, or
// the answer was not what the page expects.
export class ServiceError extends Error {
    constructor(side, status, detail, source = '') {
        super(detail);
        this.side = side;
        this.status = status;
        this.detail = detail;
        this.source = source;
    }
}

// The server refused a wallet route (403). `sentence` is the server's own
// explanation; hadKey: what this browser sent was refused as of no use.
export class AccessError extends Error {
    constructor(sentence, hadKey) {
        super(sentence);
        this.sentence = sentence;
        this.hadKey = hadKey;
    }
}

// The service answered with a JSON-RPC error. Shown where the action was.
export class RpcError extends Error {
    constructor(code, message, method = '') {
        super(message);
        this.code = code;
        this.method = method;
    }
}

// Error code of the wallet service when no wallet is open.
export const NO_WALLET_OPEN = -13;

// Who is told of every answer, so that the page's idea of which side is up
// follows each request, a user's action as much as a poll.
const listeners = [];

// fn({url, side, status, walletRoute, hadKey, pairing, detail}); status 0
// means no answer from the dashboard server at all. On a refusal, pairing
// says that this browser must pair, and hadKey that what it sent was refused.
export function onAnswer(fn) {
    listeners.push(fn);
}

function tell(event) {
    for (const fn of listeners) fn(event);
}

// The service behind a route, as far as an outage is concerned.
function sideOf(url) {
    if (/^json_rpc(?:$|\?)/.test(url)) return 'wallet';
    if (/^daemon_rpc(?:$|\?)|^rpc\//.test(url)) return 'daemon';
    return 'server';
}

// Fetches url and returns its JSON, numbers exact. `source` names the thing
// behind the URL in the details of an error.
export async function getJson(url, source, init = {}) {
    const walletRoute = isWalletRoute(url);
    const key = walletRoute ? lanKey() : '';
    const headers = { ...(init.headers ?? {}) };
    if (key) headers['X-KRV-Key'] = key;
    // Only the page's own scripts can send this header: a request by this
    // machine's name without it is not the dashboard's.
    if (walletRoute) headers['X-Requested-With'] = 'krv-webui';
    const side = sideOf(url);
    const method = init.method ?? 'GET';
    let response;
    let text;
    try {
        response = await fetch(url, { cache: 'no-store', ...init, headers });
        text = await response.text();
    } catch (e) {
        // Given up by the page itself (the wallet it was for is gone): this
        // says nothing of the server.
        if (init.signal?.aborted) throw init.signal.reason;
        const detail = `${method} ${url}: no answer from the dashboard server`;
        tell({ url, side: 'server', status: 0, walletRoute, hadKey: key !== '', detail });
        throw new ServiceError('server', 0, detail, source);
    }
    const status = response.status;
    // Only a refusal is read for its words: a history's answer is megabytes.
    const said = response.ok ? '' : errorText(text);
    const event = { url, side, status, walletRoute, hadKey: key !== '', detail: '' };
    if (status === 403 && walletRoute) {
        // The server says whether what this browser sent is of no use (or
        // that it sent nothing and must pair), as opposed to another reason.
        const pairing = needsPairing(text);
        tell({ ...event, hadKey: key !== '' && pairing, pairing, detail: said });
        throw new AccessError(said || 'The server refused this request.', key !== '' && pairing);
    }
    if (status === 502) {
        const detail = `${method} ${url} answered 502: ${said || 'the server could not reach the service'}`;
        tell({ ...event, detail: said || detail });
        throw new ServiceError(side, 502, detail, source);
    }
    tell(event);
    if (!response.ok) {
        throw new ServiceError(side, status, `${method} ${url} answered ${status} ${said}`.trim(), source);
    }
    try {
        return parseJsonExact(text);
    } catch {
        throw new ServiceError(side, status, `The answer to ${method} ${url} is not JSON.`, source);
    }
}

function needsPairing(body) {
    try {
        return JSON.parse(body)?.pair === true;
    } catch {
        return false;
    }
}

function errorText(body) {
    try {
        const parsed = JSON.parse(body);
        if (parsed && typeof parsed.error === 'string') return parsed.error;
    } catch {
        // Not JSON: show a short piece of the text itself.
    }
    return String(body ?? '').slice(0, 160);
}

let nextId = 1;

// One JSON-RPC 2.0 call through the server; endpoint is "json_rpc" (wallet)
// or "daemon_rpc" (daemon). Resolves to the result, rejects with RpcError,
// ServiceError or AccessError; with a signal, with its reason once aborted.
export async function callRpc(endpoint, source, method, params, signal = undefined) {
    const call = { jsonrpc: '2.0', id: nextId++, method };
    if (params !== undefined) call.params = params;
    const answer = await getJson(endpoint, source, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: stringifyExact(call),
        signal,
    });
    if (answer && typeof answer === 'object' && answer.error) {
        const { code, message } = answer.error;
        throw new RpcError(Number.isInteger(code) ? code : 0, String(message ?? 'unknown error'), method);
    }
    if (!answer || typeof answer !== 'object' || !('result' in answer)) {
        throw new ServiceError(sideOf(endpoint), 200, `${method} returned no result.`, source);
    }
    return answer.result;
}

export const wallet = (method, params, signal) => callRpc('json_rpc', 'Wallet RPC', method, params, signal);
export const daemon = (method, params) => callRpc('daemon_rpc', 'Daemon', method, params);
