// The Windows side of the interrupt guard: the console's control handler, which
// Windows runs on a thread of its own for each event.

#include "interrupthandlers.h"

#include "interruptrule.h"
#include "console/jsonevents.h"
#include "console/progress.h"
#include "terminalchannel.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include <windows.h>

namespace ZRN {

namespace {

HANDLE gWakeEvent = nullptr; // the handler's word to the waits
std::mutex gRuleMutex;       // the handler's look at the critical mark, against its setting

// The exit code of a stop by an interrupt: a batch file's `if errorlevel 1` sees
// it (STATUS_CONTROL_C_EXIT, the code of a program without a handler, is negative,
// and reads as success there).
constexpr UINT STOPPED_EXIT_CODE = 1;
// How long the last line may take to write: a pipe nobody reads, or a console
// whose text a person is selecting, would hold it up for good.
constexpr DWORD LAST_LINE_TIME_LIMIT_MS = 2000;

DWORD WINAPI writeErasedLine(void*)
{
    // On a line of its own: after an open progress line, a fresh one first.
    char line[sizeof gErasedLine + 1];
    line[0] = '\n';
    std::memcpy(line + 1, gErasedLine, sizeof gErasedLine - 1);
    line[sizeof gErasedLine] = '\n';
    const bool fresh = progressLineOpen();
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), fresh ? line : line + 1, fresh ? sizeof line : sizeof line - 1,
                &written, nullptr);
    writeToTerminal(line + 1, sizeof line - 1);
    return 0;
}

// Ends the process, from the handler. sayErased (the rule's StopErased): it first
// says what it leaves, on standard error and on the console.
[[noreturn]] void stopFromHandler(bool sayErased)
{
    writeInterruptedEnd(int(STOPPED_EXIT_CODE), sayErased);
    if (sayErased) {
        const HANDLE writer = ::CreateThread(nullptr, 0, writeErasedLine, nullptr, 0, nullptr);
        if (writer != nullptr) {
            ::WaitForSingleObject(writer, LAST_LINE_TIME_LIMIT_MS);
            ::CloseHandle(writer);
        }
    }
    ::TerminateProcess(::GetCurrentProcess(), STOPPED_EXIT_CODE);
    std::_Exit(int(STOPPED_EXIT_CODE));
}

// No Qt here.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    InterruptAction action = InterruptAction::None;
    {
        const std::lock_guard<std::mutex> lock(gRuleMutex);
        action = noteInterrupt(gInterruptState, int(event) + 1, event != CTRL_CLOSE_EVENT);
    }
    if (action == InterruptAction::Stop || action == InterruptAction::StopErased)
        stopFromHandler(action == InterruptAction::StopErased);
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
    std::_Exit(int(STOPPED_EXIT_CODE));
}

} // namespace ZRN
