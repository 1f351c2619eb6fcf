#include "ui/picture.h"

#include <algorithm>
#include <cmath>

namespace {

// Per output index: the source indices it covers and how much of each (weights add up to 1).
struct Tap {
    int index;
    float weight;
};

std::vector<std::vector<Tap>> AreaTaps(int sourceSize, int targetSize) {
    std::vector<std::vector<Tap>> taps(targetSize);
    const double scale = (double)sourceSize / targetSize;
    for (int out = 0; out < targetSize; ++out) {
        double begin = out * scale, end = (out + 1) * scale;
        if (scale < 1) {  // enlarging: a linear blend of the two nearest source pixels
            const double centre = (out + 0.5) * scale - 0.5;
            const int left = std::clamp((int)std::floor(centre), 0, sourceSize - 1);
            const int right = std::min(left + 1, sourceSize - 1);
            const float t = (float)std::clamp(centre - left, 0.0, 1.0);
            taps[out] = {{left, 1 - t}, {right, t}};
            continue;
        }
        for (int in = (int)std::floor(begin); in < (int)std::ceil(end) && in < sourceSize; ++in) {
            const double cover = std::min(end, in + 1.0) - std::max(begin, (double)in);
            if (cover > 0) taps[out].push_back({in, (float)(cover / scale)});
        }
    }
    return taps;
}

}  // namespace

Picture FitPicture(const Picture& source, int boxWidth, int boxHeight, uint8_t red, uint8_t green, uint8_t blue) {
    Picture fitted;
    if (boxWidth <= 0 || boxHeight <= 0) return fitted;
    fitted.width = boxWidth;
    fitted.height = boxHeight;
    fitted.bgra.resize((size_t)boxWidth * boxHeight * 4);
    for (size_t i = 0; i < fitted.bgra.size(); i += 4) {
        fitted.bgra[i] = blue;
        fitted.bgra[i + 1] = green;
        fitted.bgra[i + 2] = red;
        fitted.bgra[i + 3] = 255;
    }
    if (source.width <= 0 || source.height <= 0 || source.bgra.size() < (size_t)source.width * source.height * 4)
        return fitted;

    const double fit = std::min((double)boxWidth / source.width, (double)boxHeight / source.height);
    const int width = std::max(1, (int)std::lround(source.width * fit));
    const int height = std::max(1, (int)std::lround(source.height * fit));
    const int left = (boxWidth - width) / 2, top = (boxHeight - height) / 2;

    // Premultiplied, so that transparent pixels do not bleed their colour into the edges.
    std::vector<float> premultiplied((size_t)source.width * source.height * 4);
    for (size_t i = 0; i < premultiplied.size(); i += 4) {
        const float alpha = source.bgra[i + 3] / 255.0f;
        for (int c = 0; c < 3; ++c) premultiplied[i + c] = source.bgra[i + c] * alpha;
        premultiplied[i + 3] = alpha;
    }
    const auto columns = AreaTaps(source.width, width);
    const auto rows = AreaTaps(source.height, height);
    std::vector<float> across((size_t)width * source.height * 4, 0.0f);
    for (int y = 0; y < source.height; ++y)
        for (int x = 0; x < width; ++x)
            for (const Tap& tap : columns[x])
                for (int c = 0; c < 4; ++c)
                    across[((size_t)y * width + x) * 4 + c] +=
                        tap.weight * premultiplied[((size_t)y * source.width + tap.index) * 4 + c];
    const float background[3] = {(float)blue, (float)green, (float)red};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float pixel[4] = {};
            for (const Tap& tap : rows[y])
                for (int c = 0; c < 4; ++c) pixel[c] += tap.weight * across[((size_t)tap.index * width + x) * 4 + c];
            uint8_t* out = &fitted.bgra[((size_t)(top + y) * boxWidth + left + x) * 4];
            const float alpha = std::clamp(pixel[3], 0.0f, 1.0f);
            for (int c = 0; c < 3; ++c)
                out[c] = (uint8_t)std::lround(std::clamp(pixel[c] + background[c] * (1 - alpha), 0.0f, 255.0f));
        }
    return fitted;
}
