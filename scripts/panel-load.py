#!/usr/bin/env python3
"""Hostile and busy clients against a station's panel, on loopback; prints the figures.
Usage: panel-load.py BOOTLOADER_CLI
  memory: the station's largest resident size while 50 clients send unbounded request lines
          and header blocks (16 MiB each at most)
  slow:   the slowest of 20 /status answers while 200 sockets trickle headers
  stop:   how long SIGTERM takes to end the station with 50 slow clients and 2 stalled streams
  places: the 33rd stream's answer, and a stream's after 50 streams were opened and closed
  host:   the answer to a foreign Host header"""
import os, re, signal, socket, subprocess, sys, tempfile, threading, time

REQUEST = b'GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n'


def start(cli, folder):
    image = os.path.join(folder, 'board.bin')
    with open(image, 'w') as f:
        f.writelines('{record %d}\n' % i for i in range(10))
    station = subprocess.Popen([cli, 'station', image, '--match', os.path.join(folder, 'none*'),
                                '--listen', '127.0.0.1:0'], stderr=subprocess.PIPE, text=True)
    for line in station.stderr:
        found = re.search(r'Panel on 127\.0\.0\.1:(\d+)', line)
        if found:
            threading.Thread(target=lambda: [None for _ in station.stderr], daemon=True).start()
            return station, int(found.group(1))
    raise SystemExit('the station printed no port')


def rss_kib(pid):
    with open('/proc/%d/status' % pid) as f:
        return int(re.search(r'VmRSS:\s+(\d+)', f.read()).group(1))


def status(port, host=b'127.0.0.1', path=b'/status'):
    began = time.monotonic()
    with socket.create_connection(('127.0.0.1', port), timeout=10) as s:
        s.sendall(b'GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n' % (path, host))
        answer = s.recv(64)
    return int(answer[9:12]), (time.monotonic() - began) * 1000


def flood(port, header, limit=16 << 20):
    try:
        with socket.create_connection(('127.0.0.1', port), timeout=10) as s:
            s.sendall(b'GET /' if not header else b'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n')
            chunk = (b'X-Filler: ' + b'x' * 7988 + b'\r\n') if header else b'a' * 8000
            for _ in range(limit // len(chunk)):
                s.sendall(chunk)
    except OSError:
        pass  # refused and closed by the server


def memory(station, port):
    peak = rss_kib(station.pid)
    threads = [threading.Thread(target=flood, args=(port, i % 2)) for i in range(50)]
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        peak = max(peak, rss_kib(station.pid))
        time.sleep(0.02)
    print('memory: largest resident size with 50 flooding clients %.1f MiB (after: %.1f MiB)'
          % (peak / 1024, rss_kib(station.pid) / 1024))


def tricklers(port, count):
    socks = []
    for _ in range(count):
        s = socket.create_connection(('127.0.0.1', port))
        s.sendall(b'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ')
        socks.append(s)
    return socks


def trickle(socks, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for s in socks:
            try:
                s.send(b'x')
            except OSError:
                pass
        time.sleep(0.2)


def slow(port):
    socks = tricklers(port, 200)
    t = threading.Thread(target=trickle, args=(socks, 6))
    t.start()
    times = []
    for _ in range(20):
        code, ms = status(port)
        assert code == 200, code
        times.append(ms)
        time.sleep(0.2)
    t.join()
    for s in socks:
        s.close()
    print('slow: /status with 200 trickling sockets, slowest of 20 %.1f ms, median %.1f ms'
          % (max(times), sorted(times)[10]))


def stream(port):
    s = socket.create_connection(('127.0.0.1', port), timeout=10)
    s.sendall(REQUEST % (b'/events', b''))
    return s, int(s.recv(64)[9:12])


def places(port):
    opened = [stream(port) for _ in range(32)]
    print('places: 32 streams answered %s; the 33rd %d'
          % (sorted({c for _, c in opened}), stream(port)[1]))
    for s, _ in opened:
        s.close()
    for _ in range(50):
        s, _ = stream(port)
        s.close()
    time.sleep(0.2)
    s, code = stream(port)
    s.close()
    print('places: after 50 streams opened and closed, a stream answered %d' % code)


def main():
    cli = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        station, port = start(cli, folder)
        try:
            print('host: Host evil.example answered %d, Host localhost %d'
                  % (status(port, b'evil.example:%d' % port)[0], status(port, b'localhost')[0]))
            memory(station, port)
            slow(port)
            places(port)
            socks = tricklers(port, 50)
            stalled = [stream(port)[0] for _ in range(2)]
            t = threading.Thread(target=trickle, args=(socks, 3))
            t.start()
            time.sleep(0.5)
            began = time.monotonic()
            station.send_signal(signal.SIGTERM)
            code = station.wait(timeout=30)
            print('stop: SIGTERM with 50 slow clients and 2 stalled streams: exit %d after %.0f ms'
                  % (code, (time.monotonic() - began) * 1000))
            t.join()
            for s in socks + stalled:
                s.close()
        finally:
            if station.poll() is None:
                station.kill()
                station.wait()


if __name__ == '__main__':
    main()
