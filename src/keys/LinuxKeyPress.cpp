#include "keys/LinuxKeyPress.h"

#include <cstdlib>
#include <cstring>

#include "protocol/logdebug.h"

// Xlib last: its macros (None, Bool, KeyPress, ...) must not reach our headers.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace orlavonix {

// ---------------------------------------------------------------- change reports

void ReportKeymapChanges(const uint8_t (&Old)[32], const uint8_t (&New)[32],
                         const TKeyReport& Report) {
  for (int I = 0; I < 32; ++I) {
    const uint8_t Changed = Old[I] ^ New[I];
    if (!Changed)
      continue;
    for (int B = 0; B < 8; ++B)
      if ((Changed & New[I]) & (1u << B))
        Report(itKeyboard, static_cast<uint8_t>(8 * I + B), true);
    for (int B = 0; B < 8; ++B)
      if ((Changed & Old[I]) & (1u << B))
        Report(itKeyboard, static_cast<uint8_t>(8 * I + B), false);
  }
}

void ReportPointerChanges(unsigned Old, unsigned New, const TKeyReport& Report) {
  struct {
    unsigned Mask;
    uint8_t Code;
  } const Buttons[] = {{Button1Mask, 0}, {Button2Mask, 2}, {Button3Mask, 1}};
  for (const auto& B : Buttons)
    if ((Old ^ New) & B.Mask)
      Report(itMouse, B.Code, (New & B.Mask) != 0);
}

TSamplerOptions TSamplerOptions::FromEnvironment() {
  TSamplerOptions O;
  const char* W = std::getenv("WAYLAND_DISPLAY");
  O.WaylandSession = W && *W;
  return O;
}

// ---------------------------------------------------------------- sampler thread

TkbSamplerThread::TkbSamplerThread(TKeyNotify Notify, TSamplerOptions Options)
    : FNotify(std::move(Notify)), FOptions(Options) {
  Start();
}

TkbSamplerThread::~TkbSamplerThread() {
  Stop();
}

void TkbSamplerThread::Stop() {
  {
    std::lock_guard<std::mutex> G(FWaitLock);
    FStopping = true;
    Terminate();
  }
  FWake.notify_all();
  WaitFor();
}

// An equal value is dropped only when it is the latest one waiting for that
// key: dropping it behind a later opposite value would leave the user
// interface with the wrong final state of a key that is really held.
void TkbSamplerThread::PostKey(uint8_t InputType, uint8_t KeyCode, bool Pressed) {
  const uint32_t Value = PackKeyValue(InputType, KeyCode, Pressed);
  {
    std::lock_guard<std::mutex> G(FLock);
    bool Redundant = false;
    for (auto It = FPending.rbegin(); It != FPending.rend(); ++It)
      if ((*It & 0xFFFF) == (Value & 0xFFFF)) {
        Redundant = *It == Value;
        break;
      }
    if (!Redundant)
      FPending.push_back(Value);
  }
  if (FNotify)
    FNotify();
}

bool TkbSamplerThread::TakeKey(uint8_t& InputType, uint8_t& KeyCode, bool& Pressed) {
  uint32_t Value;
  {
    std::lock_guard<std::mutex> G(FLock);
    if (FPending.empty())
      return false;
    Value = FPending.front();
    FPending.pop_front();
  }
  UnpackKeyValue(Value, InputType, KeyCode, Pressed);
  return true;
}

size_t TkbSamplerThread::PendingCount() const {
  std::lock_guard<std::mutex> G(FLock);
  return FPending.size();
}

bool TkbSamplerThread::WaitForPasses(uint64_t Count, std::chrono::milliseconds Timeout) const {
  const uint64_t Target = Passes() + Count;
  std::unique_lock<std::mutex> L(FWaitLock);
  return FWake.wait_for(L, Timeout, [&] { return Passes() >= Target || Finished(); }) &&
         Passes() >= Target;
}

void TkbSamplerThread::Execute() {
  Display* D = XOpenDisplay(nullptr);
  if (!D) {
    LogError("TkbSamplerThread.Execute", "unable to open display");
    FWake.notify_all();
    return;
  }
  const Window Root = XDefaultRootWindow(D);
  char Keymap[32];
  uint8_t Old[32];
  uint8_t New[32];
  XQueryKeymap(D, Keymap);
  std::memcpy(Old, Keymap, sizeof(Old));
  Window RootRet, ChildRet;
  int RootX, RootY, WinX, WinY;
  unsigned OldMask = 0;
  XQueryPointer(D, Root, &RootRet, &ChildRet, &RootX, &RootY, &WinX, &WinY, &OldMask);
  FSampling.store(true, std::memory_order_release);

  bool SawChange = false;
  bool WaylandNoted = false;
  auto Post = [&](uint8_t Type, uint8_t Code, bool Pressed) {
    SawChange = true;
    PostKey(Type, Code, Pressed);
  };

  while (!Terminated()) {
    {
      std::unique_lock<std::mutex> L(FWaitLock);
      FWake.wait_for(L, FOptions.Interval, [&] { return FStopping; });
      if (FStopping)
        break;
    }
    try {
      XQueryKeymap(D, Keymap);
      std::memcpy(New, Keymap, sizeof(New));
      ReportKeymapChanges(Old, New, Post);
      std::memcpy(Old, New, sizeof(Old));

      unsigned NewMask = 0;
      XQueryPointer(D, Root, &RootRet, &ChildRet, &RootX, &RootY, &WinX, &WinY, &NewMask);
      ReportPointerChanges(OldMask, NewMask, Post);
      OldMask = NewMask;
    } catch (const std::exception& E) {
      LogException("TkbSamplerThread.Execute", E);
    }
    const uint64_t Done = FPasses.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (FOptions.WaylandSession && !SawChange && !WaylandNoted &&
        Done >= static_cast<uint64_t>(FOptions.WaylandQuietPasses)) {
      WaylandNoted = true;
      LogFmt(lkWarning, "TkbSamplerThread.Execute",
             "WAYLAND_DISPLAY is set and no key change was seen in %1 s: on a Wayland desktop "
             "keys pressed in other programs' windows do not reach this program, so key "
             "bindings and push-to-talk stay silent there",
             static_cast<int64_t>(Done * FOptions.Interval.count() / 1000));
    }
    {
      // Taking the lock orders this notification after a waiter's check.
      std::lock_guard<std::mutex> G(FWaitLock);
    }
    FWake.notify_all();
  }
  FSampling.store(false, std::memory_order_release);
  XCloseDisplay(D);
  FWake.notify_all();
}

// ---------------------------------------------------------------- interceptor

TXLibKeyInterceptor::TXLibKeyInterceptor(TClientKeyPressBase& Owner, _XDisplay* NamesDisplay,
                                         TKeyNotify Notify, TSamplerOptions Options)
    : TKeyInterceptorBase(Owner) {
  try {
    XInitThreads();
    FDisplay = NamesDisplay;
    if (!FDisplay) {
      FDisplay = XOpenDisplay(nullptr);
      FOwnsDisplay = FDisplay != nullptr;
    }
    FSampler = std::make_unique<TkbSamplerThread>(std::move(Notify), Options);
  } catch (const std::exception& E) {
    if (Owner.Program())
      Owner.Program()->ShowError(E.what());
  }
}

TXLibKeyInterceptor::~TXLibKeyInterceptor() {
  FSampler.reset(); // stops and waits; values still waiting are dropped
  if (FOwnsDisplay && FDisplay)
    XCloseDisplay(FDisplay);
}

std::string TXLibKeyInterceptor::KeyName(uint8_t InputType, uint8_t KeyCode) {
  if (InputType == itKeyboard) {
    if (!FDisplay)
      return "Unknown key";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    KeySym Sym = XKeycodeToKeysym(FDisplay, KeyCode, 0);
#pragma GCC diagnostic pop
    if (Sym == NoSymbol)
      return "Unknown key";
    const char* Name = XKeysymToString(Sym);
    if (!Name || !*Name)
      return "Unknown key";
    return Name;
  }
  if (InputType == itMouse && KeyCode <= 3)
    return Format("Mouse btn %d", KeyCode);
  return "Unknown key";
}

void TXLibKeyInterceptor::ProcessKey() {
  if (!FSampler)
    return;
  uint8_t Type, Code;
  bool Pressed;
  if (!FSampler->TakeKey(Type, Code, Pressed))
    return;
  if (Type == itKeyboard)
    KeyboardChange(Code, Pressed);
  else
    MouseChange(Code, Pressed);
}

// ---------------------------------------------------------------- key press object

TLinuxKeyPress::TLinuxKeyPress(TKeyClient* Client, TKeyProgram* Program, _XDisplay* ToolkitDisplay)
    : TClientKeyPressBase(Client, Program), FToolkitDisplay(ToolkitDisplay) {}

TLinuxKeyPress::~TLinuxKeyPress() {
  FInterceptor.reset();
}

void TLinuxKeyPress::AssignInterceptor(int Kind) {
  try {
    FInterceptor.reset();
    if (Kind == 1)
      FInterceptor =
          std::make_unique<TXLibKeyInterceptor>(*this, FToolkitDisplay, FNotify, FOptions);
  } catch (const std::exception& E) {
    LogException("TLinuxKeyPress.AssignInterceptor", E);
    if (Program())
      Program()->ShowError(E.what());
  }
}

} // namespace orlavonix
