#!/usr/bin/python3
"""The panel in a real browser (headless Chromium) over the real program without a window
(tovistats --headless) and a simulator on an X server of the test's own: a wrong password refused,
a player named like markup shown as text, players joining live, a chat line that reaches the
simulator's console, a punt with a reason that empties the slot, a setting saved from the settings
page, and resetting the games after the page's confirm dialog. The program takes any free port
and says in its log which one.
Usage: browser_test.py TOVISTATS GAMESIM SCREENSHOT_DIR"""
import os
import re
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, StaleElementReferenceException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import WebDriverWait

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
            for arg in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=420,900'):
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
            driver.save_screenshot(os.path.join(shots, 'status.png'))

            # A chat line sent from the page reaches the server's console and comes back on the live feed.
            driver.find_element(By.ID, 'chatText').send_keys('hello from the panel')
            driver.find_element(By.CSS_SELECTOR, '#chatForm button').click()
            wait.until(lambda d: '(sent) hello from the panel' in d.find_element(By.ID, 'chatLines').text)
            assert driver.find_element(By.ID, 'message').text == '', driver.find_element(By.ID, 'message').text
            wait.until(lambda d: 'chat "Host: hello from the panel"' in open(transcript).read())

            # Bob punted with a reason: his row goes.
            # Found and clicked in one step, between two live updates of the table.
            driver.execute_script(
                "for (const row of document.querySelectorAll('#playerTable tbody tr'))"
                "  if (row.cells[1].textContent === 'Bob') row.querySelector('button').click();")
            wait.until(lambda d: d.find_element(By.ID, 'actionTarget').text == 'Bob')
            driver.find_element(By.ID, 'actionText').send_keys('camping')
            driver.find_element(By.CSS_SELECTOR, '#playerActionForm button[data-action=punt]').click()
            wait.until(lambda d: 'punt 2 "Bob"' in open(transcript).read())
            wait.until(lambda d: all(c.text != 'Bob' for c in d.find_elements(By.CSS_SELECTOR, '#playerTable td')))
            driver.save_screenshot(os.path.join(shots, 'panel.png'))

            # A setting saved from the settings page lands in settings.ini; the server code stays masked, and
            # the page says where the record is kept.
            wait.until(lambda d: d.find_element(By.ID, 'setServerCode').get_attribute('value') == '********')
            driver.get(base + '/#settings')
            wait.until(lambda d: d.find_element(By.ID, 'setMinPlayers').get_attribute('value') == '0')
            assert 'local file' in driver.find_element(By.ID, 'storeShown').text
            driver.find_element(By.ID, 'setMinPlayers').clear()
            driver.find_element(By.ID, 'setMinPlayers').send_keys('3')
            driver.find_element(By.CSS_SELECTOR, '#otherSettingsForm button').click()
            wait.until(lambda d: d.find_element(By.ID, 'message').text == 'Settings saved.')
            ini = open(settings_ini, 'rb').read()
            assert b'minplayers=3' in ini and b'servercode=QX1' in ini, ini
            driver.save_screenshot(os.path.join(shots, 'settings.png'))

            # Resetting the games asks first, in the page's own dialog; yes sends it to the console.
            driver.find_element(By.ID, 'resetGames').click()
            try:
                question = wait.until(ec.alert_is_present())
            except TimeoutException:
                sys.exit('no question was asked: ' + driver.find_element(By.ID, 'message').text)
            assert 'Reset games?' in question.text, question.text
            question.accept()
            wait.until(lambda d: 'command "resetgames"' in open(transcript).read())
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
