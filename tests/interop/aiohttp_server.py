#!/usr/bin/env python3
"""An upstream made with aiohttp (Debian's python3-aiohttp), which keeps
connections alive, for the interoperability tests. The answer follows the
path, or for POST /json_rpc the method of the JSON-RPC body: length,
chunked, empty, error, big. Prints "port N" once it listens."""
import asyncio
import signal

from aiohttp import web

from answers import answer_for, big_body


async def serve(request):
    kind = answer_for(request.path_qs, await request.read())
    if kind == "length":
        return web.Response(body=b'{"framing":"length","maker":"aiohttp"}', content_type="application/json")
    if kind == "chunked":
        resp = web.StreamResponse(headers={"Content-Type": "application/json"})
        resp.enable_chunked_encoding()
        await resp.prepare(request)
        await resp.write(b'{"framing":"chunked",')
        await asyncio.sleep(0.02)
        await resp.write(b'"maker":"aiohttp"}')
        await resp.write_eof()
        return resp
    if kind == "empty":
        return web.Response(body=b"", content_type="application/json")
    if kind == "error":
        return web.Response(status=500, body=b'{"error":{"code":-1,"message":"boom"},"maker":"aiohttp"}',
                            content_type="application/json")
    if kind == "big":
        return web.Response(body=big_body(), content_type="application/json")
    return web.Response(status=404, body=b'{"error":"not found"}', content_type="application/json")


async def main():
    big_body()  # made before the first request
    app = web.Application()
    app.router.add_route("*", "/{tail:.*}", serve)
    runner = web.AppRunner(app, access_log=None)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    print("port %d" % site._server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    await runner.cleanup()


asyncio.run(main())
