// PNG encoding of rendered pages, through Leptonica (already linked for Tesseract).
#pragma once

#include <vector>

#include "pdf_document.hpp"

namespace quorvan::core {

// The image as PNG bytes (greyscale or RGB, its dpi recorded). Throws
// std::runtime_error when the encoder fails.
std::vector<unsigned char> encode_png(const PageImage& image);

}  // namespace quorvan::core
