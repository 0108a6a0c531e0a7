// The progress gauge of the install and uninstall pages: a frame, a bar that fills from the left
// with a vertical colour gradient, and the percentage written in the middle.
//
// The gauge is a model that paints on a TCanvas; the window that shows it is its TGaugeHost
// and is asked to repaint either at once (the caption and the bar must show the new value
// before the wizard goes on) or when it next paints (a look change). Width and Height are the
// window's size in device pixels, set by the window.
//
// Range and value: Min < Max always holds (setters that would break it are ignored) and
// Progress stays within Min … Max.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/canvas.h"

namespace setup {

enum TggBorderStyle { ggSolid, ggRaised, ggLowered };

// What the gauge asks of the window that shows it.
class TGaugeHost {
 public:
  virtual void RepaintNow() = 0;       // the gauge is drawn before the call returns
  virtual void ScheduleRepaint() = 0;  // the gauge is drawn when the window next paints
  // A colour as it is drawn: the platform turns system colour values into their current
  // colour; plain colours stay as they are.
  virtual uint32_t ResolveColour(uint32_t colour) { return colour; }

 protected:
  ~TGaugeHost() = default;
};

class TGradGauge {
 public:
  static constexpr int kDefaultWidth = 200;
  static constexpr int kDefaultHeight = 40;

  explicit TGradGauge(TGaugeHost* host = nullptr) : host_(host) {}
  TGradGauge(const TGradGauge&) = delete;
  TGradGauge& operator=(const TGradGauge&) = delete;

  uint32_t Backcolor() const { return backcolor_; }
  uint32_t BorderColor() const { return border_color_; }
  TggBorderStyle BorderStyle() const { return border_style_; }
  uint32_t Color1() const { return color1_; }
  uint32_t Color2() const { return color2_; }
  int32_t Min() const { return min_; }
  int32_t Max() const { return max_; }
  int32_t Progress() const { return progress_; }
  const std::u16string& Caption() const { return caption_; }
  bool Autocaption() const { return autocaption_; }
  bool Visible() const { return visible_; }
  int Width() const { return width_; }
  int Height() const { return height_; }

  void SetBackcolor(uint32_t colour);
  void SetBorderColor(uint32_t colour);
  void SetBorderStyle(TggBorderStyle style);
  void SetColor1(uint32_t colour);
  void SetColor2(uint32_t colour);
  void SetMin(int32_t value);
  void SetMax(int32_t value);
  void SetProgress(int32_t value);
  void SetCaption(const std::u16string& caption);
  void SetAutocaption(bool on);
  void SetVisible(bool visible);
  // The window's size changed; the next paint fits the gradient to it.
  void SetSize(int width, int height);

  // The gradient bitmap: one colour per row from Color1 at the top towards Color2, rebuilt when
  // a gradient colour changes or at a paint when the size no longer matches Width x (Height - 5).
  const std::vector<uint32_t>& GradientRows() const { return gradient_rows_; }
  int GradientWidth() const { return gradient_width_; }

  // Draws the frame, the bar and the caption; nothing when the gauge is invisible.
  void Paint(TCanvas& canvas);

 private:
  void UpdateCaption();
  void RebuildGradient();
  uint32_t Resolve(uint32_t colour) const { return host_ ? host_->ResolveColour(colour) : colour; }
  void RepaintNow() {
    if (host_) host_->RepaintNow();
  }
  void ScheduleRepaint() {
    if (host_) host_->ScheduleRepaint();
  }

  TGaugeHost* host_;
  uint32_t backcolor_ = 0xFFFFFF;
  uint32_t border_color_ = 0x876E5A;
  TggBorderStyle border_style_ = ggSolid;
  uint32_t color1_ = 0xD1AA94;
  uint32_t color2_ = 0xD1AA94;
  int32_t min_ = 0;
  int32_t max_ = 100;
  int32_t progress_ = 0;
  std::u16string caption_ = u"0%";
  bool autocaption_ = true;
  // Set when the caption was written over while Autocaption is on: the next Progress setting
  // brings the percentage back even when the value stays.
  bool caption_refresh_pending_ = false;
  bool visible_ = true;
  int width_ = kDefaultWidth;
  int height_ = kDefaultHeight;
  int gradient_width_ = 0;
  std::vector<uint32_t> gradient_rows_;
};

// The caption Autocaption shows: the whole percentage of the range done, truncated, then "%";
// "0%" while Max is not above zero.
std::u16string GaugeCaption(int32_t min, int32_t max, int32_t progress);
// The percentage the bar fills: the range done, rounded to the nearest whole number.
int GaugeFillPercent(int32_t min, int32_t max, int32_t progress);

}  // namespace setup
