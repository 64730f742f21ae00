// The station's 8-bit grey image and the uniformity pipeline: box-mean
// rescaling, the stadium mask, the cone-weighted low-pass window, the
// high-frequency image, the 19 uniformity figures and the aperture finders.
//
// The pixel value 255 marks a masked pixel (outside the aperture) and is left
// out of every average; kept pixels are capped at 254 so they never read as
// masked. Every function is stateless and runs on the caller's thread.
//
// Each image filter takes a debug switch: when set, it writes its result as an
// 8-bit BMP under `tmpDir` (the station settings' temp folder). The station
// passes the switch off.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "nk_image.h"
#include "nk_typedef.h"

class CNK_velora_image {
public:
    u64 w = 0;
    u64 h = 0;
    std::vector<u8> d;  // row-major, row 0 first, w*h bytes

    CNK_velora_image() = default;
    // An 8-bit BMP file: row padding dropped, rows kept in file order, the
    // height taken without its sign. Anything unreadable gives an empty image.
    explicit CNK_velora_image(const std::string& path);
    // A copy of w*h bytes; null bytes or a size that overflows give an empty image.
    CNK_velora_image(const u8* bytes, u64 w, u64 h);

    // Non-empty and holding exactly w*h pixels, so no filter can index past d.
    bool isValid() const;
    // Every pixel below 255, row-major; empty (reported, 7) for an invalid image.
    std::vector<u8> get_valid_data() const;
    // The pixels as a tab-separated table on standard output; masked pixels print blank.
    void printImage(const std::string& title, bool reverse) const;
    // 0, 7 for an invalid image, or the BMP writer's code.
    u16 save(const std::string& path) const;
    // Larger side over the smaller one; NaN for an invalid image.
    float aspect_ratio() const;
};

// Box-mean rescale to newW x newH (truncated to whole pixels, at least 1).
CNK_velora_image nkVlra_scale(CNK_velora_image& src, float newW, float newH, bool save,
                              const std::string& tmpDir = std::string());

// Stadium mask: half-discs of radius r at (r, h/2) and (w - r, h/2) joined by
// the band of columns between them. Cap pixels outside become 255, kept cap
// pixels are capped at 254, band columns are copied unchanged.
CNK_velora_image nkVlra_clear_edge(CNK_velora_image& src, u64 r, bool save,
                                   const std::string& tmpDir = std::string());
// The same mask in place on doubles; the no-value sentinel marks masked elements.
void nkVlra_clear_edge(t_nkData_2d<double>& img, u64 r);

// Cone-weighted low-pass window: each unmasked pixel becomes the weighted mean
// of the unmasked pixels from wnd/2 above/left to wnd/2 + 1 below/right, with
// weight 1 - (distance / dmax) * k. Masked pixels stay 255.
CNK_velora_image nkVlra_wnd_fltr_2d(CNK_velora_image& src, u64 wnd, float k, bool save,
                                    const std::string& tmpDir = std::string());
// The same into a new container; this form writes no file.
t_nkData_2d<u8> nkVlra_wnd_fltr_2d(const t_nkData_2d<u8>& src, u64 wnd, float k, bool save);

// 2 * (aperture - lowFreq) + 200, clamped to 0..254; masked pixels stay 255.
// A low-pass image of another size is refused (5, empty image).
CNK_velora_image nkVlra_high_freq(CNK_velora_image& aperture, CNK_velora_image& lowFreq, bool save,
                                  const std::string& tmpDir = std::string());

// ---------------------------------------------------------------------------
// Uniformity figures.

constexpr int kNKVlra_unifCount = 19;
typedef std::array<double, kNKVlra_unifCount> t_nkVlraUnifData;
// The figures' names in record order (also the item's data-symbol order).
extern const char* const kNKVlra_unifNames[kNKVlra_unifCount];

// Interior (stadium shrunk by margin m) and exterior (the ring of width m
// inside its edge) of an aperture image; other pixels become 255.
CNK_velora_image nkVlra_get_internal(CNK_velora_image& src, u64 r, u64 m, bool save,
                                     const std::string& tmpDir = std::string());
CNK_velora_image nkVlra_get_external(CNK_velora_image& src, u64 r, u64 m, bool save,
                                     const std::string& tmpDir = std::string());

// The 19 figures of the aperture image, its low-pass and its high-frequency
// image, in kNKVlra_unifNames order; all 0 when an image is invalid. With print
// set they are also written to standard output.
t_nkVlraUnifData nkVlra_get_unif_data(CNK_velora_image& aperture, CNK_velora_image& lowFreq,
                                      CNK_velora_image& highFreq, bool print);

// ---------------------------------------------------------------------------
// Aperture finders. Each straightens the image along a line fitted to the lit
// area's top edge, then cuts it to the rows and columns of the lit aperture.
// Companion images (same size as the source) get the same cuts; they are
// changed only when the whole search succeeds. Failures give an empty image.

CNK_velora_image nkVlra_detectAperture(CNK_velora_image& src, std::vector<CNK_velora_image>* companions,
                                       bool save, const std::string& tmpDir = std::string());
// The same with row ranges for the row search, then a centred square cut when
// the result is less than twice as wide as high.
CNK_velora_image nkVlra_detectRoundAperture(CNK_velora_image& src, std::vector<CNK_velora_image>* companions,
                                            bool save, const std::string& tmpDir = std::string());
// In place on doubles (elements below 255 are lit); writes no file. An invalid
// container is left as it is; a failed search leaves it empty.
t_nkData_2d<double>& nkVlra_detectAperture(t_nkData_2d<double>& dat, bool save);
