// Fitting the dialogs' pictures to their controls: the pictures are drawn large, with an alpha channel, and are
// shrunk here to the size the display's scaling gives each control, laid on the dialog's face colour. Pure code,
// callable from any thread.
#pragma once

#include <cstdint>
#include <vector>

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgra;  // rows top-down, 4 bytes a pixel: blue, green, red, alpha (straight)
};

// The picture scaled (area-averaged, proportions kept) to fit a box, centred in it, over an opaque background of
// the given colour. The result is box-sized and opaque. An empty picture or box gives the box filled with the
// background (or an empty picture for an empty box).
Picture FitPicture(const Picture& source, int boxWidth, int boxHeight, uint8_t red, uint8_t green, uint8_t blue);
