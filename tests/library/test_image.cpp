// Flip and crop, the 2-D container, BMP files and the TIFF reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <thread>

#include "nk_image.h"
#include "nk_test_util.h"

namespace {

// ---------------------------------------------------------------------------
// Flip and crop

template <typename T>
struct Family {
    void (*flipV)(T*, int, int);
    void (*flipH)(T*, int, int);
    void (*crop)(T*, int, int, int, int, int, int);
};

template <typename T>
std::vector<T> iota(size_t n, int first) {
    std::vector<T> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<T>(first + static_cast<int>(i));
    return v;
}

template <typename T>
void checkFamily(const Family<T>& f) {
    SCOPED_TRACE(typeid(T).name());
    auto img = iota<T>(9, 1);
    f.flipV(img.data(), 3, 3);
    EXPECT_EQ(img, (std::vector<T>{7, 8, 9, 4, 5, 6, 1, 2, 3}));
    img = iota<T>(3, 1);
    f.flipV(img.data(), 3, 1);  // one row: nothing to do
    EXPECT_EQ(img, iota<T>(3, 1));

    img = iota<T>(8, 1);  // two rows of even and odd width
    f.flipH(img.data(), 4, 2);
    EXPECT_EQ(img, (std::vector<T>{4, 3, 2, 1, 8, 7, 6, 5}));
    img = iota<T>(3, 1);
    f.flipH(img.data(), 3, 1);
    EXPECT_EQ(img, (std::vector<T>{3, 2, 1}));

    img = iota<T>(12, 0);
    f.crop(img.data(), 4, 3, 1, 1, 2, 2);
    EXPECT_EQ(img, (std::vector<T>{5, 6, 9, 10, 4, 5, 6, 7, 8, 9, 10, 11}));
    img = iota<T>(12, 0);
    f.crop(img.data(), 4, 3, 0, 0, 4, 3);
    EXPECT_EQ(img, iota<T>(12, 0));
}

TEST(ImageFlipCrop, EveryPixelTypeFlipsAndCrops) {
    checkFamily<unsigned char>({nkImg_flipUInt8_Vertical, nkImg_flipUInt8_Horizontal, nkImg_cropImageUInt8});
    checkFamily<signed char>({nkImg_flipSInt8_Vertical, nkImg_flipSInt8_Horizontal, nkImg_cropImageSInt8});
    checkFamily<unsigned short>({nkImg_flipUInt16_Vertical, nkImg_flipUInt16_Horizontal, nkImg_cropImageUInt16});
    checkFamily<short>({nkImg_flipSInt16_Vertical, nkImg_flipSInt16_Horizontal, nkImg_cropImageSInt16});
    checkFamily<unsigned int>({nkImg_flipUInt32_Vertical, nkImg_flipUInt32_Horizontal, nkImg_cropImageUInt32});
    checkFamily<int>({nkImg_flipSInt32_Vertical, nkImg_flipSInt32_Horizontal, nkImg_cropImageSInt32});
    checkFamily<float>({nkImg_flipFloat_Vertical, nkImg_flipFloat_Horizontal, nkImg_cropImageFloat});
    checkFamily<double>({nkImg_flipDouble_Vertical, nkImg_flipDouble_Horizontal, nkImg_cropImageDouble});
}

TEST(ImageFlipCrop, VerticalFlipOfRowsWiderThan512KeepsEveryBitPattern) {
    const int w = 1500, h = 3;
    std::vector<double> img(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < img.size(); ++i) img[i] = static_cast<double>(i) + 0.25;
    img[5] = std::numeric_limits<double>::quiet_NaN();
    img[2 * w + 1499] = kNK_noValue;
    const std::vector<double> before = img;
    nkImg_flipDouble_Vertical(img.data(), w, h);
    EXPECT_EQ(0, std::memcmp(&img[2 * w], &before[0], sizeof(double) * w));
    EXPECT_EQ(0, std::memcmp(&img[0], &before[2 * w], sizeof(double) * w));
    EXPECT_EQ(0, std::memcmp(&img[w], &before[w], sizeof(double) * w));
}

TEST(ImageFlipCrop, CropWindowOutsideTheImageLeavesItUnchanged) {
    struct Case { int x, y, cw, ch; } cases[] = {
        {3, 0, 2, 1},           // runs past the right edge
        {0, 2, 1, 2},           // runs past the bottom
        {-1, 0, 2, 2},          // negative origin
        {0, 0, 0, 2},           // empty window
        {1, 1, 2147483647, 1},  // would overflow x + w
    };
    for (const Case& c : cases) {
        auto img = iota<int>(12, 0);
        nkImg_cropImageSInt32(img.data(), 4, 3, c.x, c.y, c.cw, c.ch);
        EXPECT_EQ(img, iota<int>(12, 0)) << c.x << "," << c.y << " " << c.cw << "x" << c.ch;
    }
}

TEST(ImageFlipCrop, TemplateFormsWorkWithWideSizes) {
    auto img = iota<unsigned char>(12, 0);
    nkImg_crop<unsigned char>(img.data(), 4, 3, 1, 1, 3, 2);
    EXPECT_EQ(std::vector<unsigned char>(img.begin(), img.begin() + 6), (std::vector<unsigned char>{5, 6, 7, 9, 10, 11}));
    img = iota<unsigned char>(6, 1);
    nkImg_flip_vertical<unsigned char>(img.data(), 3, 2);
    EXPECT_EQ(img, (std::vector<unsigned char>{4, 5, 6, 1, 2, 3}));
}

TEST(ImageFlipCropDeathTest, TemplateCropOfAWindowThatDoesNotFitAborts) {
    std::vector<unsigned char> img(12);
    EXPECT_DEATH(nkImg_crop<unsigned char>(img.data(), 4, 3, 2, 0, 3, 1), "Assertion Fail");
    EXPECT_DEATH(nkImg_crop<unsigned char>(img.data(), 4, 3, 1, 0, UINT64_MAX, 1), "Assertion Fail");
    EXPECT_DEATH(nkImg_flip_vertical<unsigned char>(nullptr, 4, 3), "Assertion Fail");
}

// ---------------------------------------------------------------------------
// t_nkData_2d

TEST(ImageData2d, LoadRefusesTooFewValuesAndKeepsTheOldImage) {
    const std::vector<double> src = {1, 2, 3, 4, 5, 6};
    t_nkData_2d<double> d;
    ASSERT_EQ(0, d.load(3, 2, src.data(), src.size()));
    EXPECT_EQ(d.data, src);
    EXPECT_EQ(kNKErr_invalidParam, d.load(4, 2, src.data(), src.size()));
    EXPECT_EQ(kNKErr_invalidParam, d.load(SIZE_MAX, 2, src.data(), src.size()));
    EXPECT_EQ(kNKErr_invalidParam, d.load(1, 1, nullptr, 1));
    EXPECT_EQ(3u, d.width);
    EXPECT_EQ(2u, d.height);
    EXPECT_EQ(d.data, src);
}

TEST(ImageData2d, CropAcceptsWindowsThatFitAndIgnoresTheRest) {
    const auto src = iota<double>(12, 0);
    t_nkData_2d<double> d;
    ASSERT_EQ(0, d.load(4, 3, src.data(), src.size()));
    struct Case { size_t x, y, w, h; } refused[] = {
        {1, 0, 4, 1}, {0, 1, 1, 3}, {5, 0, 0, 1}, {0, 0, 0, 1}, {1, 0, SIZE_MAX, 1}, {0, 1, 1, SIZE_MAX},
    };
    for (const Case& c : refused) {
        d.crop(c.x, c.y, c.w, c.h);
        EXPECT_EQ(d.data, src);
        EXPECT_EQ(4u, d.width);
    }
    d.crop(1, 1, 3, 2);  // x + w equal to the width
    EXPECT_EQ(3u, d.width);
    EXPECT_EQ(2u, d.height);
    EXPECT_EQ(d.data, (std::vector<double>{5, 6, 7, 9, 10, 11}));

    t_nkData_2d<double> broken;  // size does not match width x height
    broken.data = {1, 2, 3};
    broken.width = 2;
    broken.height = 2;
    broken.crop(0, 0, 1, 1);
    EXPECT_EQ(3u, broken.data.size());
}

// ---------------------------------------------------------------------------
// BMP

std::string u32le(u32 v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string u16le(u16 v) { return std::string(reinterpret_cast<const char*>(&v), 2); }

// A BMP built by hand: headers, the grey palette when dataOffset leaves room, then the pixels.
std::string makeBmp(i32 w, i32 h, u16 bpp, u32 dataOffset, u32 imageSize, const std::string& pixels) {
    std::string f = "BM" + u32le(0) + u16le(0) + u16le(0) + u32le(dataOffset);
    f += u32le(40) + u32le(static_cast<u32>(w)) + u32le(static_cast<u32>(h)) + u16le(1) + u16le(bpp) + u32le(0) +
         u32le(imageSize) + u32le(3780) + u32le(3780) + u32le(256) + u32le(256);
    while (f.size() < dataOffset && f.size() < 1078) f.push_back(static_cast<char>(((f.size() - 54) / 4) & 0xFF));
    return f + pixels;
}

TEST(ImageBmp, SavedFileHasTheFixedLayoutAndRowsAsInMemory) {
    nktest::TempDir dir;
    const std::string path = dir.file("a.bmp");
    const unsigned char px[8] = {1, 2, 3, 4, 5, 6, 7, 200};
    nktest::writeFile(path, std::string(5000, 'x'));  // replaced, never appended to
    ASSERT_EQ(0, CNK_bmp_8bpp::save(path, px, 4, 2));
    const std::string f = nktest::readFile(path);
    ASSERT_EQ(1086u, f.size());
    EXPECT_EQ("BM", f.substr(0, 2));
    EXPECT_EQ(u32le(1086), f.substr(2, 4));
    EXPECT_EQ(u32le(1078), f.substr(10, 4));
    EXPECT_EQ(u32le(8), f.substr(34, 4));
    EXPECT_EQ(std::string("\xC8\xC8\xC8\x00", 4), f.substr(54 + 4 * 200, 4));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(px), 8), f.substr(1078));

    // A width of 3 is stored in rows padded to 4 bytes, and the reader drops the padding.
    const unsigned char odd[6] = {10, 20, 30, 40, 50, 60};
    ASSERT_EQ(0, nkImg_save_bmp_8bpp(path, odd, 3, 2));
    const std::string f3 = nktest::readFile(path);
    EXPECT_EQ(1086u, f3.size());
    EXPECT_EQ(u32le(8), f3.substr(34, 4));
    EXPECT_EQ(std::string("\x0A\x14\x1E\x00\x28\x32\x3C\x00", 8), f3.substr(1078));
    const auto img = nkImg_load_bmp_8bpp(path);
    EXPECT_EQ(3u, img.width);
    EXPECT_EQ(2u, img.height);
    EXPECT_EQ(img.data, std::vector<unsigned char>(odd, odd + 6));
}

TEST(ImageBmp, ContainerIsSavedWholeOrNotAtAll) {
    nktest::TempDir dir;
    const std::string path = dir.file("c.bmp");
    const unsigned char px[6] = {9, 8, 7, 6, 5, 4};
    t_nkData_2d<unsigned char> img;
    ASSERT_EQ(0, img.load(3, 2, px, 6));
    ASSERT_EQ(0, nkImg_save_bmp_8bpp(path, img));
    const auto back = nkImg_load_bmp_8bpp(path);
    EXPECT_EQ(3u, back.width);
    EXPECT_EQ(2u, back.height);
    EXPECT_EQ(img.data, back.data);

    img.data.pop_back();  // fewer values than width x height
    EXPECT_EQ(kNKErr_invalidParam, nkImg_save_bmp_8bpp(dir.file("short.bmp"), img));
    EXPECT_FALSE(std::filesystem::exists(dir.file("short.bmp")));
}

TEST(ImageBmp, SaveRefusesBadArgumentsAndReportsFailedWrites) {
    nktest::TempDir dir;
    const unsigned char px[4] = {1, 2, 3, 4};
    EXPECT_EQ(kNKErr_invalidParam, nkImg_save_bmp_8bpp("", px, 2, 2));
    EXPECT_EQ(kNKErr_invalidParam, nkImg_save_bmp_8bpp(dir.file("a.bmp"), nullptr, 2, 2));
    EXPECT_EQ(kNKErr_invalidParam, nkImg_save_bmp_8bpp(dir.file("a.bmp"), px, 0, 2));
    EXPECT_EQ(kNKErr_fileOpenFailed, nkImg_save_bmp_8bpp(dir.file("missing/a.bmp"), px, 2, 2));

    // A write that fails half way reports 0xE044 and keeps the file that was there.
    const std::string path = dir.file("old.bmp");
    nktest::writeFile(path, "old contents");
    std::vector<unsigned char> big(200000, 7);
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100000;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    const u16 rc = nkImg_save_bmp_8bpp(path, big.data(), 1000, 200);
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(kNKErr_fileWriteFailed, rc);
    EXPECT_EQ("old contents", nktest::readFile(path));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()));
}

TEST(ImageBmp, SavingLeavesTheProcessUmaskAlone) {
    // Files other threads create while images are saved keep the umask's
    // protection, and the image itself gets the same mode as any new file.
    nktest::TempDir dir;
    const mode_t oldMask = umask(022);
    std::atomic<bool> done{false};
    std::atomic<int> wrongModes{0};
    std::thread other([&] {
        const std::string probe = dir.file("probe");
        while (!done) {
            const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
            if (fd < 0) continue;
            struct stat st;
            if (fstat(fd, &st) == 0 && (st.st_mode & 0777) != 0644) ++wrongModes;
            close(fd);
            unlink(probe.c_str());
        }
    });
    const unsigned char px[4] = {1, 2, 3, 4};
    for (int i = 0; i < 100; ++i) ASSERT_EQ(0, nkImg_save_bmp_8bpp(dir.file("m.bmp"), px, 2, 2));
    done = true;
    other.join();
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("m.bmp").c_str(), &st));
    umask(oldMask);
    EXPECT_EQ(0644u, st.st_mode & 0777);
    EXPECT_EQ(0, wrongModes.load());
}

TEST(ImageBmp, OtherReadersSeeTheSamePixels) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    const std::string path = dir.file("ramp.bmp");
    // Widths with and without row padding.
    for (size_t w : {8, 5, 3}) {
        std::vector<unsigned char> px(w * 3);
        for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<unsigned char>(i * 11);
        ASSERT_EQ(0, nkImg_save_bmp_8bpp(path, px.data(), w, 3));
        // Buffer row 0 is the file's first row, which a BMP reader shows at the bottom.
        const std::string out = nktest::runCommand(std::string(NK_PYTHON) +
            " -c \"from PIL import Image; im=Image.open('" + path + "'); print(im.mode, im.size, list(im.transpose(Image.FLIP_TOP_BOTTOM).getdata()))\" 2>&1");
        std::string expected = "L (" + std::to_string(w) + ", 3) [";
        for (size_t i = 0; i < px.size(); ++i) expected += (i ? ", " : "") + std::to_string(px[i]);
        EXPECT_EQ(expected + "]\n", out);
    }
}

TEST(ImageBmp, ReadsAFileWrittenByPillow) {
    const std::string path = std::string(NK_TEST_DATA_DIR) + "/pillow_grey_8x3.bmp";
    // Written from rows y = 0..2 (top first) of (30x + 7y) % 256; the file stores the bottom row first.
    const auto img = nkImg_load_bmp_8bpp(path);
    ASSERT_EQ(8u, img.width);
    ASSERT_EQ(3u, img.height);
    CNK_bmp_8bpp bmp(path);
    ASSERT_NE(nullptr, bmp.pData);
    for (size_t r = 0; r < 3; ++r)
        for (size_t c = 0; c < 8; ++c) {
            const unsigned char want = static_cast<unsigned char>((c * 30 + (2 - r) * 7) % 256);
            EXPECT_EQ(want, img.data[r * 8 + c]) << r << "," << c;
            EXPECT_EQ(want, bmp.pData[r * 8 + c]);
        }
    const auto hist = bmp.luminance_histogram();
    ASSERT_EQ(256u, hist.size());
    EXPECT_EQ(24u, std::accumulate(hist.begin(), hist.end(), 0u));
    EXPECT_EQ(1u, hist[30 + 14]);  // column 1 of the top row
}

TEST(ImageBmp, LoadChecksSizeAndDepth) {
    nktest::TempDir dir;
    const std::string path = dir.file("b.bmp");
    nktest::writeFile(path, makeBmp(1, 1, 8, 54, 1, "").substr(0, 54));
    CNK_bmp_8bpp bmp(path);
    EXPECT_EQ(kNKErr_fileReadFailed, bmp.load(path));
    EXPECT_TRUE(bmp.luminance_histogram().empty());

    nktest::writeFile(path, makeBmp(1, 1, 8, 54, 1, "\x2A"));  // 55 bytes: the smallest image
    ASSERT_EQ(0, bmp.load(path));
    EXPECT_EQ(0x2A, bmp.pData[0]);

    // 24 bits: the object refuses it, the free reader does not look at the depth.
    nktest::writeFile(path, makeBmp(2, 1, 24, 1078, 6, std::string(6, '\x05')));
    EXPECT_EQ(kNKErr_invalidDataType, bmp.load(path));
    EXPECT_EQ(nullptr, bmp.pHdr);
    EXPECT_EQ(nullptr, bmp.pData);
    EXPECT_TRUE(bmp._raw_data.empty());
    EXPECT_EQ(2u, nkImg_load_bmp_8bpp(path).data.size());
}

TEST(ImageBmp, ZeroImageSizeIsFilledInAndSavedBack) {
    nktest::TempDir dir;
    const std::string path = dir.file("z.bmp");
    nktest::writeFile(path, makeBmp(4, 2, 8, 1078, 0, "ABCDEFGH") + "trailing");
    CNK_bmp_8bpp bmp(path);
    ASSERT_NE(nullptr, bmp.pInf_hdr);
    EXPECT_EQ(8u, u32{bmp.pInf_hdr->image_size});
    const std::string copy = dir.file("copy.bmp");
    ASSERT_EQ(0, bmp.save(copy));
    const std::string f = nktest::readFile(copy);
    EXPECT_EQ(1086u, f.size());
    EXPECT_EQ("ABCDEFGH", f.substr(1078));

    // A copy of the object points into its own bytes.
    CNK_bmp_8bpp other = bmp;
    bmp.load(dir.file("nothing"));
    ASSERT_NE(nullptr, other.pData);
    EXPECT_EQ('A', other.pData[0]);
    EXPECT_EQ(kNKErr_fileOpenFailed, bmp.save(dir.file("empty.bmp")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("empty.bmp")));
}

TEST(ImageBmp, HeadersThatPointOutsideTheFileAreRefused) {
    nktest::TempDir dir;
    const std::string path = dir.file("h.bmp");
    struct Case { const char* what; std::string bytes; } cases[] = {
        {"data offset past the end", makeBmp(2, 2, 8, 0x7FFFFFF0, 4, "abcd")},
        {"image size past the end", makeBmp(2, 2, 8, 1078, 0x10000000, "abcd")},
        {"width x height past the end", makeBmp(0x10000, 0x10000, 8, 1078, 4, "abcd")},
        {"huge top-down height", makeBmp(2, INT32_MIN, 8, 1078, 4, "abcd")},
        {"negative width", makeBmp(-2, 2, 8, 1078, 4, "abcd")},
        {"overflowing filled-in size", makeBmp(0x40000000, 0x40000000, 8, 1078, 0, "abcd")},
        {"offset inside the headers", makeBmp(2, 2, 8, 10, 4, std::string(1100, 'p'))},
    };
    for (const Case& c : cases) {
        nktest::writeFile(path, c.bytes);
        CNK_bmp_8bpp bmp(path);
        EXPECT_EQ(nullptr, bmp.pData) << c.what;
        EXPECT_TRUE(bmp.luminance_histogram().empty()) << c.what;
        const auto img = nkImg_load_bmp_8bpp(path);
        EXPECT_TRUE(img.data.size() == img.width * img.height) << c.what;
    }
    nktest::writeFile(path, makeBmp(40, 40, 8, 1078, 1600, std::string(100, 'p')));
    EXPECT_TRUE(nkImg_load_bmp_8bpp(path).data.empty());
    EXPECT_TRUE(nkImg_load_bmp_8bpp(dir.file("absent.bmp")).data.empty());
}

TEST(ImageBmp, PrintsHeadersAndHistogram) {
    nktest::TempDir dir;
    const std::string path = dir.file("p.bmp");
    const unsigned char px[8] = {0, 0, 1, 255, 0, 0, 0, 0};
    ASSERT_EQ(0, nkImg_save_bmp_8bpp(path, px, 4, 2));
    CNK_bmp_8bpp bmp(path);
    testing::internal::CaptureStdout();
    bmp.print_header(true);
    bmp.print_luminance_histogram();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("- bmp header (14 bytes) -\n\tmagic            = 'BM' 0x4D42\n"));
    EXPECT_NE(std::string::npos, out.find("\t* file_size      = 1086\n"));
    EXPECT_NE(std::string::npos, out.find("\timportant_colors = 256\n"));
    EXPECT_NE(std::string::npos, out.find("\n[ 50]\tC8\tC8\tC8\t00"));
    EXPECT_NE(std::string::npos, out.find("- luminance histogram (256 bytes) -\n\t0\t1\t2"));
    EXPECT_NE(std::string::npos, out.find("\ncounts\t6\t1\t0"));
}

// ---------------------------------------------------------------------------
// TIFF

// A little-endian TIFF assembled in memory: directories are placed at the
// offsets the test chooses, so that chains can point anywhere.
struct TiffBytes {
    std::string bytes;
    explicit TiffBytes(u32 firstIfd, const char* order = "II") {
        bytes = std::string(order, 2) + u16le(42) + u32le(firstIfd);
    }
    void put(size_t at, const std::string& s) {
        if (bytes.size() < at + s.size()) bytes.resize(at + s.size(), '\0');
        bytes.replace(at, s.size(), s);
    }
    void dir(size_t at, const std::vector<t_nkTiffIFD>& entries, u32 next) {
        std::string d = u16le(static_cast<u16>(entries.size()));
        for (const auto& e : entries) d += std::string(reinterpret_cast<const char*>(&e), sizeof(e));
        put(at, d + u32le(next));
    }
};

class ImageTiff : public ::testing::Test {
protected:
    CNK_tiff load(const std::string& bytes, u16* rc) {
        nktest::writeFile(path, bytes);
        CNK_tiff t(dir.file("none"));
        testing::internal::CaptureStdout();
        *rc = t.load(path);
        trace = testing::internal::GetCapturedStdout();
        return t;
    }
    nktest::TempDir dir;
    std::string path = dir.file("t.tif");
    std::string trace;
};

std::vector<u16> samples16(const CNK_tiff& t) {
    std::vector<u16> v(t.pixels.size() / 2);
    std::memcpy(v.data(), t.pixels.data(), v.size() * 2);
    return v;
}

TEST_F(ImageTiff, ReadsFilesWrittenByPillowAndTiffcp) {
    std::vector<u16> expected;
    for (u16 y = 0; y < 4; ++y)
        for (u16 x = 0; x < 5; ++x) expected.push_back(static_cast<u16>(x * 1000 + y));
    for (const char* name : {"pillow_grey16_5x4.tif", "tiffcp_strips_5x4.tif"}) {
        SCOPED_TRACE(name);
        u16 rc = 1;
        CNK_tiff t = load(nktest::readFile(std::string(NK_TEST_DATA_DIR) + "/" + name), &rc);
        ASSERT_EQ(0, rc);
        EXPECT_EQ(5u, t.imageWidth);
        EXPECT_EQ(4u, t.imageHeight);
        EXPECT_EQ(16, t.bitsPerSample);
        EXPECT_EQ(1, t.compression);
        EXPECT_EQ(1, t.photometric);
        EXPECT_EQ(samples16(t), expected);
        EXPECT_NE(std::string::npos, trace.find("\tImage Width : 5\n"));
        EXPECT_NE(std::string::npos, trace.find("\tCompression : 1 [Nocompression]\n"));
    }
    u16 rc = 1;
    CNK_tiff strips = load(nktest::readFile(std::string(NK_TEST_DATA_DIR) + "/tiffcp_strips_5x4.tif"), &rc);
    EXPECT_EQ(4u, strips.stripOffsets.size());
    EXPECT_EQ(std::vector<u32>(4, 10), strips.stripByteCounts);

    // Two directories: the second one's size wins, the strip lists hold both.
    CNK_tiff two = load(nktest::readFile(std::string(NK_TEST_DATA_DIR) + "/tiffcp_two_dirs.tif"), &rc);
    ASSERT_EQ(0, rc);
    EXPECT_EQ(3u, two.imageWidth);
    EXPECT_EQ(2u, two.imageHeight);
    EXPECT_EQ((std::vector<u32>{40, 12}), two.stripByteCounts);
    EXPECT_EQ(samples16(two), (std::vector<u16>{0, 10, 20, 1, 11, 21}));
    EXPECT_NE(std::string::npos, trace.find("-- TIFF : Decode 2 IFDs --\n"));

    ASSERT_EQ(0, two.saveAsCsv(dir.file("two.csv")));
    EXPECT_EQ("0,10,20,\n1,11,21,\n", nktest::readFile(dir.file("two.csv")));
}

TEST_F(ImageTiff, EntryTypesAndStripValues) {
    TiffBytes f(8);
    f.dir(8, {{256, 12, 1, 640}, {257, 5, 1, 480}, {273, 3, 8, 200}, {279, 4, 1, 1234}, {271, 2, 4, 0x00636261},
              {305, 2, 12, 300}},
          0);
    for (u16 i = 0; i < 8; ++i) f.put(200 + 2 * i, u16le(static_cast<u16>(1000 + i)));
    f.put(300, std::string("station one\0", 12));
    u16 rc = 1;
    CNK_tiff t = load(f.bytes, &rc);
    EXPECT_EQ(0, rc);
    EXPECT_EQ(640u, t.imageWidth);
    EXPECT_EQ(8, t.widthTypeSize);
    EXPECT_EQ(0, t.heightTypeSize);
    EXPECT_EQ((std::vector<u32>{1000, 1001, 1002, 1003, 1004, 1005, 1006, 1007}), t.stripOffsets);
    EXPECT_EQ(std::vector<u32>{1234}, t.stripByteCounts);
    EXPECT_EQ("abc", t.make);
    EXPECT_EQ("station one", t.software);
    EXPECT_TRUE(t.pixels.empty());  // the strips are not in the file
    EXPECT_NE(std::string::npos, trace.find("- Tiff header (8 bytes) -\n\tbyte ofset       = 0x4949\n"
                                            "\tmagic            = 42\n\tifd offset       = 8\n"));
    EXPECT_NE(std::string::npos, trace.find("- Order 2 FD --\n\ttag           = 273 [StripOffsets]\n"
                                            "\ttype          = 3 [SHORT]\n\ttype count    = 8\n"
                                            "\tvalue offset  = 200\n\tStripeOffset 0, 1000\n"));
    EXPECT_NE(std::string::npos, trace.find("\ttype          = 5 [RATIONAL]\n"));
}

TEST_F(ImageTiff, BadFilesStopWithAnError) {
    struct Case { const char* what; std::string bytes; } cases[] = {
        {"big-endian", TiffBytes(8, "MM").bytes + std::string(20, '\0')},
        {"no first directory", TiffBytes(0).bytes},
        {"first directory past the end", TiffBytes(0x7FFFFFFF).bytes},
    };
    for (const Case& c : cases) {
        u16 rc = 0;
        load(c.bytes, &rc);
        EXPECT_EQ(kNKErr_invalidData, rc) << c.what;
        EXPECT_EQ(std::string::npos, trace.find("- Order 0 IFD")) << c.what;
    }

    // A chain that loops back, one whose count runs past the end, and a directory
    // with no entries: the directories before the fault are decoded.
    TiffBytes loop(8);
    loop.dir(8, {{256, 4, 1, 7}}, 40);
    loop.dir(40, {{256, 4, 1, 9}}, 8);
    TiffBytes past(8);
    past.dir(8, {{256, 4, 1, 7}}, 40);
    past.put(40, u16le(5000));
    TiffBytes empty(8);
    empty.dir(8, {{256, 4, 1, 7}}, 40);
    empty.dir(40, {}, 0);
    for (const TiffBytes* f : {&loop, &past, &empty}) {
        u16 rc = 0;
        CNK_tiff t = load(f->bytes, &rc);
        EXPECT_EQ(kNKErr_invalidData, rc);
        EXPECT_EQ(f == &loop ? 9u : 7u, t.imageWidth);
        EXPECT_TRUE(t.pixels.empty());
    }

    // Values whose offset lies outside the file are refused, not read.
    TiffBytes outside(8);
    outside.dir(8, {{273, 4, 100, 0x7FFFFF00}, {305, 2, 4000, 30}, {279, 5, 1, 30}}, 0);
    u16 rc = 0;
    CNK_tiff t = load(outside.bytes, &rc);
    EXPECT_EQ(0, rc);
    EXPECT_TRUE(t.stripOffsets.empty());
    EXPECT_TRUE(t.software.empty());
    t_nkTiffIFD rational{279, 5, 1, 30};
    FILE* fp = std::fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, fp);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kNKErr_invalidData, t.decodeIFD(fp, &rational));
    const std::string report = testing::internal::GetCapturedStderr();
    std::fclose(fp);
    EXPECT_NE(std::string::npos, report.find("nk_image.cpp/decodeIFD() [")) << report;

    EXPECT_EQ(kNKErr_fileOpenFailed, CNK_tiff(dir.file("x")).load(dir.file("absent.tif")));
}

TEST_F(ImageTiff, RepeatedBytesCannotMultiplyWhatIsReadAndKept) {
    // Twenty directories six bytes apart, each claiming ten entries: they overlap,
    // so together they describe far more than the file holds.
    TiffBytes overlap(8);
    const int n = 20, count = 10;
    for (int i = 0; i < n; ++i) {
        const u32 at = 8 + 6 * i;
        overlap.put(at, u16le(count));
        overlap.put(at + 2 + 12 * count, u32le(i + 1 < n ? at + 6 : 0));
    }
    u16 rc = 0;
    load(overlap.bytes, &rc);
    EXPECT_EQ(kNKErr_invalidData, rc);
    EXPECT_EQ(std::string::npos, trace.find("- Order 19 IFD")) << "all overlapping directories were decoded";

    // Forty strip entries that all name the same 64-byte array.
    TiffBytes shared(8);
    std::vector<t_nkTiffIFD> entries(40, t_nkTiffIFD{273, 4, 16, 600});
    shared.dir(8, entries, 0);
    shared.put(600, std::string(64, '\x01'));
    CNK_tiff t = load(shared.bytes, &rc);
    EXPECT_EQ(kNKErr_invalidData, rc);
    EXPECT_LE(t.stripOffsets.size() * 4, shared.bytes.size());
}

TEST_F(ImageTiff, ImageSizeThatWrapsIn64BitsReadsNoSamples) {
    // 12648641 x 22253377 pixels of 256 samples of 256 bytes: 2^64 + 65536 bytes,
    // which wraps to exactly the one 64 KiB strip the file holds.
    TiffBytes f(8);
    f.dir(8, {{256, 4, 1, 12648641}, {257, 4, 1, 22253377}, {258, 3, 1, 2048}, {259, 3, 1, 1}, {277, 3, 1, 256},
              {273, 4, 1, 200}, {279, 4, 1, 65536}},
          0);
    f.put(200, std::string(65536, '\x07'));
    u16 rc = 1;
    CNK_tiff t = load(f.bytes, &rc);
    EXPECT_EQ(0, rc);
    EXPECT_EQ(std::vector<u32>{65536}, t.stripByteCounts);
    EXPECT_TRUE(t.pixels.empty());
}

TEST_F(ImageTiff, SaveAsCsvWritesOnlyTheSamplesItHas) {
    CNK_tiff t(dir.file("none"));
    t.imageWidth = 3;
    t.imageHeight = 2;
    t.bitsPerSample = 16;
    const u16 v[] = {1, 2, 3, 4, 5, 6};
    t.pixels.assign(reinterpret_cast<const u8*>(v), reinterpret_cast<const u8*>(v) + sizeof(v));
    ASSERT_EQ(0, t.saveAsCsv(dir.file("a.csv")));
    EXPECT_EQ("1,2,3,\n4,5,6,\n", nktest::readFile(dir.file("a.csv")));
    t.bitsPerSample = 32;  // three 32-bit samples: the second row has none left
    ASSERT_EQ(0, t.saveAsCsv(dir.file("b.csv")));
    EXPECT_EQ("131073,262147,393221,\n", nktest::readFile(dir.file("b.csv")));
    t.imageHeight = 4000000000u;  // a hostile height writes no more than the samples
    t.bitsPerSample = 16;
    ASSERT_EQ(0, t.saveAsCsv(dir.file("c.csv")));
    EXPECT_EQ("1,2,3,\n4,5,6,\n", nktest::readFile(dir.file("c.csv")));
}

}  // namespace
