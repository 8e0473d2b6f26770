"""The console's rig: the server tests' Site (a real server on bench
encoders), users who sign in, and one headless Chromium for the module."""
import importlib.util
import pathlib
import subprocess

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

_spec = importlib.util.spec_from_file_location(
    "server_rig", pathlib.Path(__file__).resolve().parents[1] / "server" / "conftest.py")
rig = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(rig)

USERS = {"anna": ("desk", "anna-desk-pass"), "max": ("manager", "max-manager-pass")}
AREAS = '"pool" = [7]\n"spa" = [8]\n'
SHOTS = pathlib.Path(__file__).resolve().parents[2] / "docs" / "console"


def add_user(site, name, role, password):
    return subprocess.run([rig.SERVER, "user", "add", name, "--role", role, "--password-stdin", "--config",
                           str(site.config)], input=password + "\n", capture_output=True, text=True, check=True)


def make_console_site(root, console=""):
    site = rig.Site(root, tables=AREAS + console)
    for name, (role, password) in USERS.items():
        add_user(site, name, role, password)
    return site.start()


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    s = make_console_site(tmp_path_factory.mktemp("console"))
    yield s
    s.stop()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,860",
                "--disable-gpu", "--no-first-run"):
        options.add_argument(arg)
    downloads = tmp_path_factory.mktemp("downloads")
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.downloads = downloads
    yield driver
    driver.quit()
