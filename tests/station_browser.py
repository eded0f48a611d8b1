#!/usr/bin/env python3
"""The panel of a real station (bootloader-cli station --slots --listen) with bootloader-sim
boards, read in headless Chromium through Selenium; saved as a screenshot with --screenshot.
Prints the median delay from a board's record to its result on the page."""
import argparse, datetime, json, os, shutil, socket, statistics, subprocess, sys, tempfile, time
import urllib.request
from panel_browser import CHROMIUM_FLAGS, HOSTILE, TILE

# Each result's arrival on the page, by the page's clock (the station's is the same machine's).
LISTEN = """window.arrivals = []; new EventSource('/events').onmessage = m => {
  const e = JSON.parse(m.data); if (e.event === 'result') arrivals.push([e.slot, Date.now()]); };"""


def main():
    parser = argparse.ArgumentParser()
    for name in ('cli', 'sim'):
        parser.add_argument(name)
    for option in ('--chromium', '--chromedriver', '--screenshot'):
        parser.add_argument(option)
    args = parser.parse_args()
    tmp = tempfile.mkdtemp(prefix='station-browser-')
    path = lambda name: os.path.join(tmp, name)
    # The screenshot shows a line's own names: an image from its release and the slots' hub ports.
    image_name = 'motor-ctrl-2.4.1.hex' if args.screenshot else HOSTILE
    link = lambda slot: path('pci-0000:00:14.0-usb-0:%d.%s:1.0-port0' % ('AB'.index(slot[0]) + 1, slot[1]))
    with open(path(image_name), 'w') as image:  # 6 KiB: a few hundred ms at 115200 baud
        image.writelines('{record %d %s}\n' % (i, 'x' * 100) for i in range(60))
    with open(path('slots'), 'w') as slots:
        slots.write('# the fixture\n' + ''.join(f'{s} = {link(s)}\n' for s in ('A1', 'A2', 'B1', 'B2')))
    with socket.socket() as probe:  # a free port for the station
        probe.bind(('127.0.0.1', 0))
        url = 'http://127.0.0.1:%d/' % probe.getsockname()[1]
    sims, started, driver = {}, [], None
    station = subprocess.Popen([os.path.abspath(args.cli), 'station', image_name, '--slots', path('slots'), '--listen',
                                url[7:-1], '--log', path('log'), '--station', 'line-3'], cwd=tmp,
                               stderr=subprocess.DEVNULL)

    def plug(slot, *flags):
        sims[slot] = subprocess.Popen([args.sim, '--baud', '115200', *flags], stdout=subprocess.PIPE, text=True)
        started.append(sims[slot])
        os.symlink(sims[slot].stdout.readline().strip(), link(slot))

    def unplug(slot):
        os.remove(link(slot))
        sims.pop(slot).terminate()

    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.support.ui import WebDriverWait
        options = webdriver.ChromeOptions()
        options.binary_location = args.chromium
        for flag in CHROMIUM_FLAGS + ['--user-data-dir=' + path('profile')]:
            options.add_argument(flag)
        for _ in range(100):  # the station listens before it reads the image
            try:
                urllib.request.urlopen(url + 'status', timeout=1)
                break
            except OSError:
                time.sleep(0.1)
        driver = webdriver.Chrome(service=Service(args.chromedriver), options=options)
        driver.get(url)
        until = lambda what, check: WebDriverWait(driver, 20).until(lambda _: check(), message=what)
        tile = lambda slot: driver.execute_script(TILE, slot) or ['', '', '', '']
        until('four waiting tiles', lambda: len(driver.find_elements('css selector', '.tile.waiting')) == 4)
        driver.execute_script(LISTEN)
        plug('A1')
        until('A1 loading', lambda: tile('A1')[0] == 'tile loading')
        plug('A2')
        plug('B1', '--silent')
        for slot in ('A1', 'A2'):
            until(slot + ' loaded', lambda: tile(slot)[:2] == ['tile loaded', 'Loaded'])
        until('B1 failed', lambda: tile('B1')[:2] == ['tile failed', 'Failed'])
        with open(path('log')) as log:
            records = {r['slot']: r for r in map(json.loads, log)}
        assert tile('B1')[3] == records['B1']['cause'], (tile('B1'), records['B1'])
        counts = lambda: [driver.find_element('id', c).text for c in ('loaded', 'failed')]
        until('counts as logged', lambda: counts() == ['2', '1'] and len(records) == 3)
        # The image's name stays text: shown as given, and no element made of it.
        assert driver.find_element('id', 'image').text == image_name
        assert driver.find_element('id', 'station').text == 'line-3'
        assert driver.find_element('id', 'yield').text == '66.7%'
        assert driver.find_element('css selector', '.tile.failed .reason').text == 'No answer'

        assert not driver.find_elements('css selector', 'img'), 'markup made of a name'
        if args.screenshot:
            plug('B2', '--process', '30')
            until('B2 loading', lambda: tile('B2')[1].startswith('Loading'))
            driver.save_screenshot(args.screenshot)
        unplug('A1')
        until('A1 waiting again', lambda: tile('A1')[:2] == ['tile waiting', 'Waiting'])
        logged = lambda s: datetime.datetime.fromisoformat(records[s]['time'].replace('Z', '+00:00')).timestamp()
        delays = [ms - logged(s) * 1000 for s, ms in driver.execute_script('return arrivals')]
        print('record to page, median of %d: %.1f ms' % (len(delays), statistics.median(delays)))
        # The station ends: its page says so rather than show its slots waiting.
        station.terminate()
        station.wait(timeout=10)
        until('stopped', lambda: driver.find_element('id', 'stopped').text == 'Station stopped')
        assert not [t for t in driver.find_elements('css selector', '.state-text') if t.text == 'Waiting']
    finally:
        if driver:
            driver.quit()
        station.terminate()
        for slot in list(sims):
            unplug(slot)
        for process in [station] + started:
            process.wait(timeout=10)
        shutil.rmtree(tmp, ignore_errors=True)
    print('1 passed, 0 failed')


if __name__ == '__main__':
    sys.exit(main())
