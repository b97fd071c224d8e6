"""Thumbnails of the satellites' photos, each made by a short-lived process
of its own: decoding a large image leaves the station's memory as it was
(an allocator keeps what it once grew to), and the worker's address space
is bounded, so a photo made to decode huge fails alone.

    /usr/bin/python3 -I thumbs.py PHOTO      the JPEG thumbnail on stdout
"""

import io
import os
import resource
import subprocess
import sys
import warnings

SIZE = (160, 120)
# A thumbnail never decodes more than this (a 6000x4000 photo; about 72 MB
# as RGB).
MAX_DECODE_PIXELS = 24_000_000
# The worker's address space: the interpreter, Pillow and one decode.
WORKER_BYTES = 512 * 1024 * 1024
WORKER_SECONDS = 20


def make(path):
    """A small JPEG of the photo (bytes), or None when it cannot be read or
    is larger than a thumbnail may decode. Blocks up to WORKER_SECONDS."""
    try:
        r = subprocess.run([sys.executable, "-I", os.path.abspath(__file__), path],
                           capture_output=True, timeout=WORKER_SECONDS)
    except (OSError, subprocess.SubprocessError):
        return None
    return r.stdout if r.returncode == 0 and r.stdout else None


def decode(path):
    from PIL import Image
    # A JPEG may be far larger than what its draft decodes.
    Image.MAX_IMAGE_PIXELS = 64 * MAX_DECODE_PIXELS
    try:
        with warnings.catch_warnings(), Image.open(path) as im:
            warnings.simplefilter("ignore", Image.DecompressionBombWarning)
            # The header's size, before any pixel is decoded. A JPEG decodes
            # at a fraction of its size (draft); anything else whole.
            w, h = im.size
            if im.format == "JPEG":
                im.draft("RGB", (SIZE[0] * 2, SIZE[1] * 2))
                w, h = im.size
            if w * h > MAX_DECODE_PIXELS:
                return None
            im = im.convert("RGB")
            im.thumbnail(SIZE)
            out = io.BytesIO()
            im.save(out, "JPEG", quality=80)
            return out.getvalue()
    except (OSError, ValueError, MemoryError, Image.DecompressionBombError, SyntaxError):
        return None


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_AS, (WORKER_BYTES, WORKER_BYTES))
    data = decode(sys.argv[1])
    if data is None:
        sys.exit(1)
    sys.stdout.buffer.write(data)
