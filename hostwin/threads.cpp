// Threads, sleeping and waiting: KERNEL32's Sleep and WaitForSingleObject, and the runtime
// library's _beginthreadex and _endthreadex, on pthreads. A thread start can be made to fail.
#include "shared.h"

#include <process.h>

#include <errno.h>

#include <chrono>
#include <thread>

namespace hostwin {
namespace shared {
namespace {

struct ThreadState {
    bool failStart = false;
    ThreadStats stats;
};
ThreadState *g_threads = new ThreadState;

struct ThreadStart {
    unsigned(__stdcall *start)(void *);
    void *argument;
};

void *ThreadTrampoline(void *p)
{
    ThreadStart ts = *(ThreadStart *)p;
    delete (ThreadStart *)p;
    unsigned code = ts.start(ts.argument);
    Guard lock(g_lock);
    g_threads->stats.lastExitCode = code;
    return nullptr;
}

}  // namespace

void ResetThreads() { *g_threads = ThreadState(); }

}  // namespace shared

using namespace shared;

void FailThreadStart(bool fail)
{
    Guard lock(g_lock);
    g_threads->failStart = fail;
}

ThreadStats Threads()
{
    Guard lock(g_lock);
    return g_threads->stats;
}

}  // namespace hostwin

using namespace hostwin::shared;

void Sleep(DWORD milliseconds)
{
    {
        Guard lock(g_lock);
        g_threads->stats.sleeps.push_back(milliseconds);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    pthread_t thread;
    {
        Guard lock(g_lock);
        Handle *h = FindHandle(handle, Handle::Thread);
        if (h == nullptr || milliseconds != INFINITE) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (h->ended) return WAIT_OBJECT_0;
        thread = h->thread;
    }
    // Outside the lock: the thread may need it to finish.
    pthread_join(thread, nullptr);
    Guard lock(g_lock);
    Handle *h = FindHandle(handle, Handle::Thread);
    if (h != nullptr) h->ended = true;
    g_threads->stats.joined++;
    return WAIT_OBJECT_0;
}

uintptr_t _beginthreadex(void *security, unsigned stackSize, unsigned(__stdcall *start)(void *),
                         void *argument, unsigned flags, unsigned *threadId)
{
    Guard lock(g_lock);
    if (security != nullptr || stackSize != 0 || flags != 0 || start == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (g_threads->failStart) {
        errno = EAGAIN;
        return 0;
    }
    Handle h{Handle::Thread};
    if (pthread_create(&h.thread, nullptr, ThreadTrampoline, new ThreadStart{start, argument}) != 0)
        return 0;
    g_threads->stats.started++;
    if (threadId) *threadId = (unsigned)g_threads->stats.started;
    return NewHandle(std::move(h));
}

void _endthreadex(unsigned exitCode)
{
    {
        Guard lock(g_lock);
        g_threads->stats.exitCalls++;
        g_threads->stats.lastExitCode = exitCode;
    }
    pthread_exit(nullptr);
}
