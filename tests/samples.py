"""Sample texts and generated PDFs shared by the test modules."""

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
