// 8-bit grey BMP files, the TIFF structure reader and the flip and crop family.
#include "nk_image.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cinttypes>
#include <cstring>
#include <set>

#include "draw/pf_draw.h"
#include "number/pf_number.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_graphics.h"
#include "nk_math.h"
#include "nk_string.h"

namespace {

#define REPORT(code, cond) nkDebug_printError(nullptr, "nk_image.cpp", nullptr, __func__, __LINE__, (u16)(code), (cond))
#define REPORT_AS(func, code, cond) \
    nkDebug_printError(nullptr, "nk_image.cpp", nullptr, (func), __LINE__, (u16)(code), (cond))

// Reads exactly n bytes at offset; false when they are not all there.
bool readAt(FILE* fp, u64 offset, void* out, size_t n) {
    const u64 size = nkFile_getFileSize(fp);
    if (offset > size || n > size - offset) return false;
    return nkFile_readFileFrom(fp, static_cast<i64>(offset), n, out) == n;
}

// Writes the parts to a temporary file beside the path and renames it over the
// path, so a failed write never leaves a half-written image or loses the old one.
u16 writeFileAtomically(const char* func, const std::string& path, const std::vector<std::pair<const void*, size_t>>& parts) {
    const u16 rc = nkFile_writeReplacing(path, parts);
    if (rc != 0)
        REPORT_AS(func, rc, rc == kNKErr_fileOpenFailed ? "fp!=NULL" : rc == kNKErr_fileWriteFailed ? "fwrite==size" : "rename==0");
    return rc;
}

constexpr u32 kBmpDataOffset = 1078;

u64 bmpStride(u64 width) { return (width + 3) & ~u64{3}; }

u16 writeBmp(const char* func, const std::string& path, const unsigned char* pixels, unsigned long width,
             unsigned long height) {
    if (path.empty()) {
        REPORT_AS(func, kNKErr_invalidParam, "fn.size()>0");
        return kNKErr_invalidParam;
    }
    if (pixels == nullptr || width == 0 || height == 0) {
        REPORT_AS(func, kNKErr_invalidParam, "img!=NULL && w>0 && h>0");
        return kNKErr_invalidParam;
    }
    // The header holds signed 32-bit sizes; a larger image cannot be described.
    if (width > INT32_MAX || height > INT32_MAX || bmpStride(width) * height > UINT32_MAX - kBmpDataOffset) {
        REPORT_AS(func, kNKErr_invalidParam, "stride*h+1078<=UINT32_MAX");
        return kNKErr_invalidParam;
    }
    // Rows are stored padded to whole 4-byte words, as every BMP reader expects.
    const u64 stride = bmpStride(width);
    const u64 count = stride * height;
    std::vector<u8> rows;
    const unsigned char* body = pixels;
    if (stride != width) {
        rows.assign(count, 0);
        for (u64 y = 0; y < height; ++y) std::memcpy(rows.data() + y * stride, pixels + y * width, width);
        body = rows.data();
    }
    t_nkBmpHeader hdr{};
    hdr.magic = 0x4D42;  // "BM"
    hdr.file_size = static_cast<u32>(count + kBmpDataOffset);
    hdr.data_offset = kBmpDataOffset;
    t_nkBmpInfoHeader inf{};
    inf.hdr_size = 40;
    inf.width = static_cast<i32>(width);
    inf.height = static_cast<i32>(height);
    inf.planes = 1;
    inf.bits_per_pixel = 8;
    inf.image_size = static_cast<u32>(count);
    inf.resolution_x = 3780;
    inf.resolution_y = 3780;
    inf.ncolors = 256;
    inf.important_colors = 256;
    u8 palette[1024];
    for (int i = 0; i < 256; ++i) {
        palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<u8>(i);
        palette[4 * i + 3] = 0;
    }
    return writeFileAtomically(func, path, {{&hdr, sizeof(hdr)}, {&inf, sizeof(inf)}, {palette, sizeof(palette)},
                                            {body, static_cast<size_t>(count)}});
}

void printField(const char* label, long long value) { std::printf("\t%-17s= %lld\n", label, value); }

}  // namespace

// ---------------------------------------------------------------------------
// Flip and crop family.

#define NK_IMG_FLIP_CROP_IMPL(Type, T)                                                                  \
    void nkImg_flip##Type##_Vertical(T* image, int width, int height) {                                  \
        if (image == nullptr || width < 1 || height < 2) return;                                        \
        nk_img_detail::flipVertical(image, static_cast<u64>(width), static_cast<u64>(height));          \
    }                                                                                                    \
    void nkImg_flip##Type##_Horizontal(T* image, int width, int height) {                                \
        if (image == nullptr || width < 2 || height < 1) return;                                        \
        nk_img_detail::flipHorizontal(image, static_cast<u64>(width), static_cast<u64>(height));        \
    }                                                                                                    \
    void nkImg_cropImage##Type(T* image, int width, int height, int x, int y, int cropWidth, int cropHeight) { \
        if (image == nullptr || width < 1 || height < 1 || x < 0 || y < 0 || cropWidth < 1 ||         \
            cropHeight < 1)                                                                              \
            return;                                                                                      \
        if (!nk_img_detail::windowFits(static_cast<u64>(width), static_cast<u64>(height), static_cast<u64>(x), \
                                       static_cast<u64>(y), static_cast<u64>(cropWidth),                 \
                                       static_cast<u64>(cropHeight)))                                    \
            return;                                                                                      \
        nk_img_detail::cropInPlace(image, static_cast<u64>(width), static_cast<u64>(x), static_cast<u64>(y), \
                                   static_cast<u64>(cropWidth), static_cast<u64>(cropHeight));           \
    }

extern "C" {
NK_IMG_FLIP_CROP_IMPL(UInt8, unsigned char)
NK_IMG_FLIP_CROP_IMPL(SInt8, signed char)
NK_IMG_FLIP_CROP_IMPL(UInt16, unsigned short)
NK_IMG_FLIP_CROP_IMPL(SInt16, short)
NK_IMG_FLIP_CROP_IMPL(UInt32, unsigned int)
NK_IMG_FLIP_CROP_IMPL(SInt32, int)
NK_IMG_FLIP_CROP_IMPL(Float, float)
NK_IMG_FLIP_CROP_IMPL(Double, double)
}

// ---------------------------------------------------------------------------
// BMP headers.

void t_nkBmpHeader::print() const {
    std::printf("- bmp header (%ld bytes) -\n", static_cast<long>(sizeof(t_nkBmpHeader)));
    const u16 m = magic;
    std::printf("\tmagic            = '%c%c' 0x%04X\n", m & 0xFF, m >> 8, m);
    printField("* file_size", file_size);
    printField("rsvd1", rsvd1);
    printField("rsvd2", rsvd2);
    printField("data_offset", data_offset);
}

void t_nkBmpInfoHeader::print() const {
    std::printf("- bmp info header (%ld bytes) -\n", static_cast<long>(sizeof(t_nkBmpInfoHeader)));
    printField("hdr size", hdr_size);
    printField("* width", width);
    printField("* height", height);
    printField("planes", planes);
    printField("bits_per_pixel", bits_per_pixel);
    printField("compression", compression);
    printField("* image_size", image_size);
    printField("resolution_x", resolution_x);
    printField("resolution_y", resolution_y);
    printField("ncolors", ncolors);
    printField("important_colors", important_colors);
}

// ---------------------------------------------------------------------------
// CNK_bmp_8bpp

CNK_bmp_8bpp::CNK_bmp_8bpp(const std::string& path) { load(path); }

CNK_bmp_8bpp::CNK_bmp_8bpp(const CNK_bmp_8bpp& other) : _raw_data(other._raw_data) {
    if (other.pHdr) bindViews();
}

CNK_bmp_8bpp& CNK_bmp_8bpp::operator=(const CNK_bmp_8bpp& other) {
    if (this == &other) return *this;
    clear();
    _raw_data = other._raw_data;
    if (other.pHdr) bindViews();
    return *this;
}

void CNK_bmp_8bpp::clear() {
    std::vector<u8>().swap(_raw_data);
    pHdr = nullptr;
    pInf_hdr = nullptr;
    pPalette = nullptr;
    pData = nullptr;
}

void CNK_bmp_8bpp::bindViews() {
    u8* base = _raw_data.data();
    pHdr = reinterpret_cast<t_nkBmpHeader*>(base);
    pInf_hdr = reinterpret_cast<t_nkBmpInfoHeader*>(base + sizeof(t_nkBmpHeader));
    pPalette = base + sizeof(t_nkBmpHeader) + sizeof(t_nkBmpInfoHeader);
    pData = base + pHdr->data_offset;
}

u16 CNK_bmp_8bpp::load(const std::string& path) {
    clear();
    _raw_data = nkFile_readFile(path);
    if (_raw_data.size() <= 54) {
        REPORT(kNKErr_fileReadFailed, "_raw_data.size()>54");
        clear();
        return kNKErr_fileReadFailed;
    }
    auto* hdr = reinterpret_cast<t_nkBmpHeader*>(_raw_data.data());
    auto* inf = reinterpret_cast<t_nkBmpInfoHeader*>(_raw_data.data() + sizeof(t_nkBmpHeader));
    if (inf->image_size == 0) {
        // Widened, so that a hostile header cannot overflow the product.
        const __int128 size = static_cast<__int128>(inf->bits_per_pixel) * inf->width * inf->height / 8;
        inf->image_size = (size > 0 && size <= INT32_MAX) ? static_cast<u32>(size) : 0;
    }
    if (inf->bits_per_pixel != 8) {
        REPORT(kNKErr_invalidDataType, "pInf_hdr->bits_per_pixel==8");
        clear();
        return kNKErr_invalidDataType;
    }
    // Nothing the header says is trusted: the pixels it describes must lie in
    // the file, or no view is handed out.
    const u64 fileSize = _raw_data.size();
    const u64 pixelCount = static_cast<u64>(inf->width < 0 ? 0 : inf->width) *
                           static_cast<u64>(inf->height < 0 ? -static_cast<i64>(inf->height) : inf->height);
    if (inf->width <= 0 || inf->height == 0 || hdr->data_offset < 54 || hdr->data_offset > fileSize ||
        inf->image_size > fileSize - hdr->data_offset || pixelCount > fileSize - hdr->data_offset) {
        REPORT(kNKErr_invalidFormat, "data_offset+max(image_size,width*height)<=_raw_data.size()");
        clear();
        return kNKErr_invalidFormat;
    }
    bindViews();
    return 0;
}

void CNK_bmp_8bpp::print_header(bool palette) const {
    if (pHdr) pHdr->print();
    if (pInf_hdr) pInf_hdr->print();
    if (palette && pHdr) {
        const i64 n = static_cast<i64>(pHdr->data_offset) - 54;
        if (n >= 4) {
            for (i64 k = 0; k < n / 4; ++k) {
                std::printf("\n[%3d]", static_cast<int>(k / 4));
                for (int b = 0; b < 4; ++b) std::printf("\t%02X", pPalette[4 * k + b]);
            }
        }
        std::printf("\n");
    }
}

std::vector<u32> CNK_bmp_8bpp::luminance_histogram() const {
    std::vector<u32> bins;
    if (!pInf_hdr || !pData) return bins;
    bins.assign(size_t{1} << pInf_hdr->bits_per_pixel, 0);
    const i64 count = static_cast<i64>(pInf_hdr->width) * pInf_hdr->height;
    for (i64 i = 0; i < count; ++i) ++bins[pData[i]];
    return bins;
}

void CNK_bmp_8bpp::print_luminance_histogram() const {
    const std::vector<u32> bins = luminance_histogram();
    if (bins.empty()) return;
    std::printf("- luminance histogram (%ld bytes) -\n", static_cast<long>(bins.size()));
    for (size_t i = 0; i < bins.size(); ++i) std::printf("\t%d", static_cast<int>(i));
    std::printf("\ncounts");
    for (u32 c : bins) std::printf("\t%d", static_cast<int>(c));
    std::printf("\n");
}

int CNK_bmp_8bpp::save(const std::string& path) const {
    if (!pHdr || !pData) {
        REPORT(kNKErr_fileOpenFailed, "pHdr!=NULL && pData!=NULL");
        return kNKErr_fileOpenFailed;
    }
    const size_t headerBytes = pHdr->data_offset, pixelBytes = pInf_hdr->image_size;
    return writeFileAtomically(__func__, path, {{_raw_data.data(), headerBytes}, {pData, pixelBytes}});
}

u16 CNK_bmp_8bpp::save(const std::string& path, const unsigned char* pixels, unsigned long width,
                       unsigned long height) {
    return writeBmp("save", path, pixels, width, height);
}

u16 nkImg_save_bmp_8bpp(const std::string& path, const unsigned char* pixels, unsigned long width,
                        unsigned long height) {
    return writeBmp(__func__, path, pixels, width, height);
}

u16 nkImg_save_bmp_8bpp(const std::string& path, const t_nkData_2d<unsigned char>& image) {
    if (image.data.size() / (image.width ? image.width : 1) < image.height) {
        REPORT(kNKErr_invalidParam, "img.data.size()>=w*h");
        return kNKErr_invalidParam;
    }
    return writeBmp(__func__, path, image.data.data(), image.width, image.height);
}

t_nkData_2d<unsigned char> nkImg_load_bmp_8bpp(const std::string& path) {
    t_nkData_2d<unsigned char> image;
    if (!nkFile_isFileExist(path)) {
        REPORT(kNKErr_fileNotExist, "nkFile_isFileExist(fn)");
        return image;
    }
    const std::vector<u8> data = nkFile_readFile(path);
    if (data.size() <= 54) {
        REPORT(kNKErr_fileReadFailed, "data.size()>54");
        return image;
    }
    t_nkBmpInfoHeader inf;
    std::memcpy(&inf, data.data() + sizeof(t_nkBmpHeader), sizeof(inf));
    // The pixels are read at the writer's fixed offset, rows padded to 4 bytes;
    // they must all be there.
    const u64 avail = data.size() > kBmpDataOffset ? data.size() - kBmpDataOffset : 0;
    if (inf.width <= 0 || inf.height <= 0 ||
        (static_cast<u64>(inf.height) - 1) * bmpStride(static_cast<u64>(inf.width)) + static_cast<u64>(inf.width) >
            avail) {
        REPORT(kNKErr_invalidFormat, "w>0 && h>0 && 1078+(h-1)*stride+w<=data.size()");
        return image;
    }
    const size_t w = static_cast<size_t>(inf.width), h = static_cast<size_t>(inf.height);
    const size_t stride = bmpStride(w);
    std::vector<u8> px(w * h);
    for (size_t y = 0; y < h; ++y) std::memcpy(px.data() + y * w, data.data() + kBmpDataOffset + y * stride, w);
    image.load(w, h, px.data(), px.size());
    return image;
}

// ---------------------------------------------------------------------------
// TIFF structure reader.

namespace {

enum : u16 {
    kTiffByte = 1,
    kTiffAscii = 2,
    kTiffShort = 3,
    kTiffLong = 4,
    kTiffSByte = 6,
    kTiffSShort = 8,
    kTiffSLong = 9,
    kTiffFloat = 11,
    kTiffDouble = 12,
};

u8 tiffTypeSize(u16 type) {
    switch (type) {
        case kTiffByte: case kTiffSByte: return 1;
        case kTiffShort: case kTiffSShort: return 2;
        case kTiffLong: case kTiffSLong: case kTiffFloat: return 4;
        case kTiffDouble: return 8;
        default: return 0;
    }
}

const char* tiffTypeName(u16 type) {
    static const char* const names[] = {"BYTE", "ASCII", "SHORT", "LONG", "RATIONAL", "SBYTE",
                                        "UNDEFINED", "SSHORT", "SLONG", "SRATIONAL", "FLOAT", "DOUBLE"};
    return (type >= 1 && type <= 12) ? names[type - 1] : "unknown";
}

const char* tiffTagName(u16 tag) {
    struct Row { u16 tag; const char* name; };
    static const Row rows[] = {
        {254, "NewSubfileType"}, {255, "SubfileType"}, {256, "ImageWidth"}, {257, "ImageLength"},
        {258, "BitsPerSample"}, {259, "Compression"}, {262, "PhotometricInterpretation"},
        {263, "Threshholding"}, {264, "CellWidth"}, {265, "CellLength"}, {266, "FillOrder"},
        {270, "ImageDescription"}, {271, "Make"}, {272, "Model"}, {273, "StripOffsets"},
        {274, "Orientation"}, {277, "SamplesPerPixel"}, {278, "RowsPerStrip"}, {279, "StripByteCounts"},
        {280, "MinSampleValue"}, {281, "MaxSampleValue"}, {282, "XResolution"}, {283, "YResolution"},
        {284, "PlanarConfiguration"}, {288, "FreeOffsets"}, {289, "FreeByteCounts"},
        {290, "GrayResponseUnit"}, {291, "GrayResponseCurve"}, {296, "ResolutionUnit"}, {305, "Software"},
        {306, "DateTime"}, {315, "Artist"}, {316, "HostComputer"}, {320, "ColorMap"},
        {338, "ExtraSamples"}, {339, "SampleFormat"}, {340, "SMinSampleValue"}, {341, "SMaxSampleValue"},
        {33432, "Copyright"},
    };
    for (const Row& r : rows)
        if (r.tag == tag) return r.name;
    return "unknown";
}

// The values of an entry: inside its value field when they fit in 4 bytes,
// else at the offset it holds, which must lie inside the file.
bool tiffEntryValues(FILE* fp, const t_nkTiffIFD* e, u64 bytes, std::vector<u8>& out) {
    out.assign(static_cast<size_t>(bytes <= 4 ? 4 : 0), 0);
    if (bytes <= 4) {
        const u32 v = e->value_offset;
        std::memcpy(out.data(), &v, 4);
        out.resize(static_cast<size_t>(bytes));
        return true;
    }
    if (bytes > nkFile_getFileSize(fp)) return false;
    out.resize(static_cast<size_t>(bytes));
    return readAt(fp, e->value_offset, out.data(), out.size());
}

// Bytes that decoding an entry reads from outside its directory, for the tags
// whose values are read (values past the end of the file are refused unread).
// In a well-formed file such value arrays never share bytes, so together they
// cannot exceed the file.
u64 tiffOutOfLineBytes(const t_nkTiffIFD& e, u64 fileSize) {
    u64 bytes = 0;
    switch (e.tag) {
        case 271: case 305: case 306: bytes = e.count; break;
        case 273: case 279:
            if (e.type == kTiffShort || e.type == kTiffLong) bytes = static_cast<u64>(e.count) * tiffTypeSize(e.type);
            break;
        default: break;
    }
    return bytes > 4 && bytes <= fileSize && e.value_offset <= fileSize - bytes ? bytes : 0;
}

}  // namespace

void t_nkTiffHeader::print() const {
    std::printf("- Tiff header (%ld bytes) -\n", static_cast<long>(sizeof(t_nkTiffHeader)));
    std::printf("\tbyte ofset       = 0x%04X\n", byte_order);
    std::printf("\tmagic            = %d\n", magic);
    std::printf("\tifd offset       = %d\n", static_cast<int>(first_ifd_offset));
}

void t_nkTiffIFD::print() const {
    std::printf("\ttag           = %d [%s]\n", tag, tiffTagName(tag));
    std::printf("\ttype          = %d [%s]\n", type, tiffTypeName(type));
    std::printf("\ttype count    = %d\n", static_cast<int>(count));
    std::printf("\tvalue offset  = %d\n", static_cast<int>(value_offset));
}

CNK_tiff::CNK_tiff(const std::string& path) { load(path); }

u16 CNK_tiff::load(const std::string& path) {
    const auto started = std::chrono::steady_clock::now();
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp) {
        REPORT(kNKErr_fileOpenFailed, "fp!=NULL");
        pixels.clear();
        return kNKErr_fileOpenFailed;
    }
    const u64 fileSize = nkFile_getFileSize(fp);
    std::printf("-- TIFF : File Size %ld Bytes ---\n", static_cast<long>(fileSize));
    t_nkTiffHeader header{};
    readAt(fp, 0, &header, sizeof(header));
    header.print();
    auto finish = [&](u16 result) {
        std::fclose(fp);
        if (result != 0) pixels.clear();
        return result;
    };
    if (header.byte_order != TIFF_LITTLE_ENDIAN) {
        REPORT(kNKErr_invalidData, "header.byte_order == TIFF_LITTLE_ENDIAN");
        return finish(kNKErr_invalidData);
    }
    std::printf("- Offset of First IFD %d\n", static_cast<int>(header.first_ifd_offset));
    if (header.first_ifd_offset == 0) {
        REPORT(kNKErr_invalidData, "header.first_ifd_offset");
        return finish(kNKErr_invalidData);
    }

    // Collect the chain first. Every directory must lie wholly inside the file and
    // none may be visited twice, so a hostile chain cannot loop or read past the end.
    // Directories that overlap could still repeat the same bytes many times over,
    // so together they may not take more bytes than the file has.
    u16 result = 0;
    std::vector<std::vector<t_nkTiffIFD>> directories;
    std::set<u32> visited;
    u64 directoryBytes = 0;
    u32 offset = header.first_ifd_offset;
    while (offset != 0) {
        if (!visited.insert(offset).second) {
            REPORT(kNKErr_invalidData, "IFD chain without cycle");
            result = kNKErr_invalidData;
            break;
        }
        u16 count = 0;
        u32 next = 0;
        const u64 entriesAt = static_cast<u64>(offset) + 2;
        if (!readAt(fp, offset, &count, sizeof(count)) ||
            !readAt(fp, entriesAt + 12ull * count, &next, sizeof(next))) {
            REPORT(kNKErr_invalidData, "ifd_offset+2+12*count+4<=file size");
            result = kNKErr_invalidData;
            break;
        }
        directoryBytes += 2 + 12ull * count + 4;
        if (directoryBytes > fileSize) {
            REPORT(kNKErr_invalidData, "sum of IFD sizes<=file size");
            result = kNKErr_invalidData;
            break;
        }
        std::vector<t_nkTiffIFD> entries(count);
        if (count > 0 && !readAt(fp, entriesAt, entries.data(), 12ull * count)) {
            REPORT(kNKErr_invalidData, "ifd_offset+2+12*count+4<=file size");
            result = kNKErr_invalidData;
            break;
        }
        directories.push_back(std::move(entries));
        std::printf("- Offset of Next IFD %d\n", static_cast<int>(next));
        offset = next;
    }

    std::printf("-- TIFF : Decode %lu IFDs --\n", static_cast<unsigned long>(directories.size()));
    size_t firstOffsetOfLast = 0, firstCountOfLast = 0;
    // Likewise for the value arrays the entries point to: many entries naming
    // the same large array would otherwise read and store it again and again.
    u64 valueBytes = 0;
    bool tooManyValues = false;
    for (size_t i = 0; i < directories.size() && !tooManyValues; ++i) {
        std::printf("- Order %d IFD --\n", static_cast<int>(i));
        std::printf("- Number of Directory Entries %d\n", static_cast<int>(directories[i].size()));
        if (directories[i].empty()) {
            REPORT(kNKErr_invalidData, "*pNumDirectoryEntries");
            result = kNKErr_invalidData;
            break;
        }
        firstOffsetOfLast = stripOffsets.size();
        firstCountOfLast = stripByteCounts.size();
        for (size_t j = 0; j < directories[i].size(); ++j) {
            std::printf("- Order %d FD --\n", static_cast<int>(j));
            directories[i][j].print();
            valueBytes += tiffOutOfLineBytes(directories[i][j], fileSize);
            if (valueBytes > fileSize) {
                REPORT(kNKErr_invalidData, "sum of value sizes<=file size");
                result = kNKErr_invalidData;
                tooManyValues = true;
                break;
            }
            decodeIFD(fp, &directories[i][j]);
        }
    }
    if (result == 0) readStrips(fp, firstOffsetOfLast, firstCountOfLast);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    pf::number::print(stdout, "- Loading took %f sec\n", took);
    return finish(result);
}

u16 CNK_tiff::decodeIFD(FILE* fp, const t_nkTiffIFD* entry) {
    // Named here: the reports below come from lambdas, whose __func__ is "operator()".
    static const char* const kDecodeIFD = "decodeIFD";
    NK_ASSERT_FN(fp != nullptr);
    NK_ASSERT_FN(entry != nullptr);
    const u32 value = entry->value_offset;
    const u16 low = static_cast<u16>(value & 0xFFFF);
    auto readText = [&](std::string& out) {
        std::vector<u8> bytes;
        if (!tiffEntryValues(fp, entry, entry->count, bytes)) {
            REPORT_AS(kDecodeIFD, kNKErr_invalidData, "value_offset+count<=file size");
            return false;
        }
        out.assign(reinterpret_cast<const char*>(bytes.data()), strnlen(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        return true;
    };
    auto readStripValues = [&](std::vector<u32>& out) -> u16 {
        const u8 size = tiffTypeSize(entry->type);
        if (entry->type != kTiffShort && entry->type != kTiffLong) {
            REPORT_AS(kDecodeIFD, kNKErr_invalidData, "");
            return kNKErr_invalidData;
        }
        std::vector<u8> bytes;
        if (!tiffEntryValues(fp, entry, static_cast<u64>(entry->count) * size, bytes)) {
            REPORT_AS(kDecodeIFD, kNKErr_invalidData, "value_offset+count*size<=file size");
            return kNKErr_invalidData;
        }
        for (size_t k = 0; k + size <= bytes.size(); k += size) {
            if (size == 2) {
                u16 v;
                std::memcpy(&v, &bytes[k], 2);
                out.push_back(v);
            } else {
                u32 v;
                std::memcpy(&v, &bytes[k], 4);
                out.push_back(v);
            }
        }
        return 0;
    };

    switch (entry->tag) {
        case 256:
            imageWidth = value;
            widthTypeSize = tiffTypeSize(entry->type);
            std::printf("\tImage Width : %u\n", imageWidth);
            break;
        case 257:
            imageHeight = value;
            heightTypeSize = tiffTypeSize(entry->type);
            std::printf("\tImage Height : %u\n", imageHeight);
            break;
        case 258:
            bitsPerSample = low;
            std::printf("\tBitsPerSample : %u bytes\n", bitsPerSample);
            break;
        case 259: {
            compression = low;
            const char* name = compression == 1       ? "Nocompression"
                               : compression == 2     ? "ModifiedHuffman"
                               : compression == 32773 ? "Packbits"
                                                      : "unknown";
            std::printf("\tCompression : %u [%s]\n", compression, name);
            break;
        }
        case 262: {
            photometric = low;
            const char* name = photometric == 0 ? "WhiteIsZero" : photometric == 1 ? "BlackIsZero" : "unknown";
            std::printf("\tPhotometricInterpretation : %u [%s]\n", photometric, name);
            break;
        }
        case 271:
            if (!readText(make)) return kNKErr_invalidData;
            std::printf("\tMake : %s\n", make.c_str());
            break;
        case 273: {
            const u16 rc = readStripValues(stripOffsets);
            if (!stripOffsets.empty()) std::printf("\tStripeOffset %d, %u\n", 0, stripOffsets[0]);
            return rc;
        }
        case 274:
            orientation = low;
            std::printf("\tOrientation : %d\n", orientation);
            break;
        case 277:
            samplesPerPixel = low;
            std::printf("\tSamplesPerPixel : %d\n", samplesPerPixel);
            break;
        case 278:
            rowsPerStrip = low;
            std::printf("\tRowsPerStrip : %d\n", rowsPerStrip);
            break;
        case 279: {
            const u16 rc = readStripValues(stripByteCounts);
            if (!stripByteCounts.empty()) std::printf("\tStripByteCounts %d, %u\n", 0, stripByteCounts[0]);
            return rc;
        }
        case 284:
            planarConfiguration = low;
            std::printf("\tPlanarConfiguration %u\n", planarConfiguration);
            break;
        case 305:
            if (!readText(software)) return kNKErr_invalidData;
            std::printf("\tSoftware : %s\n", software.c_str());
            break;
        case 306:
            if (!readText(dateTime)) return kNKErr_invalidData;
            std::printf("\tDateTime : %s\n", dateTime.c_str());
            break;
        case 339: {
            sampleFormat = low;
            static const char* const names[] = {"Unsigned Integer Data", "Two's complement Signed Integer Data",
                                                "IEEE Floating", "Undefined Data Format"};
            std::printf("\tSampleFormat %u [%s]\n", sampleFormat,
                        (sampleFormat >= 1 && sampleFormat <= 4) ? names[sampleFormat - 1] : "unknown");
            break;
        }
        default:
            break;
    }
    return 0;
}

// Uncompressed, chunky strips of the last directory, concatenated up to the
// image's size. Anything that does not add up leaves the samples empty.
void CNK_tiff::readStrips(FILE* fp, size_t firstOffset, size_t firstCount) {
    pixels.clear();
    const u64 spp = samplesPerPixel ? samplesPerPixel : 1;
    const bool plain = (compression == 1 || compression == 0) && planarConfiguration <= 1 &&
                       bitsPerSample != 0 && bitsPerSample % 8 == 0;
    if (!plain || imageWidth == 0 || imageHeight == 0) return;
    // Widened: four header fields multiplied can pass 64 bits and wrap to a small size.
    const unsigned __int128 wide =
        static_cast<unsigned __int128>(static_cast<u64>(imageWidth) * imageHeight) * spp * (bitsPerSample / 8);
    if (wide > nkFile_getFileSize(fp)) return;
    const u64 total = static_cast<u64>(wide);
    if (stripOffsets.size() - firstOffset != stripByteCounts.size() - firstCount) return;
    std::vector<u8> samples;
    samples.reserve(static_cast<size_t>(total));
    for (size_t s = 0; firstOffset + s < stripOffsets.size() && samples.size() < total; ++s) {
        const u64 want = std::min<u64>(stripByteCounts[firstCount + s], total - samples.size());
        const size_t at = samples.size();
        samples.resize(at + static_cast<size_t>(want));
        if (!readAt(fp, stripOffsets[firstOffset + s], samples.data() + at, static_cast<size_t>(want))) return;
    }
    if (samples.size() == total) pixels = std::move(samples);
}

int CNK_tiff::saveAsCsv(const std::string& path) const {
    FILE* fp = std::fopen(path.c_str(), "w+");
    if (!fp) return kNKErr_fileOpenFailed;
    const size_t bytes = bitsPerSample == 32 ? 4 : bitsPerSample == 16 ? 2 : 0;
    // Rows end where the samples do: the header's height alone could ask for
    // billions of empty lines. Other depths have nothing to write.
    size_t at = 0;
    for (u32 r = 0; r < imageHeight && bytes != 0 && at + bytes <= pixels.size(); ++r) {
        for (u32 c = 0; c < imageWidth && at + bytes <= pixels.size(); ++c) {
            u32 v = 0;
            std::memcpy(&v, &pixels[at], bytes);
            at += bytes;
            std::fprintf(fp, "%u,", v);
        }
        std::fprintf(fp, "\n");
    }
    return std::fclose(fp);
}

// ---------------------------------------------------------------------------
// Picture exports. Each works on copies of the caller's values and text.

namespace {

#define REPORT_LM(lm, func, code) nkDebug_printError((lm), "nk_image.cpp", nullptr, (func), __LINE__, (u16)(code), "")

// Grey level for a fill; a value that has no place on the scale (a zero or
// unknown range, an invalid value) is drawn mid-grey.
template <typename T>
T greyOrMid(T g) {
    return std::isfinite(g) ? g : static_cast<T>(0.5);
}

template <typename T>
bool keptRange(const std::vector<T>& values, double mean, double limit, double* low, double* high) {
    *low = *high = std::nan("");
    bool any = false;
    for (T v : values) {
        if (!nkMath_isValid(v) || !(std::fabs(static_cast<double>(v) - mean) <= limit)) continue;
        if (!any || v < *low) *low = v;
        if (!any || v > *high) *high = v;
        any = true;
    }
    return any;
}

template <typename T>
void exportSensorImage(const char* path, const T* data, int width, int height, const char* text) {
    const char* func = "nkImg_exportSensorImage";
    if (!data) return;
    if (!path || width < 1 || height < 1) {
        REPORT_LM(nullptr, func, kNKErr_invalidParam);
        return;
    }
    std::vector<T> values;
    try {
        values.assign(data, data + static_cast<size_t>(width) * static_cast<size_t>(height));
    } catch (const std::exception&) {
        REPORT_LM(nullptr, func, kNKErr_memoryAllocationFailed);
        return;
    }
    pf::draw::Context ctx(800, 480);
    if (!ctx.isValid()) {
        REPORT_LM(nullptr, func, kNKErr_imageCreationException);
        return;
    }
    ctx.setFillColor(1, 1, 1, 1);
    ctx.fillRect(0, 0, 800, 480);

    const double mean = nkMath_avg(values.data(), values.size());
    const double sd = nkMath_stdev(values.data(), values.size(), mean);
    double low, high;
    keptRange(values, mean, 3 * sd, &low, &high);
    const T lo = static_cast<T>(low), range = static_cast<T>(high - low);
    const float cw = static_cast<float>(440.0 / width), ch = static_cast<float>(440.0 / height);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            const T v = values[static_cast<size_t>(r) * width + c];
            const T g = greyOrMid<T>(1 - (v - lo) / range);
            ctx.setFillColor(g, g, g, 1);
            ctx.fillRect(c * cw + 20, (height - 1 - r) * ch + 20, cw, ch);
        }
    nkImg_drawTextBlock(ctx, text, 470, 458, 12);
    if (!ctx.writeTo(path, "jpeg")) REPORT_LM(nullptr, func, kNKErr_fileWriteFailed);
}

template <typename T>
u16 exportLineCurve(CNK_logManager* log, const char* path, const T* data, int count, int width, int height,
                    const char* text) {
    const char* func = "nkImg_exportLineCurve";
    if (count < 1 || width < 1 || height < 1) {
        REPORT_LM(log, func, kNKErr_invalidParam);
        return kNKErr_invalidParam;
    }
    if (!path || !data) {
        REPORT_LM(log, func, kNKErr_invalidPointer);
        return kNKErr_invalidPointer;
    }
    std::vector<T> values;
    try {
        values.assign(data, data + count);
    } catch (const std::exception&) {
        REPORT_LM(log, func, kNKErr_memoryAllocationFailed);
        return kNKErr_memoryAllocationFailed;
    }
    T max = static_cast<T>(-10000.0);
    for (T v : values)
        if (v > max) max = v;
    if (max > height) {
        const T scale = static_cast<T>(height) / max;
        for (T& v : values) v *= scale;
    }
    pf::draw::Context ctx(width, height);
    if (!ctx.isValid()) {
        REPORT_LM(log, func, kNKErr_imageCreationException);
        return kNKErr_imageCreationException;
    }
    ctx.setFillColor(1, 1, 1, 1);
    ctx.fillRect(0, 0, width, height);
    ctx.setLineCap(pf::draw::LineCap::round);
    ctx.setLineWidth(2.0);
    ctx.setStrokeColor(0, 0, 1, 2.0);
    if (count >= 2) {
        // One segment per selected sample, one unit wide, joined to the next selected sample.
        const i64 step = count / width;
        i64 k = 0;
        for (i64 i = 0; i < count - 1; i += step + 1, ++k) {
            const i64 next = std::min<i64>(i + step + 1, count - 1);
            nkGrph_drawLine(&ctx, static_cast<double>(k), values[static_cast<size_t>(i)], static_cast<double>(k + 1),
                            values[static_cast<size_t>(next)]);
        }
    }
    nkImg_drawTextBlock(ctx, text, 2, height, 10);
    if (!ctx.writeTo(path, "jpeg")) {
        REPORT_LM(log, func, kNKErr_fileWriteFailed);
        return kNKErr_fileWriteFailed;
    }
    return 0;
}

template <typename T>
u16 exportImage(CNK_logManager* log, const char* path, const T* data, int width, int height, const char* text,
                unsigned char sigmaK, bool asBitmap, double upper, double lower) {
    const char* func = "nkImg_exportImage";
    if (!data || !path) {
        REPORT_LM(log, func, kNKErr_invalidPointer);
        return kNKErr_invalidPointer;
    }
    if (width < 1 || height < 1) {
        REPORT_LM(log, func, kNKErr_invalidParam);
        return kNKErr_invalidParam;
    }
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    std::vector<T> values;
    try {
        values.assign(data, data + w * h);
    } catch (const std::exception&) {
        REPORT_LM(log, func, kNKErr_memoryAllocationFailed);
        return kNKErr_memoryAllocationFailed;
    }
    // The scale comes from the image without its outermost rows and columns.
    t_nkMathStat stat;
    if (w >= 3 && h >= 3) stat = nkMath_stat_2d(values.data(), w, 1, w - 1, 1, h - 1);
    double low, range;
    if (sigmaK == 0) {
        low = stat.min;
        range = stat.max - stat.min;
    } else {
        double high;
        keptRange(values, stat.avg, sigmaK * stat.stdev, &low, &high);
        range = high - low;
    }
    const T lo = static_cast<T>(low), rg = static_cast<T>(range);
    const bool hasUpper = nkMath_isValid(upper), hasLower = nkMath_isValid(lower);

    const i64 pw = 4 * static_cast<i64>(width), ph = 4 * static_cast<i64>(height) + 40;
    pf::draw::Context ctx(pw <= INT32_MAX ? static_cast<int>(pw) : 0, ph <= INT32_MAX ? static_cast<int>(ph) : 0);
    if (!ctx.isValid()) {
        REPORT_LM(log, func, kNKErr_imageCreationException);
        return kNKErr_imageCreationException;
    }
    ctx.setFillColor(1, 1, 1, 1);
    ctx.fillRect(0, 0, static_cast<double>(pw), static_cast<double>(ph));

    if (asBitmap) {
        std::vector<u8> grey(w * h);
        for (size_t i = 0; i < grey.size(); ++i) {
            const T g = greyOrMid<T>(1 - (values[i] - lo) / rg);
            grey[i] = static_cast<u8>(std::lround(std::min<T>(1, std::max<T>(0, g)) * 255));
        }
        ctx.drawGreyImage(grey.data(), width, height, 0, 40, static_cast<double>(pw), static_cast<double>(ph - 40));
    } else {
        const T up = static_cast<T>(upper), down = static_cast<T>(lower);
        for (size_t r = 0; r < h; ++r)
            for (size_t c = 0; c < w; ++c) {
                const T v = values[r * w + c];
                const T g = greyOrMid<T>(hasUpper && hasLower ? 1 - (v - down) / (up - down) : 1 - (v - lo) / rg);
                const double x = 4.0 * c, y = 4.0 * (h - 1 - r) + 40;
                ctx.setFillColor(g, g, g, 1);
                ctx.fillRect(x, y, 4, 4);
                if (hasUpper && v > up) {
                    ctx.setFillColor(0.9, 0, 0, 0.5);
                    ctx.fillRect(x, y, 4, 4);
                } else if (hasLower && v < down) {
                    ctx.setFillColor(0, 0, 0.9, 0.5);
                    ctx.fillRect(x, y, 4, 4);
                }
            }
    }
    nkImg_drawTextBlock(ctx, text, 0, 40, 10);
    if (!ctx.writeTo(path, "jpeg")) {
        REPORT_LM(log, func, kNKErr_fileWriteFailed);
        return kNKErr_fileWriteFailed;
    }
    return 0;
}

}  // namespace

// Lines split at "\n", black, monospaced at 10 points, left-aligned at x; line k
// (from 1) has its baseline at firstBaseline - k * spacing. The text is split on a copy.
void nkImg_drawTextBlock(pf::draw::Context& ctx, const char* text, double x, double firstBaseline, double spacing) {
    if (!text || !*text) return;
    const u32 lines = nkStr_checkTextCount(text, "\n") + 1;
    ctx.setFont(pf::draw::kMonospaceFont, 10);
    ctx.setFillColor(0, 0, 0, 1);
    const char* line = text;
    for (u32 k = 1; k <= lines; ++k) {
        const char* end = std::strchr(line, '\n');
        const std::string copy = end ? std::string(line, end) : std::string(line);
        nkGrph_drawText(&ctx, copy.c_str(), 1, x, firstBaseline - spacing * k);
        if (!end) break;
        line = end + 1;
    }
}

void nkImg_exportSensorImage(char* path, double* data, int width, int height, char* text, unsigned char) {
    exportSensorImage<double>(path, data, width, height, text);
}
void nkImg_exportSensorImage(char* path, float* data, int width, int height, char* text, unsigned char) {
    exportSensorImage<float>(path, data, width, height, text);
}
u16 nkImg_exportLineCurve(CNK_logManager* log, const char* path, double* data, int count, int width, int height,
                          char* text) {
    return exportLineCurve<double>(log, path, data, count, width, height, text);
}
u16 nkImg_exportLineCurve(CNK_logManager* log, const char* path, float* data, int count, int width, int height,
                          char* text) {
    return exportLineCurve<float>(log, path, data, count, width, height, text);
}
u16 nkImg_exportImage(CNK_logManager* log, const char* path, const double* data, int width, int height,
                      const char* text, unsigned char sigmaK, bool asBitmap, double upper, double lower) {
    return exportImage<double>(log, path, data, width, height, text, sigmaK, asBitmap, upper, lower);
}
u16 nkImg_exportImage(CNK_logManager* log, const char* path, const float* data, int width, int height,
                      const char* text, unsigned char sigmaK, bool asBitmap, double upper, double lower) {
    return exportImage<float>(log, path, data, width, height, text, sigmaK, asBitmap, upper, lower);
}
