#!/usr/bin/env python3
"""Runs a command with a loop-back serial port: a pseudo-terminal whose other
side sends back every byte it receives, after a short delay (so a reader
really waits for its echo). The command finds the port's name in
SURF_TEST_SERIAL_LOOPBACK.

  serial_loopback.py --link PATH -- command...
      the terminal side linked as PATH, which is also the name given
  serial_loopback.py --wine-com N --wine-prefix DIR [--emulator RUNNER] -- command...
      the terminal side linked as COM N of the Wine prefix (SURF_WINEPREFIX
      when set, else DIR), made first with RUNNER if it does not exist yet
"""
import argparse
import os
import pty
import select
import signal
import subprocess
import sys
import threading
import time
import tty

ECHO_DELAY_S = 0.1


def echo(controller, stop):
    pending = []  # (due time, bytes)
    while not stop.is_set():
        wait = 0.05
        if pending:
            wait = max(0.0, min(wait, pending[0][0] - time.monotonic()))
        ready, _, _ = select.select([controller], [], [], wait)
        if ready:
            try:
                data = os.read(controller, 4096)
            except OSError:  # no terminal side open at the moment
                time.sleep(0.01)
                continue
            pending.append((time.monotonic() + ECHO_DELAY_S, data))
        while pending and pending[0][0] <= time.monotonic():
            os.write(controller, pending.pop(0)[1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--link")
    parser.add_argument("--wine-com", type=int)
    parser.add_argument("--wine-prefix")
    parser.add_argument("--emulator")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if args.wine_com is not None:
        prefix = os.environ.get("SURF_WINEPREFIX") or args.wine_prefix
        if not os.path.exists(os.path.join(prefix, "system.reg")) and args.emulator:
            subprocess.run([args.emulator, "wineboot", "-i"], check=False)
        link = os.path.join(prefix, "dosdevices", "com%d" % args.wine_com)
        name = "COM%d" % args.wine_com
    else:
        link = name = args.link

    controller, terminal = pty.openpty()
    tty.setraw(terminal)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(terminal), link)
    stop = threading.Event()
    worker = threading.Thread(target=echo, args=(controller, stop))
    worker.start()
    child = None

    def end(signum, frame):  # a test driver's time-out: the command goes too
        if child is not None:
            child.kill()
        raise SystemExit(1)

    signal.signal(signal.SIGTERM, end)
    try:
        env = dict(os.environ, SURF_TEST_SERIAL_LOOPBACK=name)
        child = subprocess.Popen(command, env=env)
        result = child.wait()
    finally:
        stop.set()
        worker.join()
        os.unlink(link)
        os.close(terminal)
        os.close(controller)
    return result


if __name__ == "__main__":
    sys.exit(main())
