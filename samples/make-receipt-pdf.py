#!/usr/bin/env python3
"""Makes receipt.pdf, the sample PDF receipt: a 58 mm page as a till writes
it, with text in the standard fonts (Windows-1252: euro sign, accents), a
rule and a Code 128 barcode drawn as bars on the printer's dot grid.
Needs Debian's zint (the barcode's modules) and ghostscript (embeds the
fonts); the result is committed, so the build does not."""
import os
import subprocess
import tempfile

MM = 72 / 25.4
WIDTH = 58 * MM
DOT = 72 / 203
# A 58 mm page lands on the 384 dots centred: dot 0 is the page's 40th.
FIRST_DOT = 40
LEFT = FIRST_DOT * DOT


def text(font, size, x, y, s):
    s = s.encode("cp1252").replace(b"\\", b"\\\\").replace(b"(", b"\\(").replace(b")", b"\\)")
    return b"BT /%s %.2f Tf %.2f %.2f Td (%s) Tj ET\n" % (font.encode(), size, x, y, s)


def barcode_modules(data):
    """The symbol's modules, 1 for a bar, from zint's dump of its row."""
    out = subprocess.run(["zint", "--barcode=20", "--data=" + data, "--dump"], check=True,
                         capture_output=True, text=True).stdout.split()
    bits = "".join(format(int(b, 16), "08b") for b in out)
    return bits.rstrip("0")


def page(height):
    y = height - 9 * MM
    c = b""
    c += text("HB", 20, LEFT, y, "CORNER")
    y -= 5 * MM
    c += text("H", 9, LEFT, y, "coffee & books · Rue de l'Été 4")
    y -= 8 * MM
    rows = [("08.12.2026 14:32", "till 2"), ("Café crème", "3,40 €"), ("Croissant", "2,10 €"),
            ("Bücher, gebraucht", "6,50 €"), ("Gâteau à l'orange", "3,90 €")]
    for left, right in rows:
        c += text("C", 7, LEFT, y, "%-22s%10s" % (left, right))
        y -= 4.2 * MM
    c += b"0 g 1 w %.2f %.2f m %.2f %.2f l S\n" % (LEFT, y + 2 * MM, WIDTH - LEFT, y + 2 * MM)
    y -= 3 * MM
    c += text("HB", 12, LEFT, y, "TOTAL")
    c += text("HB", 12, LEFT + 30 * MM, y, "15,90 €")
    y -= 5 * MM
    c += text("C", 7, LEFT, y, "Karte **** 4821          bezahlt")
    # Bars of two dots a module, on whole dots.
    modules = barcode_modules("R-20261208-0042")
    start = (384 - 2 * len(modules)) // 2
    y -= 14 * MM
    bar_height = 10 * MM
    x = 0
    while x < len(modules):
        if modules[x] == "1":
            run = 1
            while x + run < len(modules) and modules[x + run] == "1":
                run += 1
            c += b"0 g %.4f %.4f %.4f %.4f re f\n" % ((FIRST_DOT + start + 2 * x) * DOT, y, 2 * run * DOT,
                                                       bar_height)
            x += run
        else:
            x += 1
    y -= 4 * MM
    c += text("C", 7, LEFT + 9 * MM, y, "R-20261208-0042")
    y -= 7 * MM
    c += text("H", 9, LEFT, y, "Merci – à bientôt! Danke!")
    return c


def pdf(height, content):
    fonts = {"H": "Helvetica", "HB": "Helvetica-Bold", "C": "Courier"}
    objects = {1: b"<< /Type /Catalog /Pages 2 0 R >>",
               2: b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
               3: b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.4f %.4f] /Contents 4 0 R "
                  b"/Resources << /Font << %s >> >> >>"
                  % (WIDTH, height, b" ".join(b"/%s %d 0 R" % (k.encode(), 5 + i) for i, k in enumerate(fonts))),
               4: b"<< /Length %d >>\nstream\n%sendstream" % (len(content), content)}
    for i, name in enumerate(fonts.values()):
        objects[5 + i] = b"<< /Type /Font /Subtype /Type1 /BaseFont /%s /Encoding /WinAnsiEncoding >>" % name.encode()
    data = b"%PDF-1.4\n"
    offsets = {}
    for i in sorted(objects):
        offsets[i] = len(data)
        data += b"%d 0 obj\n%s\nendobj\n" % (i, objects[i])
    xref = len(data)
    data += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    data += b"".join(b"%010d 00000 n \n" % offsets[i] for i in sorted(objects))
    data += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref)
    return data


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    height = 100 * MM
    with tempfile.TemporaryDirectory() as tmp:
        raw = os.path.join(tmp, "raw.pdf")
        with open(raw, "wb") as f:
            f.write(pdf(height, page(height)))
        # Ghostscript embeds the fonts it draws the standard ones with.
        subprocess.run(["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite", "-dPDFSETTINGS=/prepress",
                        "-dCompatibilityLevel=1.4",
                        "-sOutputFile=" + os.path.join(here, "receipt.pdf"), raw], check=True)
    print("wrote %s" % os.path.join(here, "receipt.pdf"))


if __name__ == "__main__":
    main()
