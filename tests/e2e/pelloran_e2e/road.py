"""The road of one run through the wizard's four pages, one function per page."""

import os

from . import driver
from .driver import DriverError

TITLE = "Norvane Pelloran"
PAGE_MARKS = {
    "welcome": "Welcome to the Norvane Pelloran",
    "usage": "Please select the type of usage required for this machine.",
    "review": "Configuration parameters for your PostgreSQL installation have been calculated",
    "thankyou": "Your new PostgreSQL configuration file has been saved.",
}
PAGES = ["welcome", "usage", "review", "thankyou"]


def flat(text):
    """A label's text with its wrapping undone."""
    return " ".join(text.split())


def current_page(program):
    texts = [flat(t) for t in program.texts()]
    for page in PAGES:
        if any(t.startswith(PAGE_MARKS[page]) for t in texts):
            return page
    return None


def wait_for_page(program, page, timeout=90):
    import time
    deadline = time.monotonic() + timeout
    while True:
        if current_page(program) == page:
            return
        # An error box on the way is a failure of the run: say what it said.
        for window in program.windows():
            if window.role == "alert" and window.name != "Question":
                labels = [n.name for n in window.descendants() if n.role == "label" and n.name]
                raise DriverError("expected the %s page, got an error box: %r" % (page, labels))
        if program.process.poll() is not None:
            raise DriverError("the program ended (%s) before the %s page"
                              % (program.process.returncode, page))
        if time.monotonic() > deadline:
            raise DriverError("not on the %s page after %s s; texts: %r"
                              % (page, timeout, program.texts()))
        time.sleep(0.1)


def wizard_box(program):
    return program.window(TITLE).box()


def shoot(desktop, program, name, folder, window=None):
    """A picture of one window (the wizard unless told), once its drawing is finished."""
    box = window.box() if window else wizard_box(program)
    desktop.wait_drawn(box)
    return desktop.screenshot(os.path.join(folder, name + ".png"), box)


def choose_installation(program, list_text):
    """Opens the installation list and picks the entry, as with the mouse."""
    combo = program.find("combo box")
    # The list opens from its arrow button at the right end; the text part is read-only.
    x, y, w, h = combo.box()
    driver.xdotool("mousemove", x + w - 12, y + h // 2, "click", "1")
    item = program.find("menu item", list_text, timeout=10)
    item.click()
    # The list shows the choice once the pop-up has closed.
    import time
    deadline = time.monotonic() + 10
    while program.find_all("menu item", list_text) and time.monotonic() < deadline:
        time.sleep(0.05)


def leave_welcome(program, list_text):
    choose_installation(program, list_text)
    program.click_button("Next >")
    wait_for_page(program, "usage")


def leave_usage(program, usage="Dedicated"):
    program.find("radio button", usage).click()
    program.click_button("Next >")
    # The exchange runs behind a progress dialog; the review page follows.
    wait_for_page(program, "review", timeout=120)


def open_preview(program):
    """Review, then the preview window once the progress dialog before it has gone."""
    program.click_button("Review")
    window = program.window("postgresql.conf", timeout=120)
    program.wait_gone("dialog", "Norvane's Pelloran", timeout=120)
    return window


def close_preview(program):
    program.close_window("postgresql.conf")
    program.wait_gone("dialog", "postgresql.conf")


def leave_review(program):
    program.click_button("Next >")
    wait_for_page(program, "thankyou", timeout=60)


def finish(program, untick=True):
    box = program.find("check box", "Display additional information about Norvane services")
    if untick and box.checked:
        box.click()
    program.click_button("Finish")


def cancel(program, answer="Yes"):
    """Cancel (or, on the last page, the close box), then answer the question."""
    if program.find_all("push button", "Cancel"):
        program.click_button("Cancel")
    else:
        program.close_window(TITLE)
    window, labels = program.message_box()
    if "Are you sure you want to close the Norvane Pelloran?" not in labels:
        raise DriverError("expected the exit question, got %r" % labels)
    program.click_button(answer, within=window)


def version_box(program):
    """The hand-chosen page's version box: the one drop-down there that can be changed."""
    boxes = [b for b in program.find_all("combo box") if b.enabled]
    if len(boxes) != 1:
        raise DriverError("expected one version box, found %r" % boxes)
    return boxes[0]


def choose_file(program, path):
    """The path typed into the file selector, then its browse button: the file dialog opens
    on that file, and Open confirms it. (The dialog's own location field completes as it is
    typed into, which loses keys.)"""
    field = program.find("text")
    field.click()
    driver.xdotool("type", "--delay", "20", path)
    # The button sits right of the text field, inside the 300-pixel control.
    x, y, w, h = field.box()
    driver.xdotool("mousemove", x + w + 8, y + h // 2, "click", "1")
    dialog = program.window("Choose File", timeout=30)
    program.click_button("Open", within=dialog)
    import time
    deadline = time.monotonic() + 20
    while program.find_all("file chooser", "Choose File") and time.monotonic() < deadline:
        time.sleep(0.1)
    if field.text() != path:
        raise DriverError("the file selector shows %r, not %r" % (field.text(), path))


def pick_version(program, version):
    """Opens the version box and picks the entry, as with the mouse."""
    x, y, w, h = version_box(program).box()
    driver.xdotool("mousemove", x + w - 8, y + h // 2, "click", "1")
    program.find("menu item", version, timeout=10).click()
    import time
    deadline = time.monotonic() + 10
    while program.find_all("menu item", version) and time.monotonic() < deadline:
        time.sleep(0.05)
