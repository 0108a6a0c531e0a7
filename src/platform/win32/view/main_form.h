// TFrmMain: the wizard's window. A fixed dialog-like window with the white content panel
// (Panel1) that holds the pages' controls, an etched line (Bevel2) and the button row: the
// hidden Debug button, Back, Next, Cancel and the language button with its popup menu.
//
// The window decides nothing: every button, key and close request goes to TWizard, and after
// each event the window brings itself in line with the wizard's model (buttons, captions,
// pages). During the install the wizard keeps the window alive through ProcessMessages and
// asks for an immediate Repaint whenever the worker reports something new.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/win32/view/view_controls.h"
#include "ui/wizard.h"

namespace setup::win32 {

class TFrmMain : public TWizardView {
 public:
  // FormCreate: the window and its fixed components, hidden until Show.
  explicit TFrmMain(TWizardSystem& system);
  ~TFrmMain() override;
  TFrmMain(const TFrmMain&) = delete;
  TFrmMain& operator=(const TFrmMain&) = delete;

  // Loads the pages through the wizard and puts their controls on the panel.
  void SetPagesUp();
  void Show();
  // The message loop; returns when the window has closed.
  void Run();

  TWizard& Wizard() { return wizard_; }
  HWND Handle() const { return window_; }

  // TWizardView
  void ProcessMessages() override;
  void Repaint() override;
  void CloseWindow() override;
  void SyncTree(const std::u16string& path, bool expand) override;
  bool TreeSyncing() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK PanelProc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT OnPanelMessage(HWND panel, UINT msg, WPARAM wp, LPARAM lp);
  void OnCommand(int id);
  void OnClose();
  void LanguageButtonClick();
  void Button2Click();
  // Brings buttons, captions and pages in line with the wizard's model.
  void SyncAll();
  void SyncButton(HWND button, const TButtonModel& model, TButtonModel& shown);
  bool PumpOne(MSG& msg);
  void PaintPanel(HWND panel, HDC target, const RECT* part);
  void RepaintIfDue();
  void PaintBevel(HDC dc);

  TWizard wizard_;
  int dpi_ = 96;
  HWND window_ = nullptr;
  HWND panel_ = nullptr;
  HWND button2_ = nullptr, back_ = nullptr, next_ = nullptr, cancel_ = nullptr, language_ = nullptr;
  TFontCache fonts_;
  std::unique_ptr<TPageView> pages_;
  TButtonModel shown_back_, shown_next_, shown_cancel_, shown_language_;
  std::u16string shown_title_;
  TPageType shown_type_ = ptWelcome;
  std::optional<std::pair<std::u16string, bool>> pending_tree_sync_;
  bool closed_ = false;
  // Repaints during a run: about 30 a second, smooth to the eye and cheap for the worker.
  static constexpr DWORD kRepaintIntervalMs = 30;
  bool repaint_pending_ = false;
  DWORD last_repaint_ = 0;
  // Looks into the message queue during a run: at most one every few milliseconds.
  static constexpr DWORD kPumpIntervalMs = 8;
  DWORD last_pump_ = 0;
};

}  // namespace setup::win32
