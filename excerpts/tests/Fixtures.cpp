#include "excerpts/tests/Fixtures.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <pango/pangocairo.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <zip.h>

namespace korvid::fixtures {

std::string zip(const Entries& entries)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    if (!archive)
        throw std::runtime_error("zip_open_from_source");
    zip_source_keep(buffer);
    for (const auto& [name, content] : entries) {
        // libzip reads the data at close time; copy it to memory it frees.
        void* copy = std::malloc(content.size() ? content.size() : 1);
        std::memcpy(copy, content.data(), content.size());
        zip_source_t* source = zip_source_buffer(archive, copy, content.size(), 1);
        if (zip_file_add(archive, name.c_str(), source, ZIP_FL_ENC_UTF_8) < 0)
            throw std::runtime_error("zip_file_add");
    }
    if (zip_close(archive) != 0)
        throw std::runtime_error("zip_close");
    zip_source_open(buffer);
    zip_source_seek(buffer, 0, SEEK_END);
    zip_int64_t size = zip_source_tell(buffer);
    zip_source_seek(buffer, 0, SEEK_SET);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    zip_source_read(buffer, bytes.data(), static_cast<zip_uint64_t>(size));
    zip_source_close(buffer);
    zip_source_free(buffer);
    zip_error_fini(&error);
    return bytes;
}

std::string paragraph(const std::string& text)
{
    return "<w:p><w:r><w:t xml:space=\"preserve\">" + text + "</w:t></w:r></w:p>";
}

std::string docx(const std::string& bodyXml)
{
    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                           "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\">"
                           "<w:body>"
        + bodyXml + "</w:body></w:document>";
    return zip(
        { { "[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>" },
            { "word/document.xml", document } });
}

std::string xlsx(const Workbook& workbook)
{
    Entries entries { { "[Content_Types].xml",
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>" } };
    if (!workbook.workbookXml.empty())
        entries.emplace_back("xl/workbook.xml", workbook.workbookXml);
    if (!workbook.relationshipsXml.empty())
        entries.emplace_back("xl/_rels/workbook.xml.rels", workbook.relationshipsXml);
    if (!workbook.sharedStringsXml.empty())
        entries.emplace_back("xl/sharedStrings.xml", workbook.sharedStringsXml);
    for (const auto& [name, xml] : workbook.sheets)
        entries.emplace_back("xl/" + name, xml);
    return zip(entries);
}

std::string simpleXlsx(const std::string& rowsXml, const std::string& sharedStringsXml)
{
    Workbook workbook;
    workbook.workbookXml = "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
                           "<sheets><sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
    workbook.relationshipsXml = "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                                "<Relationship Id=\"rId1\" Type=\"worksheet\" Target=\"worksheets/sheet1.xml\"/>"
                                "</Relationships>";
    workbook.sharedStringsXml = sharedStringsXml;
    workbook.sheets = { { "worksheets/sheet1.xml",
        "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>" + rowsXml
            + "</sheetData></worksheet>" } };
    return xlsx(workbook);
}

namespace {

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length)
{
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

void drawLines(cairo_t* cr, const std::vector<std::string>& lines, const char* font, double x, double y)
{
    PangoLayout* layout = pango_cairo_create_layout(cr);
    PangoFontDescription* description = pango_font_description_from_string(font);
    pango_layout_set_font_description(layout, description);
    pango_font_description_free(description);
    std::string text;
    for (const auto& line : lines)
        text += (text.empty() ? "" : "\n") + line;
    pango_layout_set_text(layout, text.c_str(), -1);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
}

int heightFor(const std::vector<std::string>& lines)
{
    return 120 + 90 * static_cast<int>(lines.size());
}

std::string pngOf(cairo_surface_t* surface)
{
    std::string bytes;
    cairo_surface_write_to_png_stream(surface, appendTo, &bytes);
    return bytes;
}

cairo_surface_t* render(const std::vector<std::string>& lines, int width)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, heightFor(lines));
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_source_rgb(cr, 0, 0, 0);
    drawLines(cr, lines, "Noto Sans CJK SC 40px", 60, 60);
    cairo_destroy(cr);
    return surface;
}

}

std::string pdf(const std::vector<std::vector<std::string>>& pages)
{
    std::string bytes;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(appendTo, &bytes, 595, 842);
    cairo_t* cr = cairo_create(surface);
    for (const auto& lines : pages) {
        if (!lines.empty())
            drawLines(cr, lines, "Noto Sans CJK SC 14px", 50, 50);
        cairo_show_page(cr);
    }
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    cairo_surface_destroy(surface);
    return bytes;
}

std::string png(const std::vector<std::string>& lines, int width)
{
    cairo_surface_t* surface = render(lines, width);
    std::string bytes = pngOf(surface);
    cairo_surface_destroy(surface);
    return bytes;
}

std::string jpeg(const std::vector<std::string>& lines, int orientation, int width)
{
    std::string upright = png(lines, width);
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(upright.data()), upright.size(), nullptr);
    gdk_pixbuf_loader_close(loader, nullptr);
    GdkPixbuf* pixbuf = GDK_PIXBUF(g_object_ref(gdk_pixbuf_loader_get_pixbuf(loader)));
    g_object_unref(loader);
    if (orientation == 6) {
        // Stored turned 90 degrees anticlockwise; orientation 6 turns it back.
        GdkPixbuf* turned = gdk_pixbuf_rotate_simple(pixbuf, GDK_PIXBUF_ROTATE_COUNTERCLOCKWISE);
        g_object_unref(pixbuf);
        pixbuf = turned;
    }
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "jpeg", nullptr, "quality", "92", nullptr);
    g_object_unref(pixbuf);
    std::string bytes(buffer, size);
    g_free(buffer);

    // A minimal EXIF segment right after the start-of-image marker: a
    // big-endian TIFF header and one IFD entry, Orientation (0x0112).
    std::string tiff = std::string("MM\0*\0\0\0\x08", 8) + std::string("\0\x01", 2)
        + std::string("\x01\x12\0\x03\0\0\0\x01", 8) + std::string("\0", 1) + static_cast<char>(orientation)
        + std::string("\0\0", 2) + std::string("\0\0\0\0", 4);
    std::string payload = std::string("Exif\0\0", 6) + tiff;
    std::size_t length = payload.size() + 2;
    std::string segment
        = std::string("\xFF\xE1", 2) + static_cast<char>(length >> 8) + static_cast<char>(length & 0xFF) + payload;
    bytes.insert(2, segment);
    return bytes;
}

std::vector<std::uint8_t> rgbOf(const PosterImage& image)
{
    if (image.channels == 3)
        return image.pixels;
    std::vector<std::uint8_t> rgb;
    for (std::uint8_t grey : image.pixels)
        rgb.insert(rgb.end(), { grey, grey, grey });
    return rgb;
}

ScratchFolder::ScratchFolder()
{
    std::random_device random;
    path_ = std::filesystem::temp_directory_path()
        / ("korvid-excerpts-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
}

ScratchFolder::~ScratchFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path ScratchFolder::write(const std::string& name, const std::string& bytes) const
{
    auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

}

// Fontconfig and cairo keep process-wide caches for the fonts the fixtures
// render with and never free them; they are not leaks of the code under test.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\nleak:libcairo.so\nleak:libpango\n";
}
