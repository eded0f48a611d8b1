#!/usr/bin/env python3
"""The panel as the operator sees it: paneldemo fed with station events (hostile names and
causes), read in headless Chromium through Selenium at a wall screen's, a laptop's and a phone's
size, or its /metrics checked by promtool (--promtool). station_browser.py reads the panel of a
real station."""
import argparse, json, shutil, socket, subprocess, sys, tempfile, time, urllib.request

HOSTILE = '<img src=x onerror=alert(1)>.bin'
CHROMIUM_FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                  '--disable-background-networking', '--disable-component-update',
                  '--disable-sync', '--window-size=1920,1080']
TILE = """for (const t of document.getElementById('tiles').children) if (t.dataset.slot === arguments[0])
  return [t.className, t.querySelector('.state-text').textContent, t.querySelector('.port').textContent,
          (t.querySelector('.cause') || {}).textContent || ''];
return null;"""
# Each tile and the parts of it that must be read, as [what, rectangle, cut off]: a rectangle
# [left, top, right, bottom] in the viewport, and whether its text overflows its box.
PARTS = """const parts = [];
for (const t of document.querySelectorAll('.tile')) {
  for (const [what, node] of [['tile', t], ...['.label', '.state-text', '.reason', '.action']
      .map(c => [c, t.querySelector(c)]).filter(p => p[1])]) {
    const r = node.getBoundingClientRect();
    parts.push([t.dataset.slot + ' ' + what, [r.left, r.top, r.right, r.bottom],
                node.scrollWidth > node.clientWidth + 1 || node.scrollHeight > node.clientHeight + 1
                ? [node.scrollWidth, node.clientWidth, node.scrollHeight, node.clientHeight] : false]);
  }
}
return parts;"""
# A fixture as a line wires it: slots by row and place, each a USB hub's port.
BY_PATH = '/dev/serial/by-path/pci-0000:00:14.0-usb-0:%d.%d:1.0-port0'
SCREENS = ((1920, 1080, 16), (1280, 800, 4), (390, 844, 4))


def fixture(count):
    rows = 'ABCD' if count == 16 else 'AB'
    return [(f'{row}{place}', BY_PATH % (r + 1, place)) for r, row in enumerate(rows)
            for place in range(1, count // len(rows) + 1)]


def all_visible(driver, width, height):
    """Whether every tile, and its label, state, reason and action, is whole in the viewport."""
    parts = driver.execute_script(PARTS)
    for what, (left, top, right, bottom), cut in parts:
        assert 0 <= left and right <= width + 1 and 0 <= top and bottom <= height + 1, \
            (what, 'out of the viewport', width, height, (left, top, right, bottom))
        assert right - left > 0 and bottom - top > 0 and not cut, (what, 'cut off', width, height, cut)
    return len(parts)


def hold_stream(port):
    """An /events stream held open, or None when the panel refuses it."""
    s = socket.create_connection(('127.0.0.1', port), timeout=10)
    s.sendall(b'GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n')
    if s.recv(12) == b'HTTP/1.1 200':
        return s
    s.close()
    return None


def chrome(args):
    """Headless Chromium under its driver, with a profile folder of its own to remove after."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    profile = tempfile.mkdtemp(prefix='panel-chromium-')
    options = webdriver.ChromeOptions()
    options.binary_location = args.chromium
    for flag in CHROMIUM_FLAGS + ['--user-data-dir=' + profile]:
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(args.chromedriver), options=options), profile


def browse(args, url, send, restart, halt):
    from selenium.webdriver.support.ui import WebDriverWait
    driver, profile = chrome(args)
    try:
        driver.get(url)
        text = lambda id_: driver.find_element('id', id_).text

        def until(what, check):
            WebDriverWait(driver, 10).until(lambda _: check(), message=what)

        def tile_is(slot, cls, state, cause=''):
            until(f'{slot} shows {state}', lambda: (lambda t: t and t[0] == 'tile ' + cls
                  and t[1] == state and t[3] == cause)(driver.execute_script(TILE, slot)))

        until('four waiting tiles', lambda: len(driver.find_elements('css selector', '.tile.waiting')) == 4)
        send(event='start', slot='A1', port='/dev/ttyUSB0', records=120)
        send(event='progress', slot='A1', percent=37.4)
        tile_is('A1', 'loading', 'Loading 37%')
        send(event='result', slot='A1', ok=True, cause=None, cause_kind=None, seconds=12.5)
        tile_is('A1', 'loaded', 'Loaded')
        send(event='start', slot='B1', port=HOSTILE, records=120)
        send(event='result', slot='B1', ok=False, cause='No reply <b>from</b> the device',
             cause_kind='no-ack', seconds=4)
        tile_is('B1', 'failed', 'Failed', 'No reply <b>from</b> the device')
        until('counts', lambda: (text('loaded'), text('failed')) == ('1', '1'))
        send(event='gone', slot='A1')
        tile_is('A1', 'waiting', 'Waiting')
        # Hostile names stay text: shown as given, and no element made of them.
        assert text('image') == HOSTILE, text('image')
        assert driver.execute_script(TILE, 'B1')[2] == HOSTILE
        assert not driver.find_elements('css selector', 'img, main b'), 'markup made of a name'

        # Every stream taken: the page is answered 503, shows the state all the same, and takes
        # a stream by itself once one is free.
        driver.get('about:blank')
        port = int(url.rstrip('/').rsplit(':', 1)[1])
        held = []
        for _ in range(200):
            stream = hold_stream(port)
            if stream:
                held.append(stream)
            elif len(held) == 32:
                break
            else:
                time.sleep(0.05)
        assert len(held) == 32, len(held)
        driver.get(url)
        until('no stream', lambda: text('link') == 'Connection to the station lost: retrying')
        tile_is('B1', 'failed', 'Failed', 'No reply <b>from</b> the device')
        for stream in held:
            stream.close()
        WebDriverWait(driver, 30).until(lambda _: text('link') == '', message='stream taken')
        # The station restarts: the page finds it again, its state included.
        send = restart()
        send(event='start', slot='A2', port='/dev/ttyUSB1', records=120)
        send(event='progress', slot='A2', percent=12)
        WebDriverWait(driver, 30).until(lambda _: driver.execute_script(TILE, 'A2')[1] == 'Loading 12%',
                                        message='state after the restart')
        until('stream after the restart', lambda: text('link') == '')
        # A board pulled mid-image: its failure stays on screen a while, then the slot waits.
        send(event='result', slot='A2', ok=False, cause='the device went away', cause_kind='device-gone',
             seconds=1)
        send(event='gone', slot='A2')
        tile_is('A2', 'failed', 'Failed', 'the device went away')
        pulled = time.monotonic()
        assert driver.execute_script("return [...document.querySelectorAll('.tile.failed .reason')]"
                                     ".map(n => n.innerText)") == ['Board pulled']
        WebDriverWait(driver, 20).until(lambda _: driver.execute_script(TILE, 'A2')[1] == 'Waiting',
                                        message='A2 waiting after the hold')
        assert time.monotonic() - pulled > 5, 'the failure was not held'
        # The station goes and stays away: stopped, not Waiting.
        halt()
        WebDriverWait(driver, 30).until(lambda _: text('stopped') == 'Station stopped', message='stopped')
        states = [t.text for t in driver.find_elements('css selector', '.state-text')]
        assert 'Waiting' not in states and 'Stopped' in states, states
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def screens(args, start):
    """A whole fixture on each screen: every tile whole without scrolling, a failure's reason
    and action readable."""
    from selenium.webdriver.support.ui import WebDriverWait
    driver, profile = chrome(args)
    try:
        for width, height, count in SCREENS:
            slots = fixture(count)
            url, send = start('127.0.0.1:0', slots)
            send(event='station', station='line-3')
            send(event='start', slot=slots[0][0], port=slots[0][1], records=120)
            send(event='progress', slot=slots[0][0], percent=64)
            send(event='start', slot=slots[1][0], port=slots[1][1], records=120)
            send(event='result', slot=slots[1][0], ok=True, seconds=5.5)
            failed = slots[2][0]
            send(event='start', slot=failed, port=slots[2][1], records=120)
            send(event='result', slot=failed, ok=False, cause_kind='no-ack', seconds=5, resends=4,
                 cause=f'the device on {slots[2][1]} did not acknowledge record 1 of 40 in 5 sends')
            driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
                'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': width < 600})
            driver.get(url)
            WebDriverWait(driver, 10).until(
                lambda _: len(driver.find_elements('css selector', '.tile')) == count
                and driver.execute_script(TILE, failed)[0] == 'tile failed', message=f'{count} tiles')
            reason = driver.execute_script("return [...document.querySelectorAll('.tile.failed .reason, "
                                           ".tile.failed .action')].map(n => n.innerText)")
            assert reason == ['No answer', 'Re-seat the board and press its reset'], reason
            assert driver.find_element('id', 'station').text == 'line-3'
            assert driver.find_element('id', 'yield').text == '50.0%'
            if args.shots:
                driver.save_screenshot(f'{args.shots}/panel-{width}x{height}.png')
            assert all_visible(driver, width, height) >= count * 3
            # The whole cause on demand, and never the by-path link spelled out on a tile.
            assert not [t for t in driver.find_elements('css selector', '.tile') if BY_PATH[:20] in t.text]
            driver.find_element('css selector', '.tile.failed .reason').click()
            assert slots[2][1] in driver.find_element('css selector', '.tile.failed .cause').text
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)


def check_metrics(args, url, send):
    send(event='start', slot='A1', port='/dev/ttyUSB0', records=10)
    send(event='result', slot='A1', ok=False, cause='"quoted"\\ cause', cause_kind='no-ack', seconds=2)
    send(event='start', slot='B1', port=HOSTILE, records=10)
    send(event='progress', slot='B1', percent=50)
    expected = b'bootloader_boards_total{result="failed",cause_kind="no-ack",slot="A1"} 1'
    for _ in range(100):  # until the demo has read the events, 10 s at most
        metrics = urllib.request.urlopen(url + 'metrics', timeout=10).read()
        if expected in metrics and b'slot="B1",state="loading"} 1' in metrics:
            break
        time.sleep(0.1)
    check = subprocess.run([args.promtool, 'check', 'metrics'], input=metrics, capture_output=True)
    out = (check.stdout + check.stderr).decode()
    assert check.returncode == 0 and not out, out
    assert expected in metrics, metrics.decode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('demo')
    for option in ('--promtool', '--chromium', '--chromedriver'):
        parser.add_argument(option)
    parser.add_argument('--shots', help='a folder for a screenshot of each screen size')
    args = parser.parse_args()
    demos = []

    def start(address, slots=(('A1', '/dev/ttyUSB0'), ('A2', '/dev/ttyUSB1'), ('B1', HOSTILE),
                               ('B2', '/dev/ttyUSB3'))):
        demos.append(subprocess.Popen([args.demo, address], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, text=True))
        url = demos[-1].stdout.readline().strip()
        demo = demos[-1]

        def send(**event):
            demo.stdin.write(json.dumps(event) + '\n')
            demo.stdin.flush()

        send(event='image', image=HOSTILE, sha256='9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08')
        for slot, port in slots:
            send(event='slot', slot=slot, port=port)
        return url, send

    def stop(demo):
        demo.stdin.close()
        try:
            demo.wait(timeout=10)
        except subprocess.TimeoutExpired:
            demo.kill()
            demo.wait()

    try:
        url, send = start('127.0.0.1:0')

        def restart():
            stop(demos[-1])
            time.sleep(2)  # the page's retries find nothing for a while
            return start(url[7:-1])[1]

        if args.promtool:
            check_metrics(args, url, send)
        else:
            browse(args, url, send, restart, lambda: stop(demos[-1]))
            screens(args, start)
    finally:
        for demo in demos:
            if demo.poll() is None:
                stop(demo)
    print('1 passed, 0 failed')


if __name__ == '__main__':
    sys.exit(main())
