#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Thread.h"
#include "web/TcpClient.h"
#include "web/WeblistFilter.h"

namespace orlavonix {

class TConfigFile;

// The fixed part of one server in the list service's reply.
struct TWeblistEntry {
  uint16_t Flags = 0; // bit 0 password, bit 1 clan
  uint16_t Players = 0;
  uint16_t MaxPlayers = 0;
  uint16_t Country = 0;
  uint32_t Address = 0; // most significant byte is the first number of the dotted form
  uint16_t Port = 0;
};
inline constexpr size_t WeblistEntrySize = 14;

// The 14 reply bytes of an entry, little-endian.
TWeblistEntry DecodeWeblistEntry(std::span<const uint8_t, WeblistEntrySize> Bytes);

// One display row: six zero-terminated texts, each cut to its field.
struct TWeblistItem {
  char Name[32] = {};
  char ServerType[8] = {};
  char Password[8] = {};
  char Users[12] = {};
  char Country[48] = {};
  char Address[24] = {};

  // Fields 0 to 5 in the order above; nullptr for any other id.
  const char* Field(int Id) const;
};

TWeblistItem MakeWeblistItem(const TWeblistEntry& Entry, std::string_view Name);

// Display items in arrival order; owns them.
class TWeblistList {
public:
  void AddServer(const TWeblistEntry& Entry, std::string_view Name);
  // nullptr when Index is negative or at or beyond the count.
  const TWeblistItem* GetItem(int Index) const;
  int Count() const { return static_cast<int>(FItems.size()); }
  void Clear() { FItems.clear(); }

private:
  std::vector<std::unique_ptr<TWeblistItem>> FItems;
};

// Reads exactly N bytes or raises.
using TReadExact = std::function<void(void* Buffer, size_t N)>;

enum class TWeblistReplyEnd { EndMarker, BadLength, Stopped };

// Reads servers (a length byte of 15 to 45, the entry, the name) into List
// until the end marker 0, another length byte, or Stop answering true
// between two servers. Read failures propagate.
TWeblistReplyEnd ReadWeblistReply(const TReadExact& Read, TWeblistList& List,
                                  const std::function<bool()>& Stop = {});

// Where the list service is and how long to wait for it.
inline constexpr uint16_t WeblistPort = 45648;
inline constexpr const char* DefaultWeblistHost = "serverlist.orlavonix.net";

struct TWeblistService {
  std::string Host = DefaultWeblistHost;
  uint16_t Port = WeblistPort;
  int ConnectTimeoutMs = 10000;
  int ReadTimeoutMs = 10000;
};

// The first non-empty of: command line, environment, configuration; else
// the default host.
std::string ChooseWeblistHost(std::string_view CommandLine, std::string_view Environment,
                              std::string_view Configured);
// The environment variable that overrides the configured host.
inline constexpr const char* WeblistHostVariable = "ORLAVONIX_WEBLIST_HOST";
void SetWeblistHostSetting(std::string Configured);
// The configured host: the line "WeblistHost=<host>" of the update-check
// section's name=value text; empty when there is none.
inline constexpr const char* WeblistHostSettingName = "WeblistHost";
std::string ReadWeblistHostSetting(TConfigFile& Config);
void SetWeblistHostOverride(std::string CommandLine);
std::string WeblistHost();
// The product's service: the chosen host on port 45648.
TWeblistService DefaultWeblistService();

// One download of the server list, started at creation. The owner polls
// Done, then takes the list (on success only), calls Cancel and frees it.
class TWeblistThread final : public TThread {
public:
  explicit TWeblistThread(const TWeblistFilter& Filter,
                          TWeblistService Service = DefaultWeblistService());
  ~TWeblistThread() override;

  bool Done() const { return FDone.load(std::memory_order_acquire); }
  bool Success() const { return FSuccess.load(std::memory_order_relaxed); }
  // The list when Done and Success; afterwards (and otherwise) none.
  std::unique_ptr<TWeblistList> TakeList();
  // Cuts the connection and asks the thread to end; the caller then waits.
  void Cancel();
  const TWeblistFilter& Filter() const { return FFilter; }

protected:
  void Execute() override;

private:
  TWeblistFilter FFilter;
  TWeblistService FService;
  TTcpClient FClient;
  std::unique_ptr<TWeblistList> FList;
  std::atomic<bool> FDone{false};
  std::atomic<bool> FSuccess{false};
};

} // namespace orlavonix
