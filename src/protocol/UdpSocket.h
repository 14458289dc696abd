#pragma once

#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>

#include "base/Exceptions.h"

namespace orlavonix {

// Socket error numbers as the rest of the program knows them.
constexpr int seInvalidArgument = 10022;
constexpr int seConnectionReset = 10054;
constexpr int seHostNotFound = 11001;
constexpr int seTryAgain = 11002;
constexpr int seNoRecovery = 11003;
constexpr int seNoData = 11004;

class ESocketError : public Exception {
public:
  ESocketError(int Code, std::string Message) : Exception(std::move(Message)), FCode(Code) {}
  const char* ClassName() const override { return "ESocketError"; }
  int Code() const { return FCode; }

private:
  int FCode;
};

// Our numbers for what the system and the resolver report.
int SocketErrorFromErrno(int Errno);
int SocketErrorFromResolver(int GaiError);
ESocketError MakeSocketError(int Code);

// A UDP socket bound to one server. Receiving holds a shared lock so that
// closing never pulls the descriptor out from under a waiting receive.
class TUdpSocket {
public:
  TUdpSocket() = default;
  ~TUdpSocket();
  TUdpSocket(const TUdpSocket&) = delete;
  TUdpSocket& operator=(const TUdpSocket&) = delete;

  // The dotted IPv4 address of a host name or address.
  static std::string Resolve(const std::string& Host);

  void Open(const std::string& Address, uint16_t Port);
  void Close();
  bool Active() const;
  std::string RemoteHost() const;
  uint16_t RemotePort() const;

  // Waits at most TimeoutMs for one datagram; returns its size, 0 for none.
  size_t Receive(uint8_t* Buffer, size_t Size, int TimeoutMs, std::string& FromHost,
                 uint16_t& FromPort);
  // False when the socket is not active.
  bool Send(const void* Data, size_t Size);

private:
  mutable std::shared_mutex FLock;
  int FFd = -1;
  std::string FHost;
  uint16_t FPort = 0;
};

} // namespace orlavonix
