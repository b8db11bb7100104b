// How many searches scan at once: as many as processors (more only share them), a bounded
// number waiting for a turn, and a refusal beyond that, so that a flood of requests costs
// neither unbounded memory nor unbounded waits.
#pragma once
#include <condition_variable>
#include <mutex>

struct ScanGate {
  std::mutex lock;
  std::condition_variable wake;
  int running = 0;
  int waiting = 0;
  int maxRunning = 1;
  int maxWaiting = 0;
};

// Waits for a turn; false at once when the queue is full.
bool EnterScanGate(ScanGate* gate);
void LeaveScanGate(ScanGate* gate);

// A turn held until the ticket goes.
struct ScanTicket {
  ScanGate* gate = nullptr;
  ScanTicket() = default;
  ScanTicket(const ScanTicket&) = delete;
  ScanTicket& operator=(const ScanTicket&) = delete;
  ~ScanTicket() {
    if (gate != nullptr) LeaveScanGate(gate);
  }
};
