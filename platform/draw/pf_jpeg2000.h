// JPEG 2000 encoding of a bitmap with OpenJPEG, which Qt does not write.
#pragma once

#include <cstdint>
#include <vector>

class QImage;

namespace pf::draw {

// Lossless (reversible 5/3 wavelet) RGB encoding of the image, alpha flattened
// onto white; a JP2 file when `jp2` is set, else a bare codestream. False, and
// `out` empty, when the image is empty or the encoder fails.
bool encodeJpeg2000(const QImage& image, bool jp2, std::vector<uint8_t>& out);

}  // namespace pf::draw
