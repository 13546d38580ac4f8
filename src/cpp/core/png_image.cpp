#include "png_image.hpp"

#include <leptonica/allheaders.h>

#include <cmath>
#include <memory>
#include <stdexcept>

namespace quorvan::core {

namespace {

struct PixFree {
    void operator()(PIX* p) const { pixDestroy(&p); }
};

}  // namespace

std::vector<unsigned char> encode_png(const PageImage& image) {
    if (image.width <= 0 || image.height <= 0 || (image.channels != 1 && image.channels != 3) ||
        image.pixels.size() != static_cast<std::size_t>(image.width) * image.height * image.channels) {
        throw std::invalid_argument("encode_png: malformed image");
    }
    std::unique_ptr<PIX, PixFree> pix(pixCreateNoInit(image.width, image.height, image.channels == 1 ? 8 : 32));
    if (!pix) throw std::runtime_error("encode_png: out of memory");
    const int dpi = static_cast<int>(std::lround(image.dpi));
    pixSetResolution(pix.get(), dpi, dpi);

    l_uint32* data = pixGetData(pix.get());
    const int wpl = pixGetWpl(pix.get());
    const unsigned char* src = image.pixels.data();
    for (int y = 0; y < image.height; ++y) {
        l_uint32* line = data + static_cast<std::size_t>(wpl) * y;
        if (image.channels == 1) {
            for (int x = 0; x < image.width; ++x) SET_DATA_BYTE(line, x, *src++);
        } else {
            for (int x = 0; x < image.width; ++x, src += 3) {
                line[x] = (l_uint32(src[0]) << L_RED_SHIFT) | (l_uint32(src[1]) << L_GREEN_SHIFT) |
                          (l_uint32(src[2]) << L_BLUE_SHIFT);
            }
        }
    }

    l_uint8* bytes = nullptr;
    size_t size = 0;
    if (pixWriteMem(&bytes, &size, pix.get(), IFF_PNG) != 0 || !bytes) {
        throw std::runtime_error("encode_png: the PNG encoder failed");
    }
    std::vector<unsigned char> out(bytes, bytes + size);
    lept_free(bytes);
    return out;
}

}  // namespace quorvan::core
