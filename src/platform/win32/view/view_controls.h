// The page controls on screen: one Windows control for every control of the page model that
// the user works with (labels, fields, buttons, radio buttons, text boxes, the gauge, the folder
// tree), and the windowless ones (pictures, bevels, panels) that the content panel paints itself.
//
// The view follows the model: Sync() compares what each control shows with the model and
// changes only what differs, so it is cheap enough to run after every event and at every
// status update of an install. What the user changes (typed text, a radio button, a tree
// selection) goes back into the model through the callbacks the main form sets.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/win32/view/view_support.h"  // first: the other Windows headers need it

#include <commctrl.h>

#include "platform/win32/view/picture.h"
#include "platform/win32/view/shell_tree.h"
#include "ui/control_look.h"
#include "ui/page_layout.h"

namespace setup::win32 {

// Fonts by face, size and weight, made once at the window's DPI.
class TFontCache {
 public:
  explicit TFontCache(int dpi) : dpi_(dpi) {}
  ~TFontCache();
  TFontCache(const TFontCache&) = delete;
  TFontCache& operator=(const TFontCache&) = delete;
  HFONT Get(const TFontLook& font);
  HFONT Default() { return Get(TFontLook()); }

 private:
  int dpi_;
  std::map<std::tuple<std::wstring, int, bool>, HFONT> fonts_;
};

// One control of the model and what stands for it on screen.
struct TControlView {
  TControl* Model = nullptr;
  TControlLook Look;
  bool FirstOfPage = false;
  HWND Window = nullptr;  // null for windowless controls
  HFONT Font = nullptr;   // labels: the font they draw with (owned by the font cache)
  std::unique_ptr<TSE_ShellTreeView> Tree;
  std::unique_ptr<TPicture> Picture;
  // What the screen shows now, compared with the model by Sync().
  bool ShownVisible = false;
  bool ShownEnabled = true;
  bool ShownChecked = false;
  std::u16string ShownText;
  int ShownProgress = 0, ShownMax = 100;
  RECT Bounds{};  // in the panel's device pixels
};

class TPageView {
 public:
  TPageView(HWND panel, int dpi, TSEPageControl& pages);
  ~TPageView();
  TPageView(const TPageView&) = delete;
  TPageView& operator=(const TPageView&) = delete;

  // Creates every control of every page (called once, after the pages were loaded).
  void Build();
  // Brings the screen in line with the model.
  void Sync();

  // The content panel's painting: the page colour and the visible windowless controls, for
  // the whole panel or for what lies behind one child (kMsgPaintBehind).
  void PaintPanel(HDC dc, const RECT& area);
  // Handles the panel's WM_COMMAND, WM_NOTIFY and WM_CTLCOLOR* messages; true when handled.
  bool HandleMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);

  TControlView* ViewOf(const TControl* control);
  TFontCache& Fonts() { return fonts_; }
  COLORREF PanelColour() const { return static_cast<COLORREF>(pages_.PanelColour & 0xFFFFFF); }

  // The user changed an edit field's text (already in the model).
  std::function<void(TControl&)> OnEditChange;
  // The user chose a folder in a tree.
  std::function<void(TControl&, const std::u16string&)> OnTreeChange;

 private:
  void Create(TControlView& view);
  void ApplyText(TControlView& view);
  void AutoSize(TControlView& view);
  void LoadRichText(TControlView& view);
  void PaintWindowless(HDC dc, const TControlView& view);
  HBRUSH Brush(COLORREF colour);

  HWND panel_;
  int dpi_;
  TSEPageControl& pages_;
  TFontCache fonts_;
  std::vector<std::unique_ptr<TControlView>> views_;  // page by page, in control order
  std::vector<std::pair<size_t, size_t>> page_views_;  // each page's range in views_
  std::unordered_map<const TControl*, TControlView*> by_model_;
  std::unordered_map<HWND, TControlView*> by_window_;
  std::map<COLORREF, HBRUSH> brushes_;
  bool applying_ = false;  // the view is changing a control: its notifications are not the user's
};

// The label window class: a static text that paints itself double-buffered, over what lies
// behind it when transparent. Registered once.
constexpr wchar_t kLabelClass[] = L"SetupLabel";

}  // namespace setup::win32
