// Mutexes with Windows rules: named ones live in a process-wide table while
// any handle to them is open; ownership belongs to a thread, is recursive,
// and only the owning thread can give it up (ReleaseMutex from any other
// thread fails with ERROR_NOT_OWNER, exactly as on Windows).
//
// Left out: abandonment (a mutex whose owner thread ends stays owned by
// it), and visibility across processes, which the launcher's tests play
// inside one process.

#include "state.h"

#include <chrono>
#include <map>

namespace {

std::mutex names_lock;  // guards the table and every object's handle count
std::map<std::string, std::shared_ptr<MutexObject>> named;  // named mutexes by exact name

}  // namespace

/* Creates a mutex, or opens the existing one of that name (names compare
   exactly, as kernel object names do). Opening gives a new handle without
   ownership and sets ERROR_ALREADY_EXISTS; creating sets ERROR_SUCCESS and,
   with initial_owner, makes the calling thread the owner. */
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initial_owner, LPCSTR name) {
    LOG_CALL("CreateMutexA", {std::to_string(initial_owner), Text(name)});
    if (FaultHit(FAULT_MUTEX)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::shared_ptr<MutexObject> mutex;
    bool existed = false;  // an object of that name was already there
    {
        std::lock_guard<std::mutex> hold(names_lock);
        auto found = name ? named.find(name) : named.end();
        if (found != named.end()) {
            mutex = found->second;
            existed = true;
        } else {
            mutex = std::make_shared<MutexObject>();
            mutex->name = name ? name : "";
            if (initial_owner) {
                mutex->owner = std::this_thread::get_id();
                mutex->recursion = 1;
            }
            if (name) {
                named[name] = mutex;
            }
        }
        mutex->handles++;
    }
    auto object = std::make_shared<KernelObject>();
    object->kind = OBJ_MUTEX;
    object->mutex = mutex;
    HANDLE handle = NewHandle(object);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

/* Gives up one level of ownership; the mutex is free once every level is
   given up. Fails with ERROR_NOT_OWNER unless the calling thread owns it. */
BOOL ReleaseMutex(HANDLE handle) {
    LOG_CALL("ReleaseMutex", {HandleText(handle)});
    std::shared_ptr<KernelObject> object = FindHandle(handle, OBJ_MUTEX);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    MutexObject& mutex = *object->mutex;
    std::lock_guard<std::mutex> hold(mutex.lock);
    if (mutex.recursion == 0 || mutex.owner != std::this_thread::get_id()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    if (--mutex.recursion == 0) {
        mutex.owner = std::thread::id();
        mutex.changed.notify_all();
    }
    return TRUE;
}

/* Takes the mutex for the calling thread, again if it owns it already;
   waits at most milliseconds (INFINITE: without limit) for the owner to give
   it up. */
DWORD WaitForMutex(const std::shared_ptr<KernelObject>& object, DWORD milliseconds) {
    MutexObject& mutex = *object->mutex;
    std::unique_lock<std::mutex> hold(mutex.lock);
    std::thread::id me = std::this_thread::get_id();
    if (mutex.recursion > 0 && mutex.owner == me) {
        mutex.recursion++;
        return WAIT_OBJECT_0;
    }
    auto free = [&] { return mutex.recursion == 0; };
    if (milliseconds == INFINITE) {
        mutex.changed.wait(hold, free);
    } else if (!mutex.changed.wait_for(hold, std::chrono::milliseconds(milliseconds), free)) {
        return WAIT_TIMEOUT;
    }
    mutex.owner = me;
    mutex.recursion = 1;
    return WAIT_OBJECT_0;
}

/* The last handle takes the name with it, so a later CreateMutexA of the
   same name creates a fresh object. */
void CloseMutexHandle(const std::shared_ptr<KernelObject>& object) {
    std::lock_guard<std::mutex> hold(names_lock);
    MutexObject& mutex = *object->mutex;
    if (--mutex.handles == 0 && !mutex.name.empty()) {
        auto found = named.find(mutex.name);
        if (found != named.end() && found->second == object->mutex) {
            named.erase(found);
        }
    }
}
