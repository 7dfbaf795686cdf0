"""Sample texts and generated PDFs shared by the test modules."""

import os
import signal
import subprocess

import fitz

PT = ("O vulcão acordou depois de dois séculos de silêncio. A cinza cobriu as aldeias da "
      "encosta norte e a lava chegou ao rio de Lisboa em três dias.")
ES = ("El volcán despertó después de dos siglos de silencio. La ceniza cubrió los pueblos "
      "de la ladera norte y la lava llegó al río en tres días.")
EN = ("The volcano woke up after two centuries of silence. Ash covered the villages on the "
      "northern slope and the lava reached the river in three days.")


def _text_page(text):
    doc = fitz.open()
    page = doc.new_page(width=420, height=300)
    page.insert_textbox(fitz.Rect(24, 24, 396, 276), text, fontsize=13)
    return doc


def text_pdf(path, text):
    """A page whose text is a real text layer."""
    with _text_page(text) as doc:
        doc.save(path)
    return path


def scanned_pdf(path, text):
    """A page that holds its text only as pixels, as a scanner delivers it."""
    with _text_page(text) as src:
        pixels = src[0].get_pixmap(dpi=200, colorspace=fitz.csGRAY)
    with fitz.open() as doc:
        page = doc.new_page(width=420, height=300)
        page.insert_image(page.rect, stream=pixels.tobytes("png"))
        doc.save(path)
    return path


def alive(pid):
    """Whether process `pid` is still running (not ended, not a zombie)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in "ZX"
    except FileNotFoundError:
        return False


def ctrl_c_delivered():
    """preexec_fn for a child that is to be interrupted: started from a
    background job, the tests themselves ignore Ctrl-C and a child would
    inherit that; it must meet it as a terminal delivers it."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


# A child interrupted on a machine that is busy with other work may take a
# while to wind up; one that never does is a fault, and its Python stacks
# (written by faulthandler on SIGABRT: start it with PYTHONFAULTHANDLER=1)
# say where it stands.
INTERRUPT_SECONDS = 180


def interrupted(proc, group=False):
    """Ctrl-C to `proc` (its whole group with `group`); its exit status."""
    if group:
        os.killpg(proc.pid, signal.SIGINT)
    else:
        proc.send_signal(signal.SIGINT)
    try:
        return proc.wait(timeout=INTERRUPT_SECONDS)
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGABRT)
        try:
            proc.wait(timeout=30)
        finally:
            if group:
                os.killpg(proc.pid, signal.SIGKILL)
            else:
                proc.kill()
        raise AssertionError(f"pid {proc.pid} still ran {INTERRUPT_SECONDS} s after Ctrl-C "
                             "(its stacks are in its error stream)")
