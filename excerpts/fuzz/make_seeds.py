#!/usr/bin/env python3
"""Writes the small seed corpora the fuzz targets start from."""
import io
import os
import struct
import zipfile
import zlib

here = os.path.dirname(os.path.abspath(__file__))

def package(entries):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in entries:
            # A fixed date, so that writing the seeds again changes nothing.
            z.writestr(zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0)), text, zipfile.ZIP_DEFLATED)
    return out.getvalue()

W = 'xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"'
document_xml = (f'<w:document {W}><w:body><w:p><w:r><w:t>第一段 Hello</w:t></w:r></w:p>'
    '<w:tbl><w:tr><w:tc><w:p><w:r><w:t xml:space="preserve"> cell </w:t></w:r></w:p></w:tc></w:tr></w:tbl>'
    '</w:body></w:document>')
docx = package([("word/document.xml", document_xml)])
workbook_parts = [
    ("xl/workbook.xml", '<workbook xmlns:r="r"><sheets><sheet name="Hidden" state="hidden" r:id="rId2"/>'
                        '<sheet name="表1" r:id="rId1"/></sheets></workbook>'),
    ("xl/_rels/workbook.xml.rels", '<Relationships><Relationship Id="rId1" TargetMode="External" Target="x"/>'
                                   '<Relationship Id="rId1" Target="/xl/worksheets/sheet1.xml"/></Relationships>'),
    ("xl/sharedStrings.xml", '<sst><si><t>Zhang</t></si><si><r><t>富</t></r><r><t>文本</t></r></si></sst>'),
    ("xl/worksheets/sheet1.xml", '<worksheet><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>Name</t></is></c>'
                                 '<c r="B1"/><c r="C1" t="s"><v>0</v></c></row><row hidden="1"><c><v>2</v></c></row>'
                                 '<row><c r="A3" t="s"><v>1</v></c><c r="B3"><v>3.5</v></c></row></sheetData></worksheet>'),
]
xlsx = package(workbook_parts)
pdf = (b"%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
       b"2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
       b"3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]/Contents 4 0 R"
       b"/Resources<</Font<</F1 5 0 R>>>>>>endobj\n"
       b"4 0 obj<</Length 41>>stream\nBT /F1 12 Tf 20 100 Td (Hello PDF) Tj ET\nendstream endobj\n"
       b"5 0 obj<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>endobj\n"
       b"trailer<</Root 1 0 R>>\n%%EOF\n")

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

def png(width, height, claimed=None):
    """An 8-bit RGB PNG of stripes; `claimed` puts another size in its header."""
    rows = b"".join(b"\x00" + bytes((20 if (x // 3 + y // 4) % 2 else 240) for x in range(width) for _ in range(3))
                    for y in range(height))
    w, h = claimed or (width, height)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
            + png_chunk(b"IDAT", zlib.compress(rows)) + png_chunk(b"IEND", b""))

# A 24 x 16 baseline JPEG of the same stripes (written by gdk-pixbuf, quality 75).
jpeg = bytes.fromhex(
    "ffd8ffe000104a46494600010100000100010000ffdb004300080606070605080707070909080a0c140d0c0b0b0c1912"
    "130f141d1a1f1e1d1a1c1c20242e2720222c231c1c2837292c30313434341f27393d38323c2e333432ffdb0043010909"
    "090c0b0c180d0d1832211c21323232323232323232323232323232323232323232323232323232323232323232323232"
    "3232323232323232323232323232ffc00011080010001803012200021101031101ffc4001f0000010501010101010100"
    "000000000000000102030405060708090a0bffc400b5100002010303020403050504040000017d010203000411051221"
    "31410613516107227114328191a1082342b1c11552d1f02433627282090a161718191a25262728292a3435363738393a"
    "434445464748494a535455565758595a636465666768696a737475767778797a838485868788898a9293949596979899"
    "9aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4c5c6c7c8c9cad2d3d4d5d6d7d8d9dae1e2e3e4e5e6e7e8e9eaf1"
    "f2f3f4f5f6f7f8f9faffc4001f0100030101010101010101010000000000000102030405060708090a0bffc400b51100"
    "020102040403040705040400010277000102031104052131061241510761711322328108144291a1b1c109233352f015"
    "6272d10a162434e125f11718191a262728292a35363738393a434445464748494a535455565758595a63646566676869"
    "6a737475767778797a82838485868788898a92939495969798999aa2a3a4a5a6a7a8a9aab2b3b4b5b6b7b8b9bac2c3c4"
    "c5c6c7c8c9cad2d3d4d5d6d7d8d9dae2e3e4e5e6e7e8e9eaf2f3f4f5f6f7f8f9faffda000c03010002110311003f0077"
    "fc243fdb5ff176becbe4ff0061ff00a07f65f99bbceddc6ff37036ff00c7c74d87ee75e783fe407ff4dffe1647fc07fb"
    "3bcdfcfcdc7da7fd8ceced9e0ff8487fb6bfe2ed7d97c9fec3ff0040fecbf33779dbb8dfe6e06dff008f8e9b0fdcebcf"
    "07fc80ff00e9bffc2c8ff80ff6779bf9f9b8fb4ffb19d9db3c001ff08f7f6d7fc5a5fb5793fd87fe9ffda9e5eef3b773"
    "b3cac8dbff001f1d779fb9d39e0a3fe11efedaff008b4bf6af27fb0ffd3ffb53cbdde76ee7679591b7fe3e3aef3f73a7"
    "3c1401ffd9"
)

def jpeg_claiming(width, height):
    frame = jpeg.index(b"\xff\xc0")
    return jpeg[:frame + 5] + struct.pack(">HH", height, width) + jpeg[frame + 9:]

def write(folder, name, data):
    with open(os.path.join(here, "seeds", folder, name), "wb") as f:
        f.write(data)

# The Office target: first byte odd for a workbook.
write("office", "document", b"\x00" + docx)
write("office", "workbook", b"\x01" + xlsx)
# The excerpt target: first byte picks the file name's extension.
write("excerpt", "text", b"\x00" + "一行 text 👍🏽\r\n".encode())
write("excerpt", "pdf", b"\x02" + pdf)
write("excerpt", "document", b"\x05" + docx)
write("excerpt", "workbook", b"\x06" + xlsx)
write("excerpt", "png", b"\x03" + png(24, 16))
write("excerpt", "jpeg", b"\x04" + jpeg)
# With an EXIF segment (big-endian TIFF, one entry: orientation 6) after the
# start-of-image marker, so that the orientation reader is mutated too.
exif = (b"Exif\x00\x00MM\x00\x2a" + struct.pack(">IH", 8, 1) + struct.pack(">HHIHH", 0x0112, 3, 1, 6, 0)
        + struct.pack(">I", 0))
write("excerpt", "jpeg-exif", b"\x07" + jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(exif) + 2) + exif + jpeg[2:])
# Headers that claim 65500 x 65500 pixels: refused before any pixels exist.
write("excerpt", "png-huge", b"\x03" + png(24, 16, claimed=(65500, 65500)))
write("excerpt", "jpeg-huge", b"\x07" + jpeg_claiming(65500, 65500))
# The Office parts target: first byte odd for a workbook, then the parts in
# its fixed order, separated by NUL bytes.
def parts(texts):
    return b"\x00".join(t.encode() for t in texts)

by_name = dict(workbook_parts)
write("office-parts", "document", b"\x00" + parts([document_xml]))
write("office-parts", "document-textbox", b"\x00" + parts([
    f'<w:document {W}><w:body><w:p><w:r><w:t>外</w:t></w:r><w:r><w:txbxContent><w:p><w:r><w:t>内</w:t></w:r></w:p>'
    '</w:txbxContent></w:r></w:p><w:body><w:p><w:t><![CDATA[cdata]]></w:t></w:p></w:body></w:body></w:document>']))
write("office-parts", "workbook", b"\x01" + parts([by_name["xl/workbook.xml"], by_name["xl/_rels/workbook.xml.rels"],
    by_name["xl/sharedStrings.xml"], by_name["xl/worksheets/sheet1.xml"]]))
write("office-parts", "workbook-second-sheet", b"\x01" + parts([
    '<workbook xmlns:r="r"><sheets><sheet name="Two" r:id="rId9"/></sheets></workbook>',
    '<Relationships><Relationship Id="rId9" Target="worksheets/sheet2.xml"/></Relationships>',
    "", "", '<worksheet><sheetData><row><c r="A1" t="inlineStr"><is><r><t>行</t></r></is></c></row></sheetData></worksheet>']))
