"""The interactive 3-D page, loaded and clicked in a real headless browser."""

from __future__ import annotations

import os
import shutil

import pytest

import quarvel
from quarvel import geometry
from quarvel.idd import IDD
from quarvel.idf import IDF

from .realdata import REAL, needs_real_data
from .test_cli import quarvel as run_cli
from .test_geometry import box, schema  # noqa: F401 (a fixture)

# CI installs the browser; there a missing one is a failure, not a skip.
REQUIRE_BROWSER = os.environ.get("QUARVEL_REQUIRE_BROWSER") == "1"
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")


@pytest.fixture(scope="module")
def browser():
    if REQUIRE_BROWSER:
        from selenium import webdriver
    else:
        webdriver = pytest.importorskip("selenium.webdriver")
        if not (CHROMIUM and DRIVER):
            pytest.skip("chromium and chromedriver are not installed")
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1000,700"):
        options.add_argument(flag)
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    from selenium.webdriver.chrome.service import Service

    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    yield driver
    driver.quit()


def shown(browser, page, tmp_path):
    path = tmp_path / "view.html"
    path.write_text(page, encoding="utf-8")
    browser.get(path.as_uri())
    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    return errors, int(browser.execute_script("return document.body.dataset.drawn || -1"))


MODELS = [pytest.param(lambda s: box(s), id="box")]
if REAL.is_dir():
    MODELS.append(pytest.param(lambda s: IDF.from_file(IDD.from_file(REAL / "schema-25.2.idd"),
                                                       REAL / "models" / "LgOffVAV.idf"), id="LgOffVAV"))


@pytest.mark.parametrize("make", MODELS)
def test_the_page_draws_every_surface_and_names_the_one_clicked(browser, schema, make, tmp_path):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By

    model = make(schema)
    count = len([s for s in geometry.surfaces(model) if s.vertices])
    errors, drawn = shown(browser, geometry.view(model).html, tmp_path)
    assert errors == [] and drawn == count
    # a surface whose centre on the screen is its own (not one seen edge on, or behind another)
    front, x, y = browser.execute_script("""
        const view = window.quarvelView;
        for (const s of view.order()) {
          const c = view.centreOf(s);
          if (c && view.pick(c[0], c[1]) && view.pick(c[0], c[1]).name === s) return [s, c[0], c[1]];
        }
        return [null, 0, 0];""")
    canvas = browser.find_element(By.ID, "scene")
    # offsets from the element's centre
    width, height = canvas.rect["width"], canvas.rect["height"]
    ActionChains(browser).move_to_element_with_offset(canvas, int(x - width / 2), int(y - height / 2)).click().perform()
    info = browser.find_element(By.ID, "info")
    assert info.get_attribute("data-name") == front and f"'{front}'" in info.text
    browser.find_element(By.CSS_SELECTOR, "#colour option[value='zone']").click()
    assert browser.execute_script("return document.getElementById('legend').children.length") == \
        len({s.zone.upper() for s in geometry.surfaces(model) if s.zone})


def test_names_cannot_break_out_of_the_page(browser, schema, tmp_path):
    model = box(schema)
    model.get_object_by_name("BuildingSurface:Detailed", "Top")[0] = "</script><script>alert(1)</script>"
    errors, drawn = shown(browser, geometry.view(model, title="<b>&</b>").html, tmp_path)
    assert errors == [] and drawn == 7 and browser.title == "<b>&</b>"


def test_the_page_needs_nothing_from_outside(schema):
    page = geometry.view(box(schema)).html
    assert "http://" not in page and "https://" not in page and "src=" not in page
    frame = geometry.view(box(schema))._repr_html_()
    assert frame.startswith('<iframe srcdoc="&lt;!DOCTYPE html&gt;') and 'sandbox="allow-scripts"' in frame


def test_cli_writes_the_page(tmp_path):
    result = run_cli("view", "--html", "--example", "-o", tmp_path / "example.html")
    assert result.returncode == 0 and result.stderr == f"wrote {tmp_path / 'example.html'}\n"
    model = IDF.from_file(IDD.from_file(quarvel.EXAMPLE_IDD), quarvel.EXAMPLE_IDF)
    assert (tmp_path / "example.html").read_text(encoding="utf-8") == geometry.view(model, title=(
        "Small Office - example.idf")).html


@needs_real_data
def test_every_real_model_makes_a_page():
    schema = IDD.from_file(REAL / "schema-25.2.idd")
    for path in sorted((REAL / "models").glob("*.idf")):
        assert '"surfaces": [{' in geometry.view(IDF.from_file(schema, path)).html
