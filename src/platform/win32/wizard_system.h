// The wizard's view of the system on Windows: drives, free space, the worker thread and the end
// of the process. The window is the view's (view/main_form.h); a silent run has none.
#pragma once

#include <memory>

#include "platform/win32/setup_thread.h"
#include "ui/wizard.h"

namespace setup::win32 {

class TWin32WizardSystem : public TWizardSystem {
 public:
  TWin32WizardSystem();
  ~TWin32WizardSystem() override;
  int DriveType(const std::string& root) override;
  int64_t FreeBytesOnDrive(int drive) override;
  void StartWorker() override;
  bool WorkerRunning() override;
  void StopWorker() override;
  void Sleep1() override;
  [[noreturn]] void ExitProcess(int code) override;
  [[noreturn]] void WriteErrorLog(const std::string& text, const std::string& type) override;

 private:
  std::unique_ptr<TSetupThread> worker_;
};

}  // namespace setup::win32
