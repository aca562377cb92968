// What the interoperability upstreams answer: the kind named by the path
// (/rpc/KIND reaches them as /KIND) or by a JSON-RPC body's method.
export function answerFor(url, body) {
    if (url === '/json_rpc') {
        try {
            return JSON.parse(body).method;
        } catch {
            return '';
        }
    }
    return url.replace(/^\//, '');
}

// 3,000,000 bytes that differ from their neighbours, as the tests make them;
// made once.
let big = null;
export function bigBody() {
    if (big) return big;
    big = Buffer.alloc(3000000);
    for (let i = 0; i < big.length; i++) big[i] = 97 + ((i * 7 + Math.floor(i / 1000)) % 26);
    return big;
}
