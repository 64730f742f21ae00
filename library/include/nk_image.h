// Images: the 2-D container, 8-bit grey BMP files, the TIFF structure reader,
// flips and crops of row-major buffers, and the JPEG picture exports.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "nk_typedef.h"

class CNK_logManager;
namespace pf::draw {
class Context;
}

// ---------------------------------------------------------------------------
// Flip and crop, one implementation for every element type.
namespace nk_img_detail {

// Window inside a width x height image, tested without overflow.
inline bool windowFits(u64 width, u64 height, u64 x, u64 y, u64 w, u64 h) {
    return x <= width && y <= height && w <= width - x && h <= height - y;
}

template <typename T>
void flipVertical(T* image, u64 width, u64 height) {
    // Rows are exchanged in place, so any width works without a scratch row.
    for (u64 i = 0; i < height / 2; ++i) {
        T* top = image + i * width;
        T* bottom = image + (height - 1 - i) * width;
        for (u64 c = 0; c < width; ++c) std::swap(top[c], bottom[c]);
    }
}

template <typename T>
void flipHorizontal(T* image, u64 width, u64 height) {
    for (u64 r = 0; r < height; ++r) {
        T* row = image + r * width;
        for (u64 j = 0; j < width / 2; ++j) std::swap(row[j], row[width - 1 - j]);
    }
}

// Moves the window to the front of the buffer. The write position never passes
// the read position, so the copy is safe in place.
template <typename T>
void cropInPlace(T* image, u64 width, u64 x, u64 y, u64 w, u64 h) {
    T* out = image;
    for (u64 r = y; r < y + h; ++r) {
        const T* in = image + r * width + x;
        for (u64 c = 0; c < w; ++c) *out++ = in[c];
    }
}

}  // namespace nk_img_detail

// Copies the cw x ch window at (x0, y0) to the front of the buffer. A null
// buffer, an empty image or a window that does not fit is a programming error.
template <typename T>
void nkImg_crop(T* image, u64 w, u64 h, u64 x0, u64 y0, u64 cw, u64 ch) {
    NK_ASSERT_FN(image != nullptr);
    NK_ASSERT_FN(w > 0 && h > 0);
    NK_ASSERT_FN(nk_img_detail::windowFits(w, h, x0, y0, cw, ch));
    nk_img_detail::cropInPlace(image, w, x0, y0, cw, ch);
}

// Exchanges rows i and h-1-i. A null buffer or an empty image is a programming error.
template <typename T>
void nkImg_flip_vertical(T* image, u64 w, u64 h) {
    NK_ASSERT_FN(image != nullptr);
    NK_ASSERT_FN(w > 0 && h > 0);
    nk_img_detail::flipVertical(image, w, h);
}

#define NK_IMG_FLIP_CROP_DECL(Type, T)                                                   \
    void nkImg_flip##Type##_Vertical(T* image, int width, int height);                    \
    void nkImg_flip##Type##_Horizontal(T* image, int width, int height);                  \
    void nkImg_cropImage##Type(T* image, int width, int height, int x, int y, int cropWidth, \
                               int cropHeight);
extern "C" {
NK_IMG_FLIP_CROP_DECL(UInt8, unsigned char)
NK_IMG_FLIP_CROP_DECL(SInt8, signed char)
NK_IMG_FLIP_CROP_DECL(UInt16, unsigned short)
NK_IMG_FLIP_CROP_DECL(SInt16, short)
NK_IMG_FLIP_CROP_DECL(UInt32, unsigned int)
NK_IMG_FLIP_CROP_DECL(SInt32, int)
NK_IMG_FLIP_CROP_DECL(Float, float)
NK_IMG_FLIP_CROP_DECL(Double, double)
}
#undef NK_IMG_FLIP_CROP_DECL

// ---------------------------------------------------------------------------
// Row-major 2-D image container.
template <typename T>
struct t_nkData_2d {
    std::vector<T> data;
    size_t width = 0;
    size_t height = 0;

    // Non-empty and holding exactly width x height values.
    bool isValid() const {
        return width > 0 && height > 0 && !data.empty() && data.size() / width == height &&
               data.size() % width == 0;
    }

    // Takes the first width x height values of source. A count below that (or a
    // size that overflows) is refused with 5 and leaves the container unchanged.
    u16 load(size_t w, size_t h, const T* source, size_t count) {
        const bool overflow = h != 0 && w > SIZE_MAX / h;
        if (overflow || (w * h > 0 && source == nullptr) || count < w * h) {
            nkDebug_printError(nullptr, "nk_image.cpp", nullptr, "load", __LINE__, kNKErr_invalidParam,
                               "source!=NULL && count>=width*height");
            return kNKErr_invalidParam;
        }
        data.assign(source, source + w * h);
        width = w;
        height = h;
        return 0;
    }

    // Cuts the image down to the window, in place; anything that does not fit
    // leaves it unchanged.
    t_nkData_2d& crop(size_t x, size_t y, size_t w, size_t h) {
        if (!isValid() || w == 0 || h == 0 || !nk_img_detail::windowFits(width, height, x, y, w, h))
            return *this;
        nk_img_detail::cropInPlace(data.data(), width, x, y, w, h);
        width = w;
        height = h;
        data.resize(w * h);
        return *this;
    }
};

// ---------------------------------------------------------------------------
// 8-bit grey BMP.
#pragma pack(push, 1)
struct t_nkBmpHeader {
    u16 magic;
    u32 file_size;
    u16 rsvd1;
    u16 rsvd2;
    u32 data_offset;
    void print() const;
};

struct t_nkBmpInfoHeader {
    u32 hdr_size;
    i32 width;
    i32 height;
    u16 planes;
    u16 bits_per_pixel;
    u32 compression;
    u32 image_size;
    u32 resolution_x;
    u32 resolution_y;
    u32 ncolors;
    u32 important_colors;
    void print() const;
};
#pragma pack(pop)
static_assert(sizeof(t_nkBmpHeader) == 14 && sizeof(t_nkBmpInfoHeader) == 40, "BMP header layout");

// A whole BMP file in memory with typed views into it. The views are null while
// nothing is loaded; copies point into their own bytes.
class CNK_bmp_8bpp {
public:
    std::vector<u8> _raw_data;
    t_nkBmpHeader* pHdr = nullptr;
    t_nkBmpInfoHeader* pInf_hdr = nullptr;
    u8* pPalette = nullptr;
    u8* pData = nullptr;

    explicit CNK_bmp_8bpp(const std::string& path);
    CNK_bmp_8bpp(const CNK_bmp_8bpp& other);
    CNK_bmp_8bpp& operator=(const CNK_bmp_8bpp& other);

    u16 load(const std::string& path);
    void print_header(bool palette) const;
    std::vector<u32> luminance_histogram() const;
    void print_luminance_histogram() const;
    // Writes the loaded file back out; 0xE043 when nothing is loaded or the file
    // does not open, 0xE044 when it cannot be written.
    int save(const std::string& path) const;
    static u16 save(const std::string& path, const unsigned char* pixels, unsigned long width, unsigned long height);

private:
    void clear();
    void bindViews();
};

u16 nkImg_save_bmp_8bpp(const std::string& path, const unsigned char* pixels, unsigned long width,
                        unsigned long height);
u16 nkImg_save_bmp_8bpp(const std::string& path, const t_nkData_2d<unsigned char>& image);
t_nkData_2d<unsigned char> nkImg_load_bmp_8bpp(const std::string& path);

// ---------------------------------------------------------------------------
// Little-endian TIFF structure reader.
#define TIFF_LITTLE_ENDIAN 0x4949

#pragma pack(push, 1)
struct t_nkTiffHeader {
    u16 byte_order;
    u16 magic;
    u32 first_ifd_offset;
    void print() const;
};

struct t_nkTiffIFD {
    u16 tag;
    u16 type;
    u32 count;
    u32 value_offset;
    void print() const;
};
#pragma pack(pop)
static_assert(sizeof(t_nkTiffHeader) == 8 && sizeof(t_nkTiffIFD) == 12, "TIFF layout");

class CNK_tiff {
public:
    u32 imageWidth = 0;
    u32 imageHeight = 0;
    u8 widthTypeSize = 0;
    u8 heightTypeSize = 0;
    u16 bitsPerSample = 0;
    u16 compression = 0;
    u16 orientation = 0;
    u16 photometric = 0;
    std::string make;
    std::string software;
    std::string dateTime;
    std::vector<u32> stripOffsets;
    u16 samplesPerPixel = 0;
    u16 rowsPerStrip = 0;
    u16 planarConfiguration = 0;
    u16 sampleFormat = 0;
    std::vector<u32> stripByteCounts;
    // Samples of the last directory's image, row-major, as stored (little-endian).
    std::vector<u8> pixels;

    explicit CNK_tiff(const std::string& path);

    u16 load(const std::string& path);
    u16 decodeIFD(FILE* fp, const t_nkTiffIFD* entry);
    int saveAsCsv(const std::string& path) const;

private:
    void readStrips(FILE* fp, size_t firstOffset, size_t firstCount);
};

// ---------------------------------------------------------------------------
// Picture exports (JPEG).
void nkImg_exportSensorImage(char* path, double* data, int width, int height, char* text, unsigned char reserved);
void nkImg_exportSensorImage(char* path, float* data, int width, int height, char* text, unsigned char reserved);
u16 nkImg_exportLineCurve(CNK_logManager* log, const char* path, double* data, int count, int width, int height,
                          char* text);
u16 nkImg_exportLineCurve(CNK_logManager* log, const char* path, float* data, int count, int width, int height,
                          char* text);
u16 nkImg_exportImage(CNK_logManager* log, const char* path, const double* data, int width, int height,
                      const char* text, unsigned char sigmaK, bool asBitmap, double upper, double lower);
u16 nkImg_exportImage(CNK_logManager* log, const char* path, const float* data, int width, int height,
                      const char* text, unsigned char sigmaK, bool asBitmap, double upper, double lower);
// The notes of a picture: lines split at "\n", black, monospaced at 10 points,
// left-aligned at x; line k (from 1) has its baseline at firstBaseline - k * spacing.
// The caller's text is only read.
void nkImg_drawTextBlock(pf::draw::Context& ctx, const char* text, double x, double firstBaseline, double spacing);
