// Talking to the dashboard server. Every URL is relative, so the page works
// from whatever host and port the server is reached on.

import { parseJsonExact, stringifyExact } from './exact-json.js';

// The path to a service failed: the server is down, or it could not reach
// the wallet RPC service or the daemon (502). Shown in the banner.
export class ServiceError extends Error {
    constructor(source, message) {
        super(message);
        this.source = source;
    }
}

// The service answered with a JSON-RPC error. Shown where the action was.
export class RpcError extends Error {
    constructor(code, message) {
        super(message);
        this.code = code;
    }
}

// Error code of the wallet service when no wallet is open.
export const NO_WALLET_OPEN = -13;

// Fetches url and returns its JSON, numbers exact. `source` names the thing
// behind the URL in error messages and in the banner's bookkeeping.
export async function getJson(url, source, init = {}) {
    let response;
    let text;
    try {
        response = await fetch(url, { cache: 'no-store', ...init });
        text = await response.text();
    } catch {
        throw new ServiceError('server', 'The dashboard server does not answer.');
    }
    if (response.status === 502) {
        throw new ServiceError(source, `${source}: ${errorText(text) || 'the server could not reach it (502).'}`);
    }
    if (!response.ok) {
        throw new ServiceError(source, `${source}: ${url} answered ${response.status} ${errorText(text)}`.trim());
    }
    try {
        return parseJsonExact(text);
    } catch {
        throw new ServiceError(source, `${source}: the answer to ${url} is not JSON.`);
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
// or "daemon_rpc" (daemon). Resolves to the result, rejects with RpcError
// or ServiceError.
export async function callRpc(endpoint, source, method, params) {
    const call = { jsonrpc: '2.0', id: nextId++, method };
    if (params !== undefined) call.params = params;
    const answer = await getJson(endpoint, source, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: stringifyExact(call),
    });
    if (answer && typeof answer === 'object' && answer.error) {
        const { code, message } = answer.error;
        throw new RpcError(Number.isInteger(code) ? code : 0, String(message ?? 'unknown error'));
    }
    if (!answer || typeof answer !== 'object' || !('result' in answer)) {
        throw new ServiceError(source, `${source}: ${method} returned no result.`);
    }
    return answer.result;
}

export const wallet = (method, params) => callRpc('json_rpc', 'Wallet RPC', method, params);
export const daemon = (method, params) => callRpc('daemon_rpc', 'Daemon', method, params);
