#!/usr/bin/env python3
"""Writes the small seed corpora the fuzz targets start from."""
import io
import os
import zipfile

here = os.path.dirname(os.path.abspath(__file__))

def package(entries):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, text in entries:
            z.writestr(name, text)
    return out.getvalue()

W = 'xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main"'
docx = package([("word/document.xml",
    f'<w:document {W}><w:body><w:p><w:r><w:t>第一段 Hello</w:t></w:r></w:p>'
    '<w:tbl><w:tr><w:tc><w:p><w:r><w:t xml:space="preserve"> cell </w:t></w:r></w:p></w:tc></w:tr></w:tbl>'
    '</w:body></w:document>')])
xlsx = package([
    ("xl/workbook.xml", '<workbook xmlns:r="r"><sheets><sheet name="Hidden" state="hidden" r:id="rId2"/>'
                        '<sheet name="表1" r:id="rId1"/></sheets></workbook>'),
    ("xl/_rels/workbook.xml.rels", '<Relationships><Relationship Id="rId1" TargetMode="External" Target="x"/>'
                                   '<Relationship Id="rId1" Target="/xl/worksheets/sheet1.xml"/></Relationships>'),
    ("xl/sharedStrings.xml", '<sst><si><t>Zhang</t></si><si><r><t>富</t></r><r><t>文本</t></r></si></sst>'),
    ("xl/worksheets/sheet1.xml", '<worksheet><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>Name</t></is></c>'
                                 '<c r="B1"/><c r="C1" t="s"><v>0</v></c></row><row hidden="1"><c><v>2</v></c></row>'
                                 '<row><c r="A3" t="s"><v>1</v></c><c r="B3"><v>3.5</v></c></row></sheetData></worksheet>'),
])
pdf = (b"%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
       b"2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
       b"3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 200 200]/Contents 4 0 R"
       b"/Resources<</Font<</F1 5 0 R>>>>>>endobj\n"
       b"4 0 obj<</Length 41>>stream\nBT /F1 12 Tf 20 100 Td (Hello PDF) Tj ET\nendstream endobj\n"
       b"5 0 obj<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>endobj\n"
       b"trailer<</Root 1 0 R>>\n%%EOF\n")

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
