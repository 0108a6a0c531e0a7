#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include "platform/win32/error_log.h"
#include "platform/win32/wizard_platform.h"

namespace setup::win32 {

TWin32WizardPlatform::TWin32WizardPlatform() : worker_(std::make_unique<TSetupThread>()) {}

TWin32WizardPlatform::~TWin32WizardPlatform() = default;

int TWin32WizardPlatform::DriveType(const std::string& root) { return static_cast<int>(GetDriveTypeA(root.c_str())); }

int64_t TWin32WizardPlatform::FreeBytesOnDrive(int drive) {
  char root[] = {static_cast<char>('A' + drive - 1), ':', '\\', 0};
  ULARGE_INTEGER free_to_caller{};
  if (!GetDiskFreeSpaceExA(root, &free_to_caller, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(free_to_caller.QuadPart);
}

void TWin32WizardPlatform::StartWorker() {
  if (worker_) worker_->Running = true;
}

bool TWin32WizardPlatform::WorkerRunning() { return worker_ && worker_->Running; }

void TWin32WizardPlatform::StopWorker() { worker_.reset(); }

void TWin32WizardPlatform::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void TWin32WizardPlatform::Sleep1() { Sleep(1); }

void TWin32WizardPlatform::ExitProcess(int code) { ::ExitProcess(static_cast<UINT>(code)); }

void TWin32WizardPlatform::WriteErrorLog(const std::string& text, const std::string& type) {
  win32::WriteErrorLog(text, type);
}

}  // namespace setup::win32
