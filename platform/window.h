// Window system stand-in: per-thread message queues, hidden windows with a
// window procedure, posting from any thread, and thread timers.
//
// Every thread that calls GetMessage / PeekMessage / CreateHiddenWindow /
// SetTimer gets a queue of its own (threads started through plat::Thread have
// one before their function runs, so they can be posted to at once). A window
// belongs to the thread that created it; messages posted to it are fetched
// and dispatched by that thread's loop. Socket notifications and thread
// timers are produced inside the loop's wait, so they always arrive on the
// thread that owns the window or the timer, never on another one.
#pragma once

#include <cstdint>
#include <functional>

namespace plat {

struct WindowTag;
using Hwnd = WindowTag*;  // an opaque handle; never dereferenced
using ThreadId = std::uint32_t;
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

struct Msg {
    Hwnd hwnd = nullptr;
    std::uint32_t message = 0;
    WParam wParam = 0;
    LParam lParam = 0;
};

using WindowProc = LResult (*)(Hwnd, std::uint32_t, WParam, LParam);
using TimerProc = void (*)(Hwnd, std::uint32_t message, std::uintptr_t timerId,
                           std::uint32_t tickMs);
using MessageForwarder = std::function<void(const Msg&)>;

inline constexpr std::uint32_t kWmQuit = 0x12;
inline constexpr std::uint32_t kWmTimer = 0x113;
inline constexpr std::uint32_t kWmUser = 0x400;

// The calling thread's id (stable for the thread's life, never 0).
ThreadId CurrentThreadId();

// Creates a window owned by the calling thread. `className` only names it in
// diagnostics. Returns nullptr when the window cannot be created (including
// when window creation has been made to fail by SetWindowCreationFailsForTesting).
Hwnd CreateHiddenWindow(WindowProc proc, const char* className);

// Creates a window that has no queue: every message posted to it is handed
// to `forward` on the posting thread. This is how the service posts its
// events into a foreign event loop (the GUI toolkit's) exactly as it would
// post them to a window.
Hwnd CreateForwardingWindow(MessageForwarder forward);

bool DestroyWindow(Hwnd hwnd);
bool IsWindow(Hwnd hwnd);
ThreadId GetWindowThreadId(Hwnd hwnd);

// Posting never waits for the receiver. Fails for an unknown window or thread.
bool PostMessage(Hwnd hwnd, std::uint32_t message, WParam wParam, LParam lParam);
bool PostThreadMessage(ThreadId thread, std::uint32_t message, WParam wParam, LParam lParam);

// Blocks until a message arrives; 1 for a message, 0 for WM_QUIT, -1 on error.
int GetMessage(Msg* out);

enum class WaitResult { kMessage, kQuit, kTimeout };
// Like GetMessage with an upper bound on the wait (timeoutMs < 0 waits forever).
WaitResult GetMessageFor(Msg* out, int timeoutMs);
// Does one non-blocking round: polls sockets and timers, then takes a message if any.
bool PeekMessage(Msg* out);

void TranslateMessage(const Msg& msg);
LResult DispatchMessage(const Msg& msg);
LResult DefWindowProc(Hwnd hwnd, std::uint32_t message, WParam wParam, LParam lParam);

// Thread timer (a timer without a window): fires from the calling thread's
// loop as WM_TIMER, which DispatchMessage turns into a call of `proc`.
// Returns 0 on failure.
std::uintptr_t SetTimer(std::uint32_t intervalMs, TimerProc proc);
bool KillTimer(std::uintptr_t timerId);

// Test seam: makes the next `count` window creations fail.
void SetWindowCreationFailsForTesting(int count);
// Test seam: makes the next `count` SetTimer calls fail.
void SetTimerCreationFailsForTesting(int count);

}  // namespace plat
