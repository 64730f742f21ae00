// JPEG 2000 encoding on OpenJPEG, into memory so the caller can write the file
// atomically.
#include "draw/pf_jpeg2000.h"

#include <openjpeg.h>

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <cstring>
#include <memory>

namespace pf::draw {

namespace {

// A growable in-memory stream; the JP2 writer seeks back to fill box lengths.
struct MemoryStream {
    std::vector<uint8_t>* bytes;
    size_t pos = 0;
};

OPJ_SIZE_T streamWrite(void* buffer, OPJ_SIZE_T count, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (s->pos + count > s->bytes->size()) s->bytes->resize(s->pos + count);
    std::memcpy(s->bytes->data() + s->pos, buffer, count);
    s->pos += count;
    return count;
}

OPJ_OFF_T streamSkip(OPJ_OFF_T count, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (count < 0 && static_cast<size_t>(-count) > s->pos) return -1;
    s->pos = static_cast<size_t>(static_cast<OPJ_OFF_T>(s->pos) + count);
    if (s->pos > s->bytes->size()) s->bytes->resize(s->pos);
    return count;
}

OPJ_BOOL streamSeek(OPJ_OFF_T position, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (position < 0) return OPJ_FALSE;
    s->pos = static_cast<size_t>(position);
    if (s->pos > s->bytes->size()) s->bytes->resize(s->pos);
    return OPJ_TRUE;
}

void quiet(const char*, void*) {}

struct ImageDeleter {
    void operator()(opj_image_t* p) const { opj_image_destroy(p); }
};
struct CodecDeleter {
    void operator()(opj_codec_t* p) const { opj_destroy_codec(p); }
};
struct StreamDeleter {
    void operator()(opj_stream_t* p) const { opj_stream_destroy(p); }
};

}  // namespace

bool encodeJpeg2000(const QImage& image, bool jp2, std::vector<uint8_t>& out) {
    out.clear();
    if (image.isNull()) return false;
    const int w = image.width(), h = image.height();

    // Alpha is flattened onto white. The charts are opaque from their first fill:
    // then the pixels are read as they stand, without a flattened copy.
    bool opaque = image.format() == QImage::Format_ARGB32 || image.format() == QImage::Format_RGB32;
    for (int y = 0; opaque && image.format() == QImage::Format_ARGB32 && y < h; ++y) {
        // The row's pixels ANDed together: a branch-free loop the compiler vectorises.
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        QRgb all = ~QRgb(0);
        for (int x = 0; x < w; ++x) all &= row[x];
        opaque = qAlpha(all) == 255;
    }
    QImage rgb;
    if (!opaque) {
        rgb = QImage(image.size(), QImage::Format_RGB32);
        rgb.fill(Qt::white);
        QPainter flat(&rgb);
        flat.drawImage(0, 0, image);
    }
    const QImage& pixels = opaque ? image : rgb;

    opj_image_cmptparm_t comps[3];
    std::memset(comps, 0, sizeof(comps));
    for (auto& c : comps) {
        c.dx = c.dy = 1;
        c.w = static_cast<OPJ_UINT32>(w);
        c.h = static_cast<OPJ_UINT32>(h);
        c.prec = 8;
        c.sgnd = 0;
    }
    // The planes are allocated here rather than by opj_image_create, which
    // zero-fills them: every sample is written below. The encoder takes them over.
    std::unique_ptr<opj_image_t, ImageDeleter> img(opj_image_tile_create(3, comps, OPJ_CLRSPC_SRGB));
    if (!img) return false;
    const size_t samples = static_cast<size_t>(w) * static_cast<size_t>(h);
    for (OPJ_UINT32 c = 0; c < 3; ++c) {
        img->comps[c].data = static_cast<OPJ_INT32*>(opj_image_data_alloc(samples * sizeof(OPJ_INT32)));
        if (!img->comps[c].data) return false;
    }
    img->x0 = img->y0 = 0;
    img->x1 = static_cast<OPJ_UINT32>(w);
    img->y1 = static_cast<OPJ_UINT32>(h);
    OPJ_INT32 *red = img->comps[0].data, *green = img->comps[1].data, *blue = img->comps[2].data;
    for (int y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
        const size_t at = static_cast<size_t>(y) * static_cast<size_t>(w);
        for (int x = 0; x < w; ++x) {
            red[at + x] = qRed(row[x]);
            green[at + x] = qGreen(row[x]);
            blue[at + x] = qBlue(row[x]);
        }
    }

    opj_cparameters_t params;
    opj_set_default_encoder_parameters(&params);
    params.tcp_numlayers = 1;
    params.tcp_rates[0] = 0;  // no rate target: lossless
    params.cp_disto_alloc = 1;
    params.irreversible = 0;
    params.tcp_mct = 1;
    // Each resolution level halves the image; a small picture has fewer of them.
    int levels = 1;
    while (levels < 6 && (std::min(w, h) >> levels) > 0) ++levels;
    params.numresolution = levels;

    std::unique_ptr<opj_codec_t, CodecDeleter> codec(opj_create_compress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    if (!codec) return false;
    opj_set_info_handler(codec.get(), quiet, nullptr);
    opj_set_warning_handler(codec.get(), quiet, nullptr);
    opj_set_error_handler(codec.get(), quiet, nullptr);
    if (!opj_setup_encoder(codec.get(), &params, img.get())) return false;

    MemoryStream sink{&out};
    std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_FALSE));
    if (!stream) return false;
    opj_stream_set_user_data(stream.get(), &sink, nullptr);
    opj_stream_set_write_function(stream.get(), streamWrite);
    opj_stream_set_skip_function(stream.get(), streamSkip);
    opj_stream_set_seek_function(stream.get(), streamSeek);

    const bool ok = opj_start_compress(codec.get(), img.get(), stream.get()) && opj_encode(codec.get(), stream.get()) &&
                    opj_end_compress(codec.get(), stream.get());
    stream.reset();  // flushes what the stream still buffers
    if (!ok || out.empty()) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace pf::draw
