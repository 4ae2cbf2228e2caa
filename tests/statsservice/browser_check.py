"""The service's leaderboard as headless Chromium shows it: prints the first row's player, score
and matches, then follows the player's link and prints that page's heading and score. Then every
kind of page at a phone's width (390 px): fails when one is wider than the window."""
import sys

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

base = sys.argv[1]
options = Options()
for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--no-proxy-server"):
    options.add_argument(argument)
options.binary_location = "/usr/bin/chromium"
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get(base + "/tovistats/leaderboard")
    row = driver.find_elements(By.CSS_SELECTOR, "#leaderboard tr")[1]
    cells = [cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
    first = f"{cells[1]} {cells[2]} {cells[3]}"
    row.find_element(By.TAG_NAME, "a").click()
    heading = driver.find_element(By.TAG_NAME, "h1").text
    score = driver.find_element(By.ID, "score").text
    player = driver.current_url
    print(f"{first}; {heading} {score}")
    driver.set_window_size(390, 844)
    width = driver.execute_script("return window.innerWidth")
    for page in ("/tovistats/", "/tovistats/leaderboard", "/tovistats/leaderboard?period=week", "/tovistats/maps",
                 "/tovistats/match?id=1", "/tovistats/server?id=1", "/tovistats/news.php", player):
        driver.get(page if page.startswith("http") else base + page)
        wide = driver.execute_script("return document.documentElement.scrollWidth")
        if wide > width:
            sys.exit(f"{page} is {wide} px wide in a window of {width} px")
finally:
    driver.quit()
