#!/usr/bin/python3
"""The panel in a real browser (headless Chromium) over the demo server and its fake program:
log in, see a player named like markup shown as text, watch players join live, send a chat line.
Usage: browser_test.py PANEL_DEMO SCREENSHOT_DIR"""
import os
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as ec
from selenium.webdriver.support.ui import WebDriverWait

MARKUP = '<img src=x onerror=alert(1)>'


def main():
    demo, shots = sys.argv[1], sys.argv[2]
    os.makedirs(shots, exist_ok=True)
    with tempfile.TemporaryDirectory() as data:
        port_file = os.path.join(data, 'port')
        server = subprocess.Popen([demo, data, port_file, 'root:admin:root password 1'])
        driver = None
        try:
            for _ in range(300):
                if os.path.exists(port_file) and open(port_file).read().strip():
                    break
                if server.poll() is not None:
                    sys.exit('the demo server stopped: %d' % server.returncode)
                time.sleep(0.1)
            base = 'http://127.0.0.1:%s' % open(port_file).read().strip()

            options = webdriver.ChromeOptions()
            for arg in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=420,900'):
                options.add_argument(arg)
            driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
            # The live feed redraws the tables: an element read while it is replaced is read again.
            wait = WebDriverWait(driver, 20, ignored_exceptions=(StaleElementReferenceException,))

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

            # Players join live (the demo adds one a second), without a reload.
            driver.save_screenshot(os.path.join(shots, 'status.png'))
            rows = len(driver.find_elements(By.CSS_SELECTOR, '#playerTable tbody tr'))
            wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, '#playerTable tbody tr')) > rows)

            # A chat line sent from the page comes back on the live feed.
            driver.find_element(By.ID, 'chatText').send_keys('hello from the panel')
            driver.find_element(By.CSS_SELECTOR, '#chatForm button').click()
            wait.until(lambda d: 'hello from the panel' in d.find_element(By.ID, 'chatLines').text)
            assert driver.find_element(By.ID, 'message').text == '', driver.find_element(By.ID, 'message').text
            driver.save_screenshot(os.path.join(shots, 'panel.png'))
            # No message in the console says the page's policy blocked something of its own.
            blocked = [e for e in driver.get_log('browser') if 'Content Security Policy' in e.get('message', '')]
            assert not blocked, blocked
            print('browser test passed')
        finally:
            if driver:
                driver.quit()
            server.terminate()
            server.wait(10)


if __name__ == '__main__':
    main()
