// The Windows side of the interrupt guard: the console's control handler, which
// Windows runs on a thread of its own for each event.

#include "interrupthandlers.h"

#include "interruptrule.h"

#include <cstdlib>
#include <mutex>

#include <windows.h>

namespace ZRN {

namespace {

HANDLE gWakeEvent = nullptr; // the handler's word to the waits
std::mutex gRuleMutex;       // the handler's look at the critical mark, against its setting

// No Qt here.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    bool stop = false;
    {
        const std::lock_guard<std::mutex> lock(gRuleMutex);
        stop = noteInterrupt(gInterruptState, int(event) + 1, event != CTRL_CLOSE_EVENT);
    }
    if (stop)
        ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    ::SetEvent(gWakeEvent);
    // Windows ends the process as soon as this returns from a closed window (or
    // five seconds after the event): the program goes on as long as it may.
    if (event == CTRL_CLOSE_EVENT)
        ::Sleep(INFINITE);
    return TRUE;
}

} // namespace

bool installInterruptHandlers()
{
    gWakeEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (gWakeEvent == nullptr)
        return false;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    return true;
}

void removeInterruptHandlers()
{
    if (gWakeEvent != nullptr)
        ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

int interruptWakeFd()
{
    return -1;
}

void* interruptWakeEvent()
{
    return gWakeEvent;
}

void drainInterruptWakeUps()
{
}

void keepHandlersOut()
{
    gRuleMutex.lock();
}

void letHandlersIn()
{
    gRuleMutex.unlock();
}

void holdInterruptSignals()
{
    gInterruptState.holding = 1;
}

void releaseInterruptSignals()
{
    gInterruptState.holding = 0;
}

bool interruptSignalWaiting()
{
    return false;
}

void endByFirstInterrupt()
{
    // As a program without a handler ends on Ctrl-C.
    std::_Exit(int(STATUS_CONTROL_C_EXIT));
}

} // namespace ZRN
