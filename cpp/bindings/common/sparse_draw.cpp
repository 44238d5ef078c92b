#include "sparse_draw.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>

#include "kestrix/caption_layout.hpp"
#include "kestrix/composite.hpp"

namespace kx {

namespace {

constexpr std::size_t kCaptionCacheSize = 4096;
constexpr std::size_t kRendersPerCaption = 8;
constexpr std::size_t kCaptionCacheBytes = 32u << 20;  // pixels kept by the caption cache at most
constexpr std::size_t kPolygonCacheSize = 64;

// Objects kept for the life of the process (never destroyed: the interpreter may be gone).
struct Refs {
  py::object image, image_draw, image_color, free_type_font, captions_cls, draw_texts;
  py::object scratch_draw;  // Image.core.draw over a 1 x 1 RGBA image, for draw_ink
};

Refs& refs() {
  static Refs* r = [] {
    auto* r = new Refs;
    r->image = py::module_::import("PIL.Image");
    r->image_draw = py::module_::import("PIL.ImageDraw");
    r->image_color = py::module_::import("PIL.ImageColor");
    r->free_type_font = py::module_::import("PIL.ImageFont").attr("FreeTypeFont");
    r->captions_cls = py::module_::import("kestrix_sdk.visualize.captions").attr("CaptionsDraw");
    r->draw_texts = r->captions_cls.attr("draw_texts");
    py::object scratch = r->image.attr("new")("RGBA", py::make_tuple(1, 1));
    r->scratch_draw = r->image.attr("core").attr("draw")(scratch.attr("im"), 0);
    return r;
  }();
  return *r;
}

py::tuple rgba_tuple(kestrix::Ink ink) {
  std::uint8_t b[4];
  std::memcpy(b, &ink, 4);
  return py::make_tuple(b[0], b[1], b[2], b[3]);
}

bool is_int(py::handle v) { return PyLong_CheckExact(v.ptr()); }

}  // namespace

void prepare_sparse_drawing() { refs(); }

kestrix::Ink ink_of(py::handle colour) {
  Refs& r = refs();
  py::object value = py::reinterpret_borrow<py::object>(colour);
  if (value.is_none()) value = py::int_(-1);
  else if (PyUnicode_Check(value.ptr())) value = r.image_color.attr("getcolor")(value, "RGBA");
  const long long ink = r.scratch_draw.attr("draw_ink")(value).cast<long long>();
  const auto bits = static_cast<std::uint32_t>(ink);
  kestrix::Ink out;
  std::memcpy(&out, &bits, 4);
  return out;
}

bool method_plain(py::handle self, py::handle cls, const char* method, py::handle original) {
  if (Py_TYPE(self.ptr()) != reinterpret_cast<PyTypeObject*>(cls.ptr())) return false;
  if (!py::getattr(cls, method).is(original)) return false;
  PyObject** dict = _PyObject_GetDictPtr(self.ptr());
  if (dict != nullptr && *dict != nullptr && PyDict_GetItemString(*dict, method) != nullptr) return false;
  return true;
}

bool caption_drawer_plain(py::handle drawer) {
  Refs& r = refs();
  if (!method_plain(drawer, r.captions_cls, "draw_texts", r.draw_texts)) return false;
  py::object font = drawer.attr("font");
  if (Py_TYPE(font.ptr()) != reinterpret_cast<PyTypeObject*>(r.free_type_font.ptr())) return false;
  py::object version = py::module_::import("kestrix_sdk.visualize.captions").attr("_pil_version");
  return !(version < py::str("10.0.0"));
}

// ---------------------------------------------------------------------------------------------
// Captions

struct CaptionShape {
  py::object font;  // keeps the font alive while its key (its address) is in use
  int left = 0, top = 0, width = 0, height = 0;  // covered block, relative to the caption's pos
  std::vector<std::uint8_t> coverage;
  bool needs_background = true;  // some covered pixel's result depends on what lay under it
  std::size_t bytes = 0;          // coverage and rendered pixels held
  bool cached = true;             // still counted by the caption cache
  std::deque<std::pair<std::array<kestrix::Ink, 5>, std::vector<std::uint8_t>>> renders;
};

namespace {

struct CaptionCache {
  std::unordered_map<std::string, std::shared_ptr<CaptionShape>> map;
  std::deque<std::string> order;
  std::size_t bytes = 0;  // coverage and rendered pixels of the captions in the map

  // Drops the oldest captions while more than `entries` are held or the pixels exceed the bound.
  void trim(std::size_t entries) {
    while (!order.empty() && (order.size() > entries || bytes > kCaptionCacheBytes)) {
      auto found = map.find(order.front());
      if (found != map.end()) {
        bytes -= found->second->bytes;
        found->second->cached = false;
        map.erase(found);
      }
      order.pop_front();
    }
  }
};

CaptionCache& caption_cache() {
  static auto* c = new CaptionCache;
  return *c;
}

// Bounding box of the non-zero pixels of an "L" image, or None.
py::object ink_bounds(const py::object& image) { return image.attr("getbbox")(); }

// Draws the caption through the drawer's own draw_texts onto `canvas` with pos at (px, py).
void draw_caption_on(const py::object& canvas, py::handle drawer, py::handle text, py::handle txt_color,
                     long long px, long long py_, bool large_padding, bool fill_rectangle,
                     py::handle fill_color, bool show_shadow, py::handle shadow_color) {
  py::object draw = refs().image_draw.attr("Draw")(canvas, canvas.attr("mode"));
  drawer.attr("draw_texts")(py::arg("draw") = draw, py::arg("text") = text, py::arg("txt_color") = txt_color,
                            py::arg("pos") = py::make_tuple(px, py_), py::arg("large_padding") = large_padding,
                            py::arg("fill_rectangle") = fill_rectangle,
                            py::arg("fill_rectangle_color") = fill_color, py::arg("show_shadow") = show_shadow,
                            py::arg("shadow_color") = shadow_color);
}

std::shared_ptr<CaptionShape> make_caption_shape(py::handle drawer, const py::object& font, py::handle text,
                                                 bool large_padding, bool fill_rectangle, bool fill_none,
                                                 bool show_shadow) {
  Refs& r = refs();
  py::object scratch = r.image_draw.attr("Draw")(r.image.attr("new")("RGBA", py::make_tuple(1, 1)), "RGBA");
  py::tuple bbox = scratch.attr("textbbox")(py::make_tuple(0, 0), text, py::arg("font") = font);
  for (int i = 0; i < 4; ++i) {
    if (!is_int(bbox[i])) return nullptr;
  }
  const long long l = bbox[0].cast<long long>(), t = bbox[1].cast<long long>();
  const long long rr = bbox[2].cast<long long>(), b = bbox[3].cast<long long>();
  const auto lay = kestrix::captions::layout_caption(static_cast<std::int64_t>(rr - l), static_cast<std::int64_t>(b - t),
                                                     std::int64_t{0}, std::int64_t{0}, large_padding);
  const long long margin = std::max<long long>(8, b - t) + 2;
  const long long x0 = std::min<long long>(lay.box_x0, lay.text_x + l) - margin;
  const long long y0 = std::min<long long>(lay.box_y0, lay.text_y + t) - margin;
  const long long x1 = std::max<long long>(lay.box_x1 + 1, lay.text_x + rr + 2) + margin;
  const long long y1 = std::max<long long>(lay.box_y1 + 1, lay.text_y + b + 2) + margin;
  if (x1 - x0 > 8192 || y1 - y0 > 8192) return nullptr;
  py::object fill_ink = fill_none ? py::object(py::none()) : py::object(py::int_(255));
  py::int_ full(255);

  auto covered = [&](bool with_rectangle) {
    py::object canvas = r.image.attr("new")("L", py::make_tuple(x1 - x0, y1 - y0), 0);
    draw_caption_on(canvas, drawer, text, full, -x0, -y0, large_padding, with_rectangle, fill_ink, show_shadow,
                    full);
    return canvas;
  };
  py::object canvas = covered(fill_rectangle);
  py::object box = ink_bounds(canvas);
  auto shape = std::make_shared<CaptionShape>();
  shape->font = font;
  if (box.is_none()) {
    shape->needs_background = false;
    return shape;  // draws nothing
  }
  py::tuple bb = box;
  const int bx0 = bb[0].cast<int>(), by0 = bb[1].cast<int>(), bx1 = bb[2].cast<int>(), by1 = bb[3].cast<int>();
  if (bx0 == 0 || by0 == 0 || bx1 == x1 - x0 || by1 == y1 - y0) return nullptr;  // may reach further
  shape->left = static_cast<int>(x0 + bx0);
  shape->top = static_cast<int>(y0 + by0);
  shape->width = bx1 - bx0;
  shape->height = by1 - by0;
  py::bytes raw = canvas.attr("crop")(box).attr("tobytes")();
  const std::string bytes = raw;
  shape->coverage.resize(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) shape->coverage[i] = bytes[i] != 0;
  // With a filled box under the whole text, every covered pixel is written whatever lay there.
  shape->needs_background = true;
  if (fill_rectangle && !fill_none) {
    py::object text_box = ink_bounds(covered(false));
    if (text_box.is_none()) {
      shape->needs_background = false;
    } else {
      py::tuple tb = text_box;
      shape->needs_background = !(x0 + tb[0].cast<long long>() >= lay.box_x0 &&
                                  y0 + tb[1].cast<long long>() >= lay.box_y0 &&
                                  x0 + tb[2].cast<long long>() <= lay.box_x1 + 1 &&
                                  y0 + tb[3].cast<long long>() <= lay.box_y1 + 1);
    }
  }
  return shape;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Polygons

struct PolygonShape {
  std::vector<kestrix::Run> fill, outline;
  kestrix::Rect fill_bounds, outline_bounds;
};

namespace {

struct PolygonCache {
  std::unordered_map<std::string, std::shared_ptr<PolygonShape>> map;
  std::deque<std::string> order;
};

PolygonCache& polygon_cache() {
  static auto* c = new PolygonCache;
  return *c;
}

std::vector<kestrix::Run> rasterise(const py::list& xy, int width, int height, bool fill) {
  Refs& r = refs();
  py::object canvas = r.image.attr("new")("L", py::make_tuple(width, height), 0);
  py::object draw = r.image.attr("core").attr("draw")(canvas.attr("im"), 0);
  py::object ink = draw.attr("draw_ink")(255);
  if (fill) {
    draw.attr("draw_polygon")(xy, ink, 1);
  } else {
    draw.attr("draw_polygon")(xy, ink, 0, 1);
  }
  py::bytes raw = canvas.attr("tobytes")();
  const std::string bytes = raw;
  return kestrix::runs_of_mask(reinterpret_cast<const std::uint8_t*>(bytes.data()), width, height, width, 0, 0);
}

std::shared_ptr<PolygonShape> polygon_shape(const std::vector<long long>& xy, int width, int height) {
  std::string key(reinterpret_cast<const char*>(xy.data()), xy.size() * sizeof(long long));
  key.append(reinterpret_cast<const char*>(&width), sizeof width);
  key.append(reinterpret_cast<const char*>(&height), sizeof height);
  PolygonCache& cache = polygon_cache();
  auto found = cache.map.find(key);
  if (found != cache.map.end()) return found->second;
  py::list list;
  for (long long v : xy) list.append(v);
  auto shape = std::make_shared<PolygonShape>();
  shape->fill = rasterise(list, width, height, true);
  shape->outline = rasterise(list, width, height, false);
  shape->fill_bounds = kestrix::bounds_of_runs(shape->fill);
  shape->outline_bounds = kestrix::bounds_of_runs(shape->outline);
  if (cache.order.size() >= kPolygonCacheSize) {
    cache.map.erase(cache.order.front());
    cache.order.pop_front();
  }
  cache.map.emplace(key, shape);
  cache.order.push_back(key);
  return shape;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The drawing of one call

struct SparseDrawing::Op {
  enum Kind { Band, Runs, Caption, Polygon } kind = Band;
  kestrix::Rect rect;  // what it may change, inside the frame
  // Band: a filled rectangle (one side of a box outline); Runs: runs of one colour
  kestrix::Ink ink = 0;
  std::shared_ptr<std::vector<kestrix::Run>> runs;
  // Caption
  std::shared_ptr<CaptionShape> caption;
  long long x = 0, y = 0;
  std::array<kestrix::Ink, 5> key{};  // fill flag/ink, shadow ink, text ink, background (last)
  py::object drawer, text, txt_color, fill_color, shadow_color;
  bool large_padding = false, fill_rectangle = false, show_shadow = false;
  // Polygon
  std::shared_ptr<PolygonShape> shape;
  bool has_fill = false, has_outline = false;
  kestrix::Ink fill_ink = 0, outline_ink = 0;
};

SparseDrawing::SparseDrawing(int width, int height) : width_(width), height_(height) {}
SparseDrawing::~SparseDrawing() = default;

bool SparseDrawing::outline(int x0, int y0, int x1, int y1, int width, kestrix::Ink ink) {
  if (width <= 0) return x0 <= x1 && y0 <= y1;
  if (x1 < x0 || y1 < y0 || width > 4096) return false;
  if (!kestrix::outline_is_plain(x0, y0, x1, y1, width)) {
    // Frames that meet: Pillow draws the outline onto a small canvas around the box (its
    // rectangle is drawn with whole-pixel arithmetic, so a shifted canvas gives the same
    // pixels), kept as runs of the box's colour.
    const int margin = width + 2;
    const long long cw = static_cast<long long>(x1) - x0 + 1 + 2LL * margin;
    const long long ch = static_cast<long long>(y1) - y0 + 1 + 2LL * margin;
    if (cw > 16384 || ch > 16384) return false;
    py::object canvas = refs().image.attr("new")("L", py::make_tuple(cw, ch), 0);
    py::object draw = refs().image.attr("core").attr("draw")(canvas.attr("im"), 0);
    py::list xy;
    xy.append(py::make_tuple(margin, margin));
    xy.append(py::make_tuple(x1 - x0 + margin, y1 - y0 + margin));
    draw.attr("draw_rectangle")(xy, draw.attr("draw_ink")(255), 0, width);
    py::object box = canvas.attr("getbbox")();
    if (box.is_none()) return true;
    py::tuple bb = box;
    if (bb[0].cast<int>() == 0 || bb[1].cast<int>() == 0 || bb[2].cast<long long>() == cw ||
        bb[3].cast<long long>() == ch) {
      return false;
    }
    const std::string bytes = py::bytes(canvas.attr("tobytes")());
    Op op;
    op.kind = Op::Runs;
    op.runs = std::make_shared<std::vector<kestrix::Run>>(
        kestrix::runs_of_mask(reinterpret_cast<const std::uint8_t*>(bytes.data()), static_cast<int>(cw),
                              static_cast<int>(ch), cw, x0 - margin, y0 - margin));
    op.rect = kestrix::intersect(kestrix::bounds_of_runs(*op.runs), kestrix::Rect{0, 0, width_, height_});
    op.ink = ink;
    if (!op.rect.empty()) ops_.push_back(std::move(op));
    return true;
  }
  // The outline is its four sides, each recorded on its own so that a crop holds only the
  // pixels near the box's edges, not its inside.
  const kestrix::Rect frame{0, 0, width_, height_};
  for (const kestrix::Rect& side : kestrix::outline_sides(x0, y0, x1, y1, width)) {
    Op op;
    op.kind = Op::Band;
    op.rect = kestrix::intersect(side, frame);
    op.ink = ink;
    if (!op.rect.empty()) ops_.push_back(std::move(op));
  }
  return true;
}

bool SparseDrawing::caption(py::handle drawer, py::handle text, py::handle txt_color, long long x, long long y,
                            bool large_padding, bool fill_rectangle, py::handle fill_rectangle_color,
                            bool show_shadow, py::handle shadow_color) {
  if (!PyUnicode_CheckExact(text.ptr())) return false;
  const std::string utf8 = py::reinterpret_borrow<py::str>(text).cast<std::string>();
  if (utf8.find('\n') != std::string::npos) return false;
  if (x < -(1LL << 30) || x > (1LL << 30) || y < -(1LL << 30) || y > (1LL << 30)) return false;
  py::object font = drawer.attr("font");
  const bool fill_none = py::reinterpret_borrow<py::object>(fill_rectangle_color).is_none();
  // A box without a fill colour is drawn as an outline in the context's default ink, which an
  // "L" canvas does not show as the RGBA one does: such captions take the overlay route.
  if (fill_rectangle && fill_none) return false;
  std::string key(reinterpret_cast<const char*>(&font.ptr()), sizeof(PyObject*));  // the font object
  key += static_cast<char>(large_padding) + 2 * fill_rectangle + 4 * fill_none + 8 * show_shadow;
  key += utf8;
  CaptionCache& cache = caption_cache();
  std::shared_ptr<CaptionShape> shape;
  auto found = cache.map.find(key);
  if (found != cache.map.end()) {
    shape = found->second;
  } else {
    shape = make_caption_shape(drawer, font, text, large_padding, fill_rectangle, fill_none, show_shadow);
    if (!shape) return false;
    cache.trim(kCaptionCacheSize - 1);
    shape->bytes = shape->coverage.size();
    cache.bytes += shape->bytes;
    cache.map.emplace(key, shape);
    cache.order.push_back(key);
  }
  Op op;
  op.kind = Op::Caption;
  op.rect = (kestrix::intersect(kestrix::Rect{static_cast<int>(x + shape->left),
                                                      static_cast<int>(y + shape->top),
                                                      static_cast<int>(x + shape->left + shape->width),
                                                      static_cast<int>(y + shape->top + shape->height)},
                                        kestrix::Rect{0, 0, width_, height_}));
  // The colours the caption is drawn in, as the drawing context resolves them.
  py::object text_colour = py::reinterpret_borrow<py::object>(txt_color);
  if (text_colour.is_none()) text_colour = drawer.attr("default_txt_color");
  op.key[0] = fill_rectangle && !fill_none ? ink_of(fill_rectangle_color) : 0;
  if (show_shadow) {
    py::object shadow = py::reinterpret_borrow<py::object>(shadow_color);
    if (shadow.is_none()) shadow = drawer.attr("default_shadow_color");
    op.key[1] = ink_of(shadow);
  }
  op.key[2] = ink_of(text_colour);
  op.caption = shape;
  op.x = x, op.y = y;
  op.drawer = py::reinterpret_borrow<py::object>(drawer);
  op.text = py::reinterpret_borrow<py::object>(text);
  op.txt_color = py::reinterpret_borrow<py::object>(txt_color);
  op.fill_color = py::reinterpret_borrow<py::object>(fill_rectangle_color);
  op.shadow_color = py::reinterpret_borrow<py::object>(shadow_color);
  op.large_padding = large_padding, op.fill_rectangle = fill_rectangle, op.show_shadow = show_shadow;
  ops_.push_back(std::move(op));
  return true;
}

void SparseDrawing::polygon(const std::vector<long long>& xy, const kestrix::Ink* fill,
                            const kestrix::Ink* outline) {
  Op op;
  op.kind = Op::Polygon;
  op.shape = polygon_shape(xy, width_, height_);
  if (fill != nullptr) {
    op.has_fill = true, op.fill_ink = *fill;
    op.rect = kestrix::unite(op.rect, op.shape->fill_bounds);
  }
  if (outline != nullptr && (fill == nullptr || *outline != *fill)) {
    op.has_outline = true, op.outline_ink = *outline;
    op.rect = kestrix::unite(op.rect, op.shape->outline_bounds);
  }
  ops_.push_back(std::move(op));
}

namespace {

// The caption's pixels for these colours over this background, drawn by Pillow once.
const std::vector<std::uint8_t>& caption_pixels(CaptionShape& shape, const std::array<kestrix::Ink, 5>& key,
                                                const py::object& drawer, const py::object& text,
                                                const py::object& txt_color, bool large_padding,
                                                bool fill_rectangle, const py::object& fill_color,
                                                bool show_shadow, const py::object& shadow_color) {
  for (const auto& entry : shape.renders) {
    if (entry.first == key) return entry.second;
  }
  py::object canvas = refs().image.attr("new")("RGBA", py::make_tuple(shape.width, shape.height),
                                               rgba_tuple(key[4]));
  draw_caption_on(canvas, drawer, text, txt_color, -shape.left, -shape.top, large_padding, fill_rectangle,
                  fill_color, show_shadow, shadow_color);
  py::bytes raw = canvas.attr("tobytes")();
  const std::string bytes = raw;
  std::size_t change = bytes.size();
  if (shape.renders.size() >= kRendersPerCaption) {
    change -= std::min(change, shape.renders.front().second.size());
    shape.renders.pop_front();
  }
  shape.renders.emplace_back(key, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  if (shape.cached) {
    // A dropped render larger than the new one leaves the count an upper bound.
    shape.bytes += change;
    caption_cache().bytes += change;
    caption_cache().trim(kCaptionCacheSize);
  }
  return shape.renders.back().second;
}

}  // namespace

py::object SparseDrawing::render(const py::array& frame) {
  // Captions blend with what lies under them, so they are drawn onto crops (overlapping ones
  // sharing one), where every drawing of the call that reaches the crop is replayed in order.
  std::vector<kestrix::Rect> caption_rects(ops_.size());
  for (std::size_t i = 0; i < ops_.size(); ++i) {
    if (ops_[i].kind == Op::Caption) caption_rects[i] = ops_[i].rect;
  }
  const std::vector<kestrix::CropGroup> groups = kestrix::group_overlapping(caption_rects);
  std::vector<kestrix::Canvas> canvases;
  canvases.reserve(groups.size());
  for (const kestrix::CropGroup& group : groups) {
    canvases.emplace_back(group.rect);
    kestrix::Canvas& canvas = canvases.back();
    for (Op& op : ops_) {
      if (!kestrix::overlaps(op.rect, canvas.rect)) continue;
      switch (op.kind) {
        case Op::Band:
          kestrix::fill_rect(canvas, op.rect, op.ink);
          break;
        case Op::Runs:
          kestrix::paint_runs(canvas, *op.runs, op.ink);
          break;
        case Op::Polygon:
          if (op.has_fill) kestrix::paint_runs(canvas, op.shape->fill, op.fill_ink);
          if (op.has_outline) kestrix::paint_runs(canvas, op.shape->outline, op.outline_ink);
          break;
        case Op::Caption: {
          CaptionShape& shape = *op.caption;
          kestrix::Block block{static_cast<int>(op.x + shape.left), static_cast<int>(op.y + shape.top),
                               shape.width, shape.height, nullptr, shape.coverage.data()};
          op.key[4] = 0x00FFFFFFu;  // any background: the same key for every one
          if (shape.needs_background) {
            kestrix::Ink under = 0x00FFFFFFu;
            if (!kestrix::uniform_under(canvas, block, under)) {
              // Several colours under the text: drawn by Pillow over a copy of what lies there.
              std::vector<std::uint8_t> under_pixels = kestrix::read_block(canvas, block.left, block.top,
                                                                           block.width, block.height);
              py::object image = refs().image.attr("frombytes")(
                  "RGBA", py::make_tuple(block.width, block.height),
                  py::bytes(reinterpret_cast<const char*>(under_pixels.data()), under_pixels.size()));
              draw_caption_on(image, op.drawer, op.text, op.txt_color, -shape.left, -shape.top, op.large_padding,
                              op.fill_rectangle, op.fill_color, op.show_shadow, op.shadow_color);
              const std::string drawn = py::bytes(image.attr("tobytes")());
              block.rgba = reinterpret_cast<const std::uint8_t*>(drawn.data());
              kestrix::paste_covered(canvas, block);
              break;
            }
            op.key[4] = under;
          }
          block.rgba = caption_pixels(shape, op.key, op.drawer, op.text, op.txt_color, op.large_padding,
                                      op.fill_rectangle, op.fill_color, op.show_shadow, op.shadow_color)
                           .data();
          kestrix::paste_covered(canvas, block);
          break;
        }
      }
    }
  }
  const kestrix::FrameView source{static_cast<const std::uint8_t*>(frame.data()), width_, height_,
                                  frame.strides(0), frame.strides(1), frame.strides(2)};
  py::array_t<std::uint8_t> out({static_cast<py::ssize_t>(height_), static_cast<py::ssize_t>(width_),
                                 static_cast<py::ssize_t>(3)});
  std::uint8_t* dst = out.mutable_data();
  // Solid drawings, last first, each over the pixels nothing later (and no crop) has taken.
  std::vector<kestrix::OverlayView> crops;
  crops.reserve(canvases.size());
  for (const kestrix::Canvas& canvas : canvases) {
    crops.push_back(kestrix::OverlayView{canvas.rgba.data(), canvas.rect.x0, canvas.rect.y0, canvas.rect.width(),
                                         canvas.rect.height(),
                                         static_cast<std::ptrdiff_t>(canvas.rect.width()) * 4});
  }
  const kestrix::Rect frame_rect{0, 0, width_, height_};
  // Calls fn(run, ink) for the op's solid runs (inside the frame), in the order they replace
  // each other's pixels backwards: a polygon's outline before its fill.
  auto each_run = [&](const Op& op, auto&& fn) {
    auto list = [&](const std::vector<kestrix::Run>& runs, kestrix::Ink ink) {
      for (const kestrix::Run& run : runs) {
        const kestrix::Rect r = kestrix::intersect(kestrix::Rect{run.x0, run.y, run.x1, run.y + 1}, frame_rect);
        if (!r.empty()) fn(kestrix::Run{r.y0, r.x0, r.x1}, ink);
      }
    };
    if (op.kind == Op::Band) {
      for (int y = op.rect.y0; y < op.rect.y1; ++y) fn(kestrix::Run{y, op.rect.x0, op.rect.x1}, op.ink);
    } else if (op.kind == Op::Runs) {
      list(*op.runs, op.ink);
    } else if (op.kind == Op::Polygon) {
      if (op.has_outline) list(op.shape->outline, op.outline_ink);  // drawn after the fill
      if (op.has_fill) list(op.shape->fill, op.fill_ink);
    }
  };
  kestrix::Coverage taken(width_, height_);
  for (const kestrix::Canvas& canvas : canvases) taken.claim(canvas.rect);
  std::vector<kestrix::SolidRun> runs;
  for (auto op = ops_.rbegin(); op != ops_.rend(); ++op) {
    if (op->kind == Op::Caption || op->rect.empty()) continue;
    each_run(*op, [&](const kestrix::Run& run, kestrix::Ink ink) {
      taken.claim(run, [&](int x0, int x1) {
        kestrix::SolidRun s{run.y, x0, x1, {}};
        std::memcpy(s.rgba, &ink, 4);
        runs.push_back(s);
      });
    });
  }
  // Runs in row order (counting sort: the rows are known, and the runs are many).
  std::vector<std::size_t> starts(static_cast<std::size_t>(height_) + 1, 0);
  for (const kestrix::SolidRun& run : runs) ++starts[static_cast<std::size_t>(run.y) + 1];
  for (std::size_t y = 1; y < starts.size(); ++y) starts[y] += starts[y - 1];
  std::vector<kestrix::SolidRun> sorted(runs.size());
  for (const kestrix::SolidRun& run : runs) sorted[starts[static_cast<std::size_t>(run.y)]++] = run;
  runs.swap(sorted);
  {
    py::gil_scoped_release release;
    kestrix::composite_sparse(source, crops.data(), crops.size(), runs.data(), runs.size(), dst);
  }
  return std::move(out);
}

}  // namespace kx
