// The gradient gauge: its setters' rules, its caption, its gradient rows and its painting.
//
// Layout of a gauge W x H (device pixels): the frame's lines lie on column 1, row 1, column
// W - 1 and row H - 1 (column 0 and row 0 show what lies behind); the bar and the unfilled
// part share the inside, columns 2 … W - 2 and rows 2 … H - 2, so a full bar is W - 3 pixels
// wide. The gradient has H - 5 rows and is stretched to the bar's H - 3.
#include "ui/grad_gauge.h"

#include <algorithm>
#include <array>
#include <string>

namespace setup {

namespace {

constexpr uint32_t kWhite = 0xFFFFFF;

int Component(uint32_t colour, int shift) { return static_cast<int>((colour >> shift) & 0xFF); }

}  // namespace

std::u16string GaugeCaption(int32_t min, int32_t max, int32_t progress) {
  if (max <= 0) return u"0%";
  // In 64 bits: the range of two 32-bit ends does not fit in 32, and a range under 100 must
  // not be cut to a whole hundredth first.
  const int64_t done = static_cast<int64_t>(progress) - min;
  const int64_t range = static_cast<int64_t>(max) - min;
  const int64_t percent = range > 0 ? done * 100 / range : 0;
  const std::string digits = std::to_string(percent);
  return std::u16string(digits.begin(), digits.end()) + u"%";
}

int GaugeFillPercent(int32_t min, int32_t max, int32_t progress) {
  const int64_t done = static_cast<int64_t>(progress) - min;
  const int64_t range = static_cast<int64_t>(max) - min;
  if (range <= 0 || done <= 0) return 0;
  // Nearest whole number, halves up, in integers so that exact ends stay exact.
  return static_cast<int>((done * 200 + range) / (range * 2));
}

void TGradGauge::SetBackcolor(uint32_t colour) {
  if (colour == backcolor_) return;
  backcolor_ = colour;
  ScheduleRepaint();
}

void TGradGauge::SetBorderColor(uint32_t colour) {
  if (colour == border_color_) return;
  border_color_ = colour;
  ScheduleRepaint();
}

void TGradGauge::SetBorderStyle(TggBorderStyle style) {
  if (style == border_style_) return;
  border_style_ = style;
  ScheduleRepaint();
}

void TGradGauge::SetColor1(uint32_t colour) {
  if (colour == color1_) return;
  color1_ = colour;
  RebuildGradient();
  ScheduleRepaint();
}

void TGradGauge::SetColor2(uint32_t colour) {
  if (colour == color2_) return;
  color2_ = colour;
  RebuildGradient();
  ScheduleRepaint();
}

void TGradGauge::SetMin(int32_t value) {
  if (value == min_ || value >= max_) return;
  min_ = value;
  if (progress_ < min_) progress_ = min_;
  if (autocaption_) {
    UpdateCaption();
    RepaintNow();
  }
  ScheduleRepaint();
}

void TGradGauge::SetMax(int32_t value) {
  if (value == max_ || value <= min_) return;
  max_ = value;
  if (progress_ > max_) progress_ = max_;
  if (autocaption_) {
    UpdateCaption();
    RepaintNow();
  }
  ScheduleRepaint();
}

void TGradGauge::SetProgress(int32_t value) {
  value = std::clamp(value, min_, max_);
  if (value == progress_ && !caption_refresh_pending_) return;
  progress_ = value;
  UpdateCaption();
  RepaintNow();
}

void TGradGauge::SetCaption(const std::u16string& caption) {
  if (caption == caption_) return;
  caption_ = caption;
  caption_refresh_pending_ = autocaption_;
  RepaintNow();
}

void TGradGauge::SetAutocaption(bool on) {
  if (on == autocaption_) return;
  autocaption_ = on;
  if (on) {
    UpdateCaption();
    RepaintNow();
  }
  ScheduleRepaint();
}

void TGradGauge::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  ScheduleRepaint();
}

void TGradGauge::SetSize(int width, int height) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
}

void TGradGauge::UpdateCaption() {
  // Without Autocaption the caption keeps whatever was set.
  if (!autocaption_) return;
  caption_ = GaugeCaption(min_, max_, progress_);
  caption_refresh_pending_ = false;
}

void TGradGauge::RebuildGradient() {
  // Row y takes each component of Color1 plus the whole part of y / h of the way to Color2's,
  // so the bottom row stops one step short of Color2. Integer division truncates toward zero
  // as the whole part does, for falling components too.
  const int rows = static_cast<int>(gradient_rows_.size());
  const uint32_t first = Resolve(color1_);
  const uint32_t second = Resolve(color2_);
  for (int y = 0; y < rows; ++y) {
    uint32_t colour = 0;
    for (int shift : {0, 8, 16}) {
      const int from = Component(first, shift);
      const int step = y * (Component(second, shift) - from) / rows;
      colour |= static_cast<uint32_t>(from + step) << shift;
    }
    gradient_rows_[static_cast<size_t>(y)] = colour;
  }
}

void TGradGauge::Paint(TCanvas& canvas) {
  if (!visible_) return;
  const int w = width_;
  const int h = height_;
  const int gradient_height = std::max(h - 5, 0);
  if (gradient_width_ != w || static_cast<int>(gradient_rows_.size()) != gradient_height) {
    gradient_width_ = w;
    gradient_rows_.assign(static_cast<size_t>(gradient_height), 0);
    RebuildGradient();
  }

  // Frame. The raised and lowered frames are one path in two colours: light over the left and
  // top edges, dark down the right and back along the bottom.
  const uint32_t border = Resolve(border_color_);
  if (border_style_ == ggSolid) {
    canvas.FrameRect({1, 1, w, h}, border);
  } else {
    const uint32_t light = border_style_ == ggRaised ? kWhite : border;
    const uint32_t dark = border_style_ == ggRaised ? border : kWhite;
    const std::array<TCanvasPoint, 3> lit{{{1, h}, {1, 1}, {w - 1, 1}}};
    const std::array<TCanvasPoint, 3> shaded{{{w - 1, 1}, {w - 1, h - 1}, {0, h - 1}}};
    canvas.Polyline(lit, light);
    canvas.Polyline(shaded, dark);
  }

  // Bar: (W - 3) * p / 100 pixels of the inside, p rounded; a bar of nothing draws nothing.
  const int percent = GaugeFillPercent(min_, max_, progress_);
  const int filled = static_cast<int>(static_cast<int64_t>(w - 3) * percent / 100);
  if (filled > 0) {
    const TCanvasRect bar{2, 2, filled + 2, h - 1};
    if (color1_ == color2_) {
      canvas.FillRect(bar, Resolve(color1_));
    } else if (!gradient_rows_.empty() && !bar.Empty()) {
      canvas.StretchRows(bar, gradient_rows_);
    }
  }

  // The unfilled part, drawn as a rectangle without outline: such a rectangle leaves out its
  // last column and row, which are the frame's right and bottom lines.
  if (percent < 100) {
    const TCanvasRect rest{std::max(filled, 0) + 2, 2, w - 1, h - 1};
    if (!rest.Empty()) canvas.FillRect(rest, Resolve(backcolor_));
  }

  canvas.DrawCentredText(caption_, {0, 0, w, h});
}

}  // namespace setup
