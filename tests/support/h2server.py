#!/usr/bin/env python3
"""A loopback HTTPS server for tests and benchmarks that speaks HTTP/2 and
HTTP/1.1, chosen by ALPN, and counts what clients do to it.

  h2server.py CERT KEY [--alpn h2,http/1.1] [--delay-ms N] [--max-streams N]
              [--goaway-after N] [--root DIR]

Prints "port N" once it listens on 127.0.0.1. Every path answers 200 after the
delay with "keep <path>\\n" (or the file of that path under --root), except:
  /stats  the counts as JSON: connections, handshakes, h2 and http/1.1
          connections, requests, and the peak of streams open on one connection
--goaway-after N ends each HTTP/2 connection with GOAWAY after N requests.
Needs Debian's python3-h2.
"""
import argparse
import asyncio
import json
import os
import ssl
import sys

import h2.config
import h2.connection
import h2.errors
import h2.events
import h2.settings

stats = {'connections': 0, 'handshakes': 0, 'h2': 0, 'http/1.1': 0, 'requests': 0,
         'peak_streams': 0}


def body_for(path, root):
    if root:
        full = os.path.normpath(os.path.join(root, path.lstrip('/').split('?')[0]))
        if full.startswith(os.path.abspath(root)) and os.path.isfile(full):
            with open(full, 'rb') as f:
                return f.read()
    return b'keep ' + path.encode() + b'\n'


async def answer(path, args):
    if path == '/stats':
        return json.dumps(stats).encode()
    stats['requests'] += 1
    await asyncio.sleep(args.delay_ms / 1000)
    return body_for(path, args.root)


async def serve_h2(reader, writer, args):
    conn = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False))
    conn.local_settings = h2.settings.Settings(
        client=False, initial_values={h2.settings.SettingCodes.MAX_CONCURRENT_STREAMS: args.max_streams})
    conn.initiate_connection()
    writer.write(conn.data_to_send())
    open_streams = set()
    served = 0
    closing = False

    async def respond(stream_id, path):
        nonlocal served, closing
        data = await answer(path, args)
        if stream_id not in open_streams:
            return
        conn.send_headers(stream_id, [(':status', '200'), ('content-length', str(len(data))),
                                      ('content-type', 'text/plain; charset=utf-8')])
        sent = 0
        while sent < len(data):  # within the flow-control window
            window = min(conn.local_flow_control_window(stream_id), conn.max_outbound_frame_size)
            if window <= 0:
                await asyncio.sleep(0.001)
                continue
            conn.send_data(stream_id, data[sent:sent + window])
            sent += window
            writer.write(conn.data_to_send())
            await writer.drain()
        conn.end_stream(stream_id)
        open_streams.discard(stream_id)
        served += 1
        # Once enough are served, new streams are refused (clients retry them
        # elsewhere) and the connection ends when the open ones are answered.
        closing = closing or bool(args.goaway_after and served >= args.goaway_after)
        if closing and not open_streams:
            conn.close_connection(last_stream_id=conn.highest_inbound_stream_id)
        writer.write(conn.data_to_send())
        await writer.drain()
        if closing and not open_streams:
            writer.close()

    while True:
        data = await reader.read(65536)
        if not data:
            break
        for event in conn.receive_data(data):
            if isinstance(event, h2.events.RequestReceived):
                if closing:
                    conn.reset_stream(event.stream_id, h2.errors.ErrorCodes.REFUSED_STREAM)
                    continue
                open_streams.add(event.stream_id)
                stats['peak_streams'] = max(stats['peak_streams'], len(open_streams))
                path = dict(event.headers).get(b':path', b'/').decode()
                asyncio.ensure_future(respond(event.stream_id, path))
            elif isinstance(event, h2.events.StreamReset):
                open_streams.discard(event.stream_id)
        writer.write(conn.data_to_send())
        await writer.drain()
    writer.close()


async def serve_h1(reader, writer, args):
    while True:
        head = await reader.readuntil(b'\r\n\r\n')
        path = head.split(b' ')[1].decode()
        data = await answer(path, args)
        writer.write(b'HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n'
                     b'Content-Length: %d\r\n\r\n' % len(data) + data)
        await writer.drain()


async def client(reader, writer, args):
    stats['connections'] += 1
    stats['handshakes'] += 1
    protocol = writer.get_extra_info('ssl_object').selected_alpn_protocol() or 'http/1.1'
    stats[protocol] += 1
    try:
        await (serve_h2 if protocol == 'h2' else serve_h1)(reader, writer, args)
    except (ConnectionError, asyncio.IncompleteReadError, ssl.SSLError):
        pass


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('cert')
    parser.add_argument('key')
    parser.add_argument('--alpn', default='h2,http/1.1')
    parser.add_argument('--delay-ms', type=int, default=0)
    parser.add_argument('--max-streams', type=int, default=100)
    parser.add_argument('--goaway-after', type=int, default=0)
    parser.add_argument('--root')
    args = parser.parse_args()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)
    context.set_alpn_protocols(args.alpn.split(','))
    server = await asyncio.start_server(lambda r, w: client(r, w, args), '127.0.0.1', 0,
                                        ssl=context, backlog=1024)
    print('port', server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == '__main__':
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
