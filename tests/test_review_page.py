"""The review page as a teacher uses it for a class in an evening: question by question, by keys, at a phone's
width and a laptop's, against the real `quorvan review` over HTTP with the example class marked through the
stand-in (once for the module)."""

import json
import re
import sqlite3

import pytest

from tests.test_review import SHOTS, browser, marked_class, results, review, sheet_named, stored_events  # noqa: F401

SIZES = {"phone": (390, 844), "desktop": (1366, 768)}
ME = "ms.rivera"


@pytest.fixture(params=sorted(SIZES))
def size(request):
    return request.param


class Page:
    """The review page in the browser, at a screen size, with the waits a teacher does by eye."""

    def __init__(self, browser, review, size="desktop"):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait

        self.d, self.review, self.size, self.By = browser, review, size, By
        self.wait = WebDriverWait(browser, 30)
        width, height = SIZES[size]
        browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": height, "deviceScaleFactor": 1, "mobile": size == "phone"})
        self.load()

    def load(self):
        self.d.get(self.review.url)
        self.wait.until(lambda d: len(d.find_elements(self.By.CSS_SELECTOR, "#grid tbody tr")) == 3)
        self.idle()

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def idle(self):
        self.wait.until(lambda d: d.execute_script("return document.documentElement.dataset.pending") == "0")

    def keys(self, *keys):
        """Keys typed where the focus is (the page itself when nothing is focused)."""
        from selenium.webdriver.common.action_chains import ActionChains

        ActionChains(self.d).send_keys(*keys).perform()
        self.idle()

    def find(self, css):
        return self.d.find_element(self.By.CSS_SELECTOR, css)

    def text(self, element_id):
        return self.d.find_element(self.By.ID, element_id).text

    def rows(self):
        return [int(tr.get_attribute("data-sheet")) for tr in self.d.find_elements(self.By.CSS_SELECTOR, "#grid tbody tr")]

    def open(self, sheet, q):
        self.find(f'#grid td.q[data-sheet="{sheet}"][data-q="{q}"]').click()
        self.showing(sheet, q)

    def showing(self, sheet, q):
        name = next(s["name"] for s in self.review.api("GET", "/api/class")[1]["sheets"] if s["sheet"] == sheet)
        self.wait.until(lambda d: self.text("answer-title") == f"{name} — {q}")
        self.idle()

    def images_loaded(self):
        self.wait.until(lambda d: self.js(
            "const i = [...document.querySelectorAll('#pages img')];"
            "return i.length > 0 && i.every(i => i.complete && i.naturalWidth > 0)"))

    def fits(self):
        """Nothing of the page lies past the right edge of the screen: no sideways scrolling."""
        return self.js("return document.documentElement.scrollWidth <= window.innerWidth")

    def shot(self, name):
        SHOTS.mkdir(parents=True, exist_ok=True)
        assert self.d.save_screenshot(str(SHOTS / f"{self.size}-{name}.png"))


def answer(review, sheet, q):
    status, data = review.api("GET", f"/api/answer?sheet={sheet}&q={q}")
    assert status == 200, data
    return data


def history(page):
    return [li.text for li in page.d.find_elements(page.By.CSS_SELECTOR, "#history li")]


def sheets(review):
    return {s["file"]: s for s in review.api("GET", "/api/class")[1]["sheets"]}


# ------------------------------------------------------------------ layout

def test_grid_answer_and_calibration_fit_the_screen(review, browser, size):
    by_file = sheets(review)
    alice, bilal = by_file["alice.pdf"]["sheet"], by_file["bilal.pdf"]["sheet"]
    # Two decisions, so calibration has figures and a difference to show.
    model_q1 = answer(review, alice, "Q1")["model"]["awarded"]
    assert review.api("POST", "/api/change", {"sheet": alice, "q_id": "Q1", "field": "awarded", "value": model_q1})[0] == 200
    assert review.api("POST", "/api/change", {"sheet": bilal, "q_id": "Q2", "field": "awarded", "value": 0})[0] == 200
    page = Page(browser, review, size)
    assert page.fits()
    page.shot("grid")

    page.open(bilal, "Q2")
    page.images_loaded()
    assert page.fits()
    image = page.find("#pages img").rect
    marking = page.find("#marking").rect
    if size == "phone":
        assert image["y"] + image["height"] <= marking["y"]  # the page image first, then the marking
        assert image["width"] <= SIZES["phone"][0]
    else:
        column = page.find("#page-column").rect
        assert image["x"] + image["width"] <= marking["x"] and abs(column["y"] - marking["y"]) < 5  # two columns
    page.shot("answer")

    page.find("#show-agreement").click()
    page.wait.until(lambda d: page.find("#agreement table"))
    page.idle()
    assert page.fits()
    panel = page.find("#agreement")
    captions = [c.text for c in panel.find_elements(page.By.TAG_NAME, "caption")]
    assert captions[:2] == ["Overall", "By question"] and "Largest differences" in captions
    assert not [p for p in panel.find_elements(page.By.TAG_NAME, "pre") if "{" in p.text]
    assert "{" not in panel.text
    overall = [td.text for td in panel.find_elements(page.By.CSS_SELECTOR, "table.overall tbody td")]
    assert overall[0] == "2"
    q2 = panel.find_element(page.By.XPATH, ".//table[contains(@class, 'questions')]//tr[td[1]='Q2']")
    assert q2.text.split()[:2] == ["Q2", "1"] and "sample too small (n < 10)" in q2.text
    assert panel.find_elements(page.By.CSS_SELECTOR, "svg.chart rect")
    page.shot("calibration")


# -------------------------------------------------------------- navigation

def test_next_goes_down_one_question_and_the_way_is_remembered(review, browser, size):
    page = Page(browser, review, size)
    rows = page.rows()
    assert page.find("#mode-student").get_attribute("aria-pressed") == "true"
    page.find("#mode-question").click()

    page.open(rows[0], "Q1")
    page.keys("n")
    page.showing(rows[1], "Q1")
    page.keys("]")
    page.showing(rows[2], "Q1")

    # The way holds after a reload: from the class's last Q1, next is the first student's Q2.
    page.load()
    assert page.find("#mode-question").get_attribute("aria-pressed") == "true"
    page.open(rows[2], "Q1")
    page.keys("n")
    page.showing(rows[0], "Q2")
    page.keys("p")
    page.showing(rows[2], "Q1")
    page.find("#next").click()
    page.showing(rows[0], "Q2")

    # By student again: next is the same student's next answer.
    page.find("#mode-student").click()
    page.keys("[")
    page.showing(rows[0], "Q1")
    page.keys("n")
    page.showing(rows[0], "Q2")
    page.load()
    assert page.find("#mode-student").get_attribute("aria-pressed") == "true"


# -------------------------------------------------------------------- keys

def test_keys_tick_mark_approve_and_undo(review, results, browser, size):
    from selenium.webdriver.common.keys import Keys

    bilal = sheets(review)["bilal.pdf"]["sheet"]
    before = answer(review, bilal, "Q2")
    page = Page(browser, review, size)
    page.open(bilal, "Q2")

    page.keys("?")
    assert page.find("#help").is_displayed() and "tick or untick criterion" in page.text("help")
    page.shot("help")
    page.keys(Keys.ESCAPE)
    assert not page.find("#help").is_displayed()

    page.keys("1")  # criterion 1 the other way round; the mark follows the ticks
    ticks = sorted(set(before["reviewed"]["criteria_met"]) ^ {0})
    assert answer(review, bilal, "Q2")["reviewed"]["criteria_met"] == ticks

    page.keys("m", "2,5", Keys.ENTER)  # a decimal comma, as many teachers type it
    page.wait.until(lambda d: page.text("message") == "Mark saved.")
    assert answer(review, bilal, "Q2")["reviewed"]["awarded"] == 2.5
    assert json.loads(stored_events(results)[-1]["new_value"]) == 2.5

    page.keys("a")
    assert answer(review, bilal, "Q2")["reviewed"]["approved"] is True
    lines = history(page)
    assert re.fullmatch(rf"{ME} approved Q2, \d{{1,2}}:\d\d", lines[0])
    assert re.fullmatch(rf"{ME} set Q2 to 2\.5 of 4, \d{{1,2}}:\d\d", lines[1])
    assert re.match(rf"{ME} (ticked criteri(on|a) [\d, and]+|unticked every criterion) of Q2", lines[2])
    assert not any(c in "".join(lines) for c in "{[→")

    page.keys("z")
    now = answer(review, bilal, "Q2")["reviewed"]
    assert now["approved"] is False and now["awarded"] == 2.5
    page.keys("z")
    assert answer(review, bilal, "Q2")["reviewed"]["awarded"] == min(before["max"], sum(
        c["mark"] for i, c in enumerate(before["criteria"]) if i in ticks))
    page.wait.until(lambda d: page.js("return document.getElementById('mark-input').value") != "2.5")

    # Keys typed into the feedback are words, not commands.
    events = len(stored_events(results))
    feedback = page.find("#feedback")
    feedback.clear()
    feedback.send_keys("Well argued; name the valves. n a z 1")
    page.idle()
    assert len(stored_events(results)) == events
    page.keys(Keys.ESCAPE)  # out of the box and back to the class: the feedback is saved first
    page.wait.until(lambda d: page.find("#grid-view").is_displayed())
    assert page.text("message") == "Saved your feedback for Q2 before moving on."
    assert answer(review, bilal, "Q2")["reviewed"]["feedback"] == "Well argued; name the valves. n a z 1"
    page.open(bilal, "Q2")
    assert re.fullmatch(rf"{ME} wrote feedback for Q2, \d{{1,2}}:\d\d", history(page)[0])


def test_unsaved_feedback_is_saved_when_moving_on_by_key(review, browser):
    bilal = sheets(review)["bilal.pdf"]["sheet"]
    page = Page(browser, review)
    page.open(bilal, "Q1")
    page.find("#feedback").send_keys(" Say which gas goes in.")
    page.find("#answer-title").click()  # out of the box, so n is a key again
    page.keys("n")
    page.showing(bilal, "Q2")
    assert page.text("message") == "Saved your feedback for Q1 before moving on."
    assert answer(review, bilal, "Q1")["reviewed"]["feedback"].endswith(" Say which gas goes in.")
    assert not page.js("return document.getElementById('feedback').value.includes('Say which gas')")


# ------------------------------------------------------------------- class

def test_a_sheet_is_approved_from_the_grid_and_the_counts_follow(review, browser):
    from selenium.webdriver.common.keys import Keys

    page = Page(browser, review)
    rows = page.rows()
    assert "Sheets: 0 of 3 reviewed, 0 approved" in page.text("counts")
    page.find(f'#grid tr[data-sheet="{rows[0]}"] button.approve-row').click()
    page.idle()
    assert page.find(f'#grid tr[data-sheet="{rows[0]}"]').get_attribute("class") == "approved"
    by_id = {s["sheet"]: s for s in sheets(review).values()}
    assert by_id[rows[0]]["approved"]
    assert "Sheets: 1 of 3 reviewed, 1 approved" in page.text("counts")

    # By keys: down to the last row, approve it, then undo that.
    page.keys(Keys.ARROW_DOWN, Keys.ARROW_DOWN, "a")
    assert {s["sheet"]: s for s in sheets(review).values()}[rows[2]]["approved"]
    assert "Sheets: 2 of 3 reviewed, 2 approved" in page.text("counts")
    page.keys("z")
    approved = {s["sheet"]: s["approved"] for s in sheets(review).values()}
    assert approved == {rows[0]: True, rows[1]: False, rows[2]: False}
    assert "Sheets: 1 of 3 reviewed, 1 approved" in page.text("counts")


def test_a_question_the_parse_found_no_answer_to(review, results, browser):
    """Bilal left out Q3: the grid says so (never a 0), and the teacher can look at his pages and mark it."""
    from selenium.webdriver.common.keys import Keys

    bilal = sheets(review)["bilal.pdf"]["sheet"]
    page = Page(browser, review)
    cell = page.find(f'#grid td[data-sheet="{bilal}"][data-q="Q3"]')
    assert cell.text == "–" and "not-answered" in cell.get_attribute("class")
    assert "not answered" in cell.get_attribute("title").lower()
    assert page.find(f'#grid td[data-sheet="{bilal}"][data-q="Q1"]').text != "–"

    cell.click()
    page.showing(bilal, "Q3")
    assert "The parse found no answer to Q3" in page.text("no-answer")
    buttons = page.d.find_elements(page.By.CSS_SELECTOR, "#page-chooser button")
    assert [b.text for b in buttons] == ["Page 1", "Page 2"]
    buttons[1].click()
    page.images_loaded()
    assert page.find("#pages img").get_attribute("src").split("&")[1] == "page=2"
    page.shot("not-answered")

    page.keys("m", "1,5", Keys.ENTER)
    page.wait.until(lambda d: page.text("message") == "Mark saved.")
    event = stored_events(results)[-1]
    assert (event["q_id"], event["field"], json.loads(event["new_value"])) == ("Q3", "awarded", 1.5)
    page.keys(Keys.ESCAPE)
    page.wait.until(lambda d: page.find(f'#grid td[data-sheet="{bilal}"][data-q="Q3"]').text.startswith("1.5"))


def test_keep_my_mark_clears_the_look_again_flag(review, results, browser):
    alice = sheets(review)["alice.pdf"]["sheet"]
    assert review.api("POST", "/api/change", {"sheet": alice, "q_id": "Q1", "field": "awarded", "value": 1})[0] == 200
    # As a new marking of the answer leaves it after the teacher's decision.
    db = sqlite3.connect(results / "marking.db")
    with db:
        db.execute("UPDATE answers SET flags = ? WHERE sheet_id = ? AND q_id = 'Q1'",
                   (json.dumps([{"kind": "look_again", "note": "Q1: marked again since the teacher's decision: "
                                                                "look again"}]), alice))
    db.close()
    page = Page(browser, review)
    page.open(alice, "Q1")
    assert page.find("#look-again").is_displayed() and "look again" in page.text("answer-badges")
    page.find("#keep").click()
    page.idle()
    now = answer(review, alice, "Q1")
    assert now["reviewed"]["look_again"] is False and now["reviewed"]["awarded"] == 1
    assert not page.find("#look-again").is_displayed()
