#include "server/scan_gate.h"

bool EnterScanGate(ScanGate* gate) {
  std::unique_lock<std::mutex> hold(gate->lock);
  if (gate->running < gate->maxRunning) {
    ++gate->running;
    return true;
  }
  if (gate->waiting >= gate->maxWaiting) return false;
  ++gate->waiting;
  gate->wake.wait(hold, [gate] { return gate->running < gate->maxRunning; });
  --gate->waiting;
  ++gate->running;
  return true;
}

void LeaveScanGate(ScanGate* gate) {
  {
    std::lock_guard<std::mutex> hold(gate->lock);
    --gate->running;
  }
  gate->wake.notify_one();
}
