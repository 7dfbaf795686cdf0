"""Text extraction: OCR-first PDF text, the ocrmypdf runner, images and video frames."""

from wrapper.infra.Idiomark import Idiomark

# Limits of each ocrmypdf run, read at every run: seconds allowed (fixed plus
# per page of the input) and the tool's --jobs (None: its own default).
OCR_SECONDS_FIXED: float
OCR_SECONDS_PER_PAGE: float
OCR_JOBS: int | None
# Whether a PDF extracted without a language is OCR'd once, in the language
# a sample of it tells (text layer, else a few rendered pages), instead of
# twice. Off by default; the command line turns it on.
OCR_ONE_PASS: bool
# Seconds allowed to each Tesseract run on one image or video frame.
TESSERACT_SECONDS: float
# Whether that sample is read by Tesseract's library in this process (its
# model loaded once) rather than by the tesseract program; the same text.
TESSERACT_IN_PROCESS: bool

def extract_text_from_image(image_path: str, language: Idiomark | None = None) -> str: ...
def extract_text_from_any(file_path: object) -> None: ...
def extract_text_from_csv(csv_path: object) -> None: ...
def run_ocrmypdf(input_pdf: object, output_pdf: object, language: Idiomark | None = None) -> None: ...
def get_text_from_pdf(pdf_path: str) -> str: ...
def extract_text_from_pdf(pdf_path: str, base_path: str, language: Idiomark | None = None) -> str: ...
def _extract_text_from_pdf(pdf_path: str) -> str: ...
def extract_text_from_video(video_path: str) -> str | None: ...
