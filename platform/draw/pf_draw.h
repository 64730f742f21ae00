// Off-screen drawing context. Drawings are described with the origin at the
// bottom-left corner and y growing upwards, one unit per pixel; text reads
// upright all the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QImage;

namespace pf::draw {

// The monospaced font the library's pictures use.
extern const char* const kMonospaceFont;
// Its bold face: the family name followed by " Bold".
extern const char* const kMonospaceBoldFont;

enum class LineCap { butt, round, square };

class Context {
public:
    // A width x height RGBA bitmap, 8 bits per sample, fully transparent.
    // Text needs a GUI application object: when the program has none yet, an
    // off-screen one is made, so a program with windows makes its own first.
    Context(int width, int height);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // False when the bitmap could not be made; every call is then a no-op.
    bool isValid() const;
    int width() const;
    int height() const;

    void saveState();
    void restoreState();

    // Components in 0..1; larger values are taken as 1.
    void setStrokeColor(double r, double g, double b, double a);
    void setFillColor(double r, double g, double b, double a);
    void setLineWidth(double width);
    void setLineCap(LineCap cap);
    // Dash lengths in units; a count of 0 draws solid lines again.
    void setDash(const double* lengths, int count, double phase);
    void setAntialias(bool on);
    // False when no font of that family is installed; a fallback is used then.
    bool setFont(const char* family, double pointSize);
    // The bold face of the font from now on (off at start); kept across setFont.
    void setFontBold(bool bold);

    void fillRect(double x, double y, double w, double h);
    void strokeRect(double x, double y, double w, double h);
    void strokeLine(double x1, double y1, double x2, double y2);
    // One stroke through `count` points (x0, y0, x1, y1, ...), joined round as
    // separately stroked round-capped segments would meet.
    void strokePolyline(const double* xy, size_t count);
    void strokeEllipse(double cx, double cy, double rx, double ry);
    // A rectangle with rounded corners of the given radius.
    void fillRoundedRect(double x, double y, double w, double h, double radius);
    void strokeRoundedRect(double x, double y, double w, double h, double radius);

    // Advance of the text in the current font.
    double textWidth(const char* text);
    // Baseline starts at (x, y); angle in radians, anticlockwise.
    void drawText(const char* text, double x, double y, double angle);

    // Draws a grey bitmap (one byte per pixel, row 0 at the top) scaled into the rectangle.
    void drawGreyImage(const uint8_t* grey, int w, int h, double x, double y, double dw, double dh);

    // Draws a picture (row 0 at the top) at its own size, its lower-left corner at (x, y).
    void drawImage(const QImage& image, double x, double y);

    // 0xAARRGGBB of the pixel whose lower-left corner is at (x, y); 0 outside.
    uint32_t pixel(int x, int y) const;

    // Encodes the bitmap ("jpeg", "png", "tiff", or JPEG 2000 as a "jp2" file or a
    // bare "j2k" codestream, lossless) and writes it atomically: either the whole
    // picture is at the path afterwards, or nothing changed.
    bool writeTo(const std::string& path, const char* format) const;

    // The bitmap as drawn so far, for a view to paint or a pasteboard to take.
    const QImage& image() const;

private:
    struct Impl;

    std::unique_ptr<Impl> d_;
};

// Runs `work` (drawing on contexts, writing them) to its end, on a thread that
// paints without help: Qt's raster engine otherwise hands large fills and long
// strokes to its global thread pool unless the painting thread is one of that
// pool's own, and for pictures this small the hand-overs cost more than they
// save. An exception of `work` reaches the caller.
void paintSerially(const std::function<void()>& work);

}  // namespace pf::draw
