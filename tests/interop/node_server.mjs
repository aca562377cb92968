// An upstream made with Node's own http module, for the interoperability
// tests: it keeps connections alive as Node does by default. The answer
// follows the path (or, for POST /json_rpc, the method of the JSON-RPC
// body): length, chunked, empty, error, big. Prints "port N" once it listens.
import http from 'node:http';

import { answerFor, bigBody } from './answers.mjs';

const server = http.createServer((req, res) => {
    const parts = [];
    req.on('data', (d) => parts.push(d));
    req.on('end', () => {
        const kind = answerFor(req.url, Buffer.concat(parts).toString());
        res.setHeader('Content-Type', 'application/json');
        if (kind === 'length') {
            res.end('{"framing":"length","maker":"node"}');
        } else if (kind === 'chunked') {
            // No length given: Node sends each write as a chunk.
            res.write('{"framing":"chunked",');
            setTimeout(() => res.end('"maker":"node"}'), 20);
        } else if (kind === 'empty') {
            res.setHeader('Content-Length', '0');
            res.end();
        } else if (kind === 'error') {
            res.statusCode = 500;
            res.end('{"error":{"code":-1,"message":"boom"},"maker":"node"}');
        } else if (kind === 'big') {
            res.end(bigBody());
        } else {
            res.statusCode = 404;
            res.end('{"error":"not found"}');
        }
    });
});
bigBody(); // made before the first request
server.listen(0, '127.0.0.1', () => process.stdout.write(`port ${server.address().port}\n`));
process.on('SIGTERM', () => process.exit(0));
