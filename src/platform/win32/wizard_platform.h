// The wizard's view of Windows until its window is built: drives, the worker thread, message
// pumping and the end of the process.
#pragma once

#include <memory>

#include "platform/win32/setup_thread.h"
#include "ui/wizard.h"

namespace setup::win32 {

class TWin32WizardPlatform : public TWizardPlatform {
 public:
  TWin32WizardPlatform();
  ~TWin32WizardPlatform() override;
  int DriveType(const std::string& root) override;
  int64_t FreeBytesOnDrive(int drive) override;
  void StartWorker() override;
  bool WorkerRunning() override;
  void StopWorker() override;
  void ProcessMessages() override;
  void Sleep1() override;
  void Repaint() override {}
  void CloseWindow() override { Closed = true; }
  [[noreturn]] void ExitProcess(int code) override;
  [[noreturn]] void WriteErrorLog(const std::string& text, const std::string& type) override;

  bool Closed = false;

 private:
  std::unique_ptr<TSetupThread> worker_;
};

}  // namespace setup::win32
