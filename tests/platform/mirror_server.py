#!/usr/bin/env python3
"""A raw-file mirror for platform_fetch: serves FOLDER over HTTP on 127.0.0.1.

    mirror_server.py FOLDER PORT_FILE [--stall-after N] [--lifetime SECONDS]

Writes the port it listens on to PORT_FILE once it listens.  With
--stall-after N it answers N requests and then stops answering: it takes
each further connection and sends nothing (a server that hangs).  It ends
by itself after --lifetime seconds (default 600), so that a test that loses
it leaves nothing running.
"""
import argparse
import functools
import http.server
import os
import threading
import time


def main():
    p = argparse.ArgumentParser()
    p.add_argument("folder")
    p.add_argument("port_file")
    p.add_argument("--stall-after", type=int, default=-1)
    p.add_argument("--lifetime", type=float, default=600)
    a = p.parse_args()
    served = [0]
    lock = threading.Lock()
    stop = threading.Event()

    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

        def do_GET(self):
            with lock:
                served[0] += 1
                stall = 0 <= a.stall_after < served[0]
            if stall:
                stop.wait()
                return
            super().do_GET()

    handler = functools.partial(Handler, directory=a.folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    tmp = a.port_file + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.rename(tmp, a.port_file)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    time.sleep(a.lifetime)
    stop.set()
    server.shutdown()


if __name__ == "__main__":
    main()
