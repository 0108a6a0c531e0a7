// The worker's body: one script run whenever the wizard asks, COM initialised around it for
// the shell-link object, and the error report for anything the run raises.
#include "platform/win32/windows_support.h"  // first: the other Windows headers need it

#include <objbase.h>

#include "core/error.h"
#include "engine/interpreter.h"
#include "platform/win32/error_log.h"
#include "platform/win32/setup_thread.h"

namespace setup::win32 {

TSetupThread::TSetupThread() : thread_([this] { Execute(); }) {}

TSetupThread::~TSetupThread() {
  StopRequested = true;
  if (thread_.joinable()) thread_.join();
}

void TSetupThread::Execute() {
  try {
    while (!StopRequested) {
      if (Running) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        RunScript();
        CoUninitialize();
        Running = false;
      }
      Sleep(1);
    }
  } catch (const std::exception& e) {
    WriteErrorLog(e.what(), "Setup Thread");
  }
}

}  // namespace setup::win32
