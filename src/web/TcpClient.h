#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/Exceptions.h"

namespace orlavonix {

ORLAVONIX_DECLARE_EXCEPTION(ETcpClient, Exception);

// A blocking TCP client whose every wait is bounded and can be cut short
// from another thread by Cancel. Failures raise ETcpClient.
class TTcpClient {
public:
  TTcpClient();
  ~TTcpClient();
  TTcpClient(const TTcpClient&) = delete;
  TTcpClient& operator=(const TTcpClient&) = delete;

  void Connect(const std::string& Host, uint16_t Port, int TimeoutMs);
  void WriteAll(std::span<const uint8_t> Bytes, int TimeoutMs);
  // Exactly N bytes, each wait for data at most TimeoutMs.
  void ReadExact(void* Buffer, size_t N, int TimeoutMs);
  void Disconnect();
  // Any thread: wakes a waiting call, which then fails, as do all later ones.
  void Cancel();

private:
  // Waits for Events on the socket; false on time-out; raises when cancelled.
  bool WaitFor(int Fd, short Events, int TimeoutMs);
  void CheckCancelled() const;

  int FSocket = -1;
  int FWake = -1;
  std::atomic<bool> FCancelled{false};
};

} // namespace orlavonix
