// TSetupThread: the worker that runs the install script while the wizard stays responsive.
//
// Flags, each written by one side and polled by the other every millisecond:
//   Running        wizard sets it to ask for one run; the worker clears it when the run,
//                  closing steps included, is complete
//   StopRequested  wizard sets it when its window closes; the worker ends at its next look
#pragma once

#include <atomic>
#include <thread>

namespace setup::win32 {

class TSetupThread {
 public:
  // Starts the thread at once; it idles until Running is set.
  TSetupThread();
  // Asks the thread to stop and waits for it without a time limit.
  ~TSetupThread();
  TSetupThread(const TSetupThread&) = delete;
  TSetupThread& operator=(const TSetupThread&) = delete;

  std::atomic<bool> StopRequested{false};
  std::atomic<bool> Running{false};

 private:
  void Execute();
  std::thread thread_;
};

}  // namespace setup::win32
