// Caption layout: where a caption's box, text and shadow go for a text of a measured size whose
// box rises from a point (x, y), y growing downwards.
#pragma once

#include <cstdint>

namespace kestrix {
namespace captions {

// Smallest padding around a caption's text, in pixels.
constexpr std::int64_t min_padding = 2;

template <typename T>
struct CaptionLayout {
  std::int64_t padding;      // max(2, floor(text_height / 4)); also the left padding
  std::int64_t padding_top;  // padding * 2 with large padding, else floor(padding / 2)
  T box_x0, box_y0;          // top-left corner of the caption box
  T box_x1, box_y1;          // bottom-right corner: (x + text_width + 2 * padding, y)
  T text_x, text_y;          // origin of the text: padding right of the box, padding_top above it
  T shadow_x, shadow_y;      // origin of the shadow: one pixel right of and below the text
};

// Lays out a caption of text_width x text_height whose box has its bottom-left corner at (x, y):
// integer coordinates give integer results; with floating coordinates the sums and differences
// are made in the same order as the same arithmetic in Python. Every coordinate of the result
// lies in the 64-bit integer range: a position whose caption would reach beyond it throws
// std::overflow_error, a floating position that is not a number std::domain_error.
CaptionLayout<std::int64_t> layout_caption(std::int64_t text_width, std::int64_t text_height,
                                           std::int64_t x, std::int64_t y, bool large_padding);
CaptionLayout<double> layout_caption(double text_width, double text_height, double x, double y,
                                     bool large_padding);

}  // namespace captions
}  // namespace kestrix
