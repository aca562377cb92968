// Every failure the page can meet, as one plain sentence for people, with
// the service's own message and code kept for a details line under it.

import { AccessError, RpcError, ServiceError } from './rpc.js';

// Error codes of the wallet RPC service (see docs/wallet-rpc.md).
const WALLET_CODES = new Map([
    [-1, 'The wallet service hit an internal error.'],
    [-2, 'The wallet says this address is not valid.'],
    [-4, 'Not enough unlocked funds for this amount and its fee.'],
    [-7, 'This wallet is view-only: it holds no spend key, so it can watch money arrive but not send it.'],
    [-13, 'No wallet is open. Open one under Wallets first.'],
    [-17, 'The amount must be more than zero.'],
    [-21, 'The wallet could not be opened: check its name and password.'],
    [-29, 'This prepared transaction can no longer be sent. Review the transfer again.'],
    [-32600, 'The wallet RPC service did not accept the request.'],
    [-32601, 'The wallet RPC service does not offer this call; it may be older than this page.'],
    [-32602, 'The wallet refused the request as malformed.'],
    [-32700, 'The wallet RPC service could not read the request.'],
]);

const UNAVAILABLE = {
    server: 'The dashboard server does not answer.',
    wallet: 'The wallet RPC service does not answer.',
    daemon: 'The daemon does not answer.',
};

// {sentence, details} for any error; details may be ''.
export function inWords(error) {
    if (error instanceof RpcError) {
        const said = `${error.method ? `${error.method}: ` : ''}${error.message} (code ${error.code})`;
        return { sentence: WALLET_CODES.get(error.code) ?? 'The wallet refused this request.', details: said };
    }
    if (error instanceof AccessError) {
        return { sentence: 'The server refused this browser (see the notice at the top).', details: error.sentence };
    }
    if (error instanceof ServiceError) {
        if (error.status === 0 || error.status === 502) return { sentence: UNAVAILABLE[error.side], details: error.detail };
        return { sentence: 'The dashboard server gave an answer this page does not understand.', details: error.detail };
    }
    return { sentence: 'Something went wrong in this page.', details: String(error?.message ?? error) };
}
