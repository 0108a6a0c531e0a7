#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include "platform/win32/error_log.h"
#include "platform/win32/wizard_system.h"

namespace setup::win32 {

TWin32WizardSystem::TWin32WizardSystem() : worker_(std::make_unique<TSetupThread>()) {}

TWin32WizardSystem::~TWin32WizardSystem() = default;

int TWin32WizardSystem::DriveType(const std::string& root) { return static_cast<int>(GetDriveTypeA(root.c_str())); }

int64_t TWin32WizardSystem::FreeBytesOnDrive(int drive) {
  char root[] = {static_cast<char>('A' + drive - 1), ':', '\\', 0};
  ULARGE_INTEGER free_to_caller{};
  if (!GetDiskFreeSpaceExA(root, &free_to_caller, nullptr, nullptr)) return -1;
  return static_cast<int64_t>(free_to_caller.QuadPart);
}

void TWin32WizardSystem::StartWorker() {
  if (worker_) worker_->Running = true;
}

bool TWin32WizardSystem::WorkerRunning() { return worker_ && worker_->Running; }

void TWin32WizardSystem::StopWorker() { worker_.reset(); }

void TWin32WizardSystem::Sleep1() { Sleep(1); }

void TWin32WizardSystem::ExitProcess(int code) { ::ExitProcess(static_cast<UINT>(code)); }

void TWin32WizardSystem::WriteErrorLog(const std::string& text, const std::string& type) {
  win32::WriteErrorLog(text, type);
}

}  // namespace setup::win32
