#!/usr/bin/python3
"""The panel in a real browser (headless Chromium) over the real program without a window
(tovistats --headless) and a simulator on an X server of the test's own: a wrong password refused,
a player named like markup shown as text, players joining live, tabs kept by the address and moved
by the keyboard, a chat line that reaches the simulator's console and is shown once, a punt from a
player's row that asks first, a ban with a preset found by searching the ban list, the audit log in
words and searched, no page wider than 390 px at 390 px, a setting saved from the settings page,
and resetting the games after the page's question; each result in view. The program takes any
free port and says in its log which one.
Usage: browser_test.py TOVISTATS GAMESIM SCREENSHOT_DIR"""
import os
import re
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

MARKUP = '<img src=x onerror=alert(1)>'


def private_display():
    """An Xvfb of the test's own: the program meets only this test's simulator window."""
    read, write = os.pipe()
    xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write), '-nolisten', 'tcp', '-screen', '0', '1024x768x24'],
                            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b''
    while not number.endswith(b'\n'):
        c = os.read(read, 1)
        if not c:
            break
        number += c
    os.close(read)
    if not number.strip():
        sys.exit('Xvfb could not be started')
    return xvfb, ':' + number.decode().strip()


def visible_tabs(driver):
    return [s.get_attribute('id') for s in driver.find_elements(By.CSS_SELECTOR, 'section[role=tabpanel]')
            if s.is_displayed()]


def resultOf(form):
    return '#%s output.result' % form


def in_view(driver, where, text):
    """The result of an action says `text` and is inside the viewport."""
    css = where if where.startswith('#') else '#' + where
    WebDriverWait(driver, 30).until(lambda d: d.find_element(By.CSS_SELECTOR, css).text == text,
                                    '%s never said %r' % (css, text))
    rect = driver.execute_script(
        "const r = document.querySelector(arguments[0]).getBoundingClientRect();"
        "return [r.top, r.left, r.bottom, r.right, innerHeight, innerWidth];", css)
    top, left, bottom, right, height, width = rect
    # A fraction of a pixel past the edge is the layout's rounding.
    assert bottom > top and top >= 0 and left >= 0 and bottom <= height + 1 and right <= width + 1, \
        '%s is out of view: %r' % (css, rect)


def act_on(driver, wait, name):
    """Opens the actions dialog of the player's row, found and clicked in one step between two live
    updates of the table."""
    driver.execute_script(
        "for (const row of document.querySelectorAll('#playerTable tbody tr'))"
        "  if (row.cells[1].textContent === arguments[0]) row.querySelector('button').click();", name)
    wait.until(lambda d: d.find_element(By.ID, 'actionTarget').text == name)


def search(driver, box, text):
    driver.find_element(By.ID, box).clear()
    driver.find_element(By.ID, box).send_keys(text + Keys.ENTER)


def table_text(d, table, column=0):
    return [r.find_elements(By.TAG_NAME, 'td')[column].text
            for r in d.find_elements(By.CSS_SELECTOR, '#%s tbody tr' % table)]


def main():
    tovistats, gamesim, shots = sys.argv[1], sys.argv[2], sys.argv[3]
    os.makedirs(shots, exist_ok=True)
    xvfb, display = private_display()
    env = dict(os.environ, DISPLAY=display)
    env.pop('QT_QPA_PLATFORM', None)
    procs = []
    driver = None
    with tempfile.TemporaryDirectory() as data:
        try:
            settings_ini = os.path.join(data, 'settings.ini')
            with open(settings_ini, 'wb') as f:
                f.write(b'[server]\r\nservercode=QX1\r\n[settings]\r\nminplayers=0\r\n'
                        b'[web]\r\nenabled=1\r\nbind=127.0.0.1\r\nport=0\r\n')
            # A match that lasts; the markup name at once, then a player joining every few seconds.
            joins = ''.join('at %d join %d "Joiner%d" team=%d\n' % (4 + 3 * i, 3 + i, i, 1 + i % 2) for i in range(20))
            with open(os.path.join(data, 'browser.scn'), 'w') as f:
                f.write('name "Browser test"\nmaxplayers 32\ndedicated 1\ngametype 1\n'
                        'round "Tidal Wave" "JOTR_TIDALWAVE.BMS"\nloading 0\nwaiting 0\nmatchtime forever\n'
                        'at 0 join 1 "%s" team=1\nat 0 join 2 "Bob" team=2\n%s' % (MARKUP, joins))
            added = subprocess.run([tovistats, '--add-user', 'root', '--role', 'admin', '--data-dir', data],
                                   input=b'root password 1\n', env=env, timeout=60)
            assert added.returncode == 0, 'the account could not be added'
            transcript = os.path.join(data, 'transcript.txt')
            # Posing as the game's server under Wine: the Windows path is the first argument.
            procs.append(subprocess.Popen(['C:\\Games\\JO\\jointops.exe', '--scenario', os.path.join(data, 'browser.scn'),
                                           '--transcript', transcript], executable=gamesim, env=env))
            log_path = os.path.join(data, 'tovistats.log')
            log = open(log_path, 'wb')
            procs.append(subprocess.Popen([tovistats, '--headless', '--data-dir', data], env=env, stderr=log))
            listens = None
            for _ in range(600):
                listens = re.search(r'The web panel listens on (http://127\.0\.0\.1:[1-9][0-9]*)/',
                                    open(log_path, errors='replace').read())
                if listens:
                    break
                if procs[-1].poll() is not None:
                    sys.exit('the program stopped: %d\n%s' % (procs[-1].returncode, open(log_path).read()))
                time.sleep(0.1)
            else:
                sys.exit('the panel did not start:\n' + open(log_path, errors='replace').read())
            base = listens.group(1)

            options = webdriver.ChromeOptions()
            for arg in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=1280,900'):
                options.add_argument(arg)
            driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
            # The player table is drawn anew on each live update: an element read meanwhile is looked up again.
            wait = WebDriverWait(driver, 30, ignored_exceptions=(StaleElementReferenceException,))

            driver.get(base + '/')
            wait.until(ec.url_contains('/login.html'))
            driver.find_element(By.ID, 'name').send_keys('root')
            driver.find_element(By.ID, 'password').send_keys('wrong password')
            driver.find_element(By.ID, 'loginButton').click()
            wait.until(lambda d: d.find_element(By.ID, 'loginError').text != '')
            driver.find_element(By.ID, 'password').clear()
            driver.find_element(By.ID, 'password').send_keys('root password 1')
            driver.find_element(By.ID, 'loginButton').click()
            wait.until(lambda d: d.find_element(By.ID, 'who').text.startswith('root'))

            # The player named like markup is text in a cell: no image made, no script run.
            driver.find_element(By.ID, 'tab-players').click()
            wait.until(lambda d: any(c.text == MARKUP for c in d.find_elements(By.CSS_SELECTOR, '#playerTable td')))
            assert not driver.find_elements(By.CSS_SELECTOR, '#playerTable img'), 'markup from the game became an element'
            try:
                driver.switch_to.alert
                sys.exit('a script from a player name ran')
            except NoAlertPresentException:
                pass

            # Players join live, without a reload.
            rows = len(driver.find_elements(By.CSS_SELECTOR, '#playerTable tbody tr'))
            wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#playerTable tbody tr')) > rows)

            # Tabs: one page shown at a time, the address keeps it on reload, arrow keys move along them.
            driver.find_element(By.ID, 'tab-players').click()
            assert visible_tabs(driver) == ['players'], visible_tabs(driver)
            driver.refresh()
            wait.until(lambda d: d.find_element(By.ID, 'who').text.startswith('root'))
            assert driver.current_url.endswith('#players') and visible_tabs(driver) == ['players'], visible_tabs(driver)
            driver.find_element(By.ID, 'tab-players').send_keys(Keys.ARROW_RIGHT)
            wait.until(lambda d: visible_tabs(d) == ['bans'])
            assert driver.switch_to.active_element.get_attribute('id') == 'tab-bans'
            assert driver.find_element(By.ID, 'tab-bans').get_attribute('aria-selected') == 'true'
            driver.find_element(By.ID, 'tab-status').click()

            # A chat line sent from the page reaches the server's console; the panel shows it once, as
            # sent by the account, never again as the game's read-back (counted at the end).
            driver.find_element(By.ID, 'chatText').send_keys('hello from the panel')
            driver.find_element(By.CSS_SELECTOR, '#chatForm button').click()
            wait.until(lambda d: 'root: hello from the panel' in d.find_element(By.ID, 'chatLines').text)
            in_view(driver, 'chatResult', 'Sent.')
            assert driver.find_element(By.ID, 'chatText').get_attribute('value') == ''
            wait.until(lambda d: 'chat "Host: hello from the panel"' in open(transcript).read())

            # Bob punted from his row: the dialog asks first, and nothing is sent before the yes.
            driver.find_element(By.ID, 'tab-players').click()
            act_on(driver, wait, 'Bob')
            driver.find_element(By.ID, 'puntReason').send_keys('camping')
            driver.find_element(By.CSS_SELECTOR, '#puntForm button').click()
            wait.until(lambda d: d.find_element(By.ID, 'confirmDialog').get_attribute('open') is not None)
            assert 'Punt Bob?' in driver.find_element(By.ID, 'confirmText').text
            assert 'punt 2' not in open(transcript).read(), 'punted before the yes'
            driver.find_element(By.ID, 'confirmYes').click()
            wait.until(lambda d: 'punt 2 "Bob"' in open(transcript).read())
            in_view(driver, resultOf('puntForm'), 'Bob punted.')
            assert driver.find_element(By.ID, 'puntReason').get_attribute('value') == ''
            driver.save_screenshot(os.path.join(shots, 'punt.png'))
            driver.find_element(By.ID, 'playerDialogClose').click()
            wait.until(lambda d: all(c.text != 'Bob' for c in d.find_elements(By.CSS_SELECTOR, '#playerTable td')))

            # A ban from a row with the first preset, said done; then found by searching the ban list.
            act_on(driver, wait, 'Joiner0')
            Select(driver.find_element(By.ID, 'rowBanPreset')).select_by_index(1)
            assert driver.find_element(By.ID, 'rowBanReason').get_attribute('value') != ''
            driver.find_element(By.ID, 'rowBanMinutes').clear()
            driver.find_element(By.ID, 'rowBanMinutes').send_keys('90')
            driver.find_element(By.CSS_SELECTOR, '#rowBanForm button').click()
            wait.until(lambda d: d.find_element(By.ID, 'confirmDialog').get_attribute('open') is not None)
            driver.find_element(By.ID, 'confirmYes').click()
            in_view(driver, resultOf('rowBanForm'), 'Joiner0 banned 90 minutes.')
            driver.find_element(By.ID, 'playerDialogClose').click()
            driver.find_element(By.ID, 'tab-bans').click()
            search(driver, 'banSearch', 'joiner0')
            wait.until(lambda d: table_text(d, 'banTable') == ['Joiner0'])
            search(driver, 'banSearch', 'nobody at all')
            wait.until(lambda d: d.find_element(By.ID, 'banPage').text == 'None found.')

            # The audit log in plain words, searched.
            driver.find_element(By.ID, 'tab-audit').click()
            search(driver, 'auditSearch', 'camping')
            wait.until(lambda d: any('root punted Bob: camping' in r for r in table_text(d, 'auditTable', 1)))
            assert all('camping' in r for r in table_text(d=driver, table='auditTable', column=1)), \
                table_text(driver, 'auditTable', 1)

            # At 390 px wide, as a phone loads it, no page scrolls sideways.
            driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                                   {'width': 390, 'height': 844, 'deviceScaleFactor': 1, 'mobile': True})
            driver.refresh()
            wait.until(lambda d: d.find_element(By.ID, 'who').text.startswith('root'))
            for tab in ('status', 'players', 'bans', 'history', 'audit', 'settings'):
                driver.find_element(By.ID, 'tab-' + tab).click()
                driver.save_screenshot(os.path.join(shots, tab + '-390.png'))
                wide = driver.execute_script('return Math.max(innerWidth, document.documentElement.scrollWidth)')
                # What sticks out, for the message.
                widest = driver.execute_script(
                    "return Array.from(document.querySelectorAll('main *')).filter((e) => e.offsetWidth > 390)"
                    ".map((e) => e.tagName + '#' + e.id + '.' + e.className).slice(0, 5).join(', ');")
                assert wide <= 390, '%s is %d px wide at 390 px: %s' % (tab, wide, widest)
            driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})

            # A setting saved from the settings page lands in settings.ini, said next to its button; the
            # server code stays masked, and the page says where the record is kept.
            wait.until(lambda d: d.find_element(By.ID, 'setServerCode').get_attribute('value') == '********')
            driver.get(base + '/#settings')
            wait.until(lambda d: d.find_element(By.ID, 'setMinPlayers').get_attribute('value') == '0')
            assert 'local file' in driver.find_element(By.ID, 'storeShown').text
            driver.find_element(By.ID, 'setMinPlayers').clear()
            driver.find_element(By.ID, 'setMinPlayers').send_keys('3')
            driver.find_element(By.CSS_SELECTOR, '#otherSettingsForm button').click()
            in_view(driver, resultOf('otherSettingsForm'), 'Settings saved.')
            ini = open(settings_ini, 'rb').read()
            assert b'minplayers=3' in ini and b'servercode=QX1' in ini, ini

            # Resetting the games asks first, in the page's own dialog; yes sends it to the console.
            driver.find_element(By.ID, 'tab-status').click()
            driver.find_element(By.ID, 'resetGames').click()
            wait.until(lambda d: d.find_element(By.ID, 'confirmDialog').get_attribute('open') is not None)
            assert 'Reset games?' in driver.find_element(By.ID, 'confirmText').text
            driver.find_element(By.ID, 'confirmYes').click()
            wait.until(lambda d: 'command "resetgames"' in open(transcript).read())
            in_view(driver, 'matchResult', 'The games are reset.')

            # The line sent is in the chat once, however often the game has shown it back meanwhile.
            lines = [li.text for li in driver.find_elements(By.CSS_SELECTOR, '#chatLines li')]
            assert sum('hello from the panel' in line for line in lines) == 1, lines
            # No message in the console says the page's policy blocked something of its own.
            blocked = [e for e in driver.get_log('browser') if 'Content Security Policy' in e.get('message', '')]
            assert not blocked, blocked
            print('browser test passed')
        finally:
            if driver:
                driver.quit()
            for p in reversed(procs):
                p.terminate()
                p.wait(20)
            xvfb.terminate()
            xvfb.wait(10)


if __name__ == '__main__':
    main()
