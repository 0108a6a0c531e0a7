#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include "engine/run_log.h"
#include "platform/win32/error_log.h"
#include "platform/win32/wizard_system.h"

namespace setup::win32 {

TWin32WizardSystem::TWin32WizardSystem() : worker_(std::make_unique<TSetupThread>()) {}

TWin32WizardSystem::~TWin32WizardSystem() = default;

int TWin32WizardSystem::DriveType(const std::string& root) {
  return static_cast<int>(GetDriveTypeW(WidenUtf8(root).c_str()));
}

int64_t TWin32WizardSystem::FreeBytesOnDrive(int drive) { return win32::FreeBytesOnDrive(drive); }

void TWin32WizardSystem::StartWorker() {
  if (worker_) worker_->Running = true;
}

bool TWin32WizardSystem::WorkerRunning() { return worker_ && worker_->Running; }

void TWin32WizardSystem::StopWorker() { worker_.reset(); }

void TWin32WizardSystem::Sleep1() { Sleep(1); }

void TWin32WizardSystem::ExitProcess(int code) {
  LogExitCode(code);
  ::ExitProcess(static_cast<UINT>(code));
}

void TWin32WizardSystem::WriteErrorLog(const std::string& text, const std::string& type) {
  win32::WriteErrorLog(text, type);
}

}  // namespace setup::win32
