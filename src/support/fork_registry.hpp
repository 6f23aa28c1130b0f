// The live objects of one class that the child of a fork() must mend.
//
// After fork() the child runs one thread, the one that forked, in a copy of
// the parent's memory: a lock that another thread of the parent held stays
// held for ever, a descriptor is shared with the parent. A class whose
// objects need mending enters each object here at the end of its
// constructor and makes it leave at the start of its destructor; in the
// child, before fork() returns, `obj->mend_after_fork()` is called for every
// object entered (it must do only what is safe in a forked child: no
// allocation, no lock another thread could hold), and those for which it
// returns false leave the registry.
//
// The registry is a list threaded through the objects (an `Entry` member
// each), so entering never allocates and never fails. Its mutex is taken by
// the fork's prepare handler and released after the fork in both processes,
// so the child never sees an object half entered or half gone.
#pragma once

#include <pthread.h>

#include <mutex>

#include "support/panic.hpp"

namespace rotalink::support {

template <class T>
class ForkRegistry {
public:
    // An object's place in the registry; an object has one, not copied.
    class Entry {
    public:
        Entry() = default;
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

    private:
        friend class ForkRegistry;
        T* obj = nullptr;
        Entry* prev = nullptr;
        Entry* next = nullptr;
    };

    // The registry's mutex: hold it to make an object ready and enter it as
    // one step, with no fork in between.
    static std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(state().mutex); }

    static void enter(T* obj, Entry& e) {
        std::unique_lock<std::mutex> held = hold();
        enter(held, obj, e);
    }
    static void enter(const std::unique_lock<std::mutex>& held, T* obj, Entry& e) {
        ROTALINK_ASSERT(held.owns_lock() && e.obj == nullptr, "an object entered the fork registry twice");
        Entry& head = instance().head;
        e.obj = obj;
        e.prev = &head;
        e.next = head.next;
        if (head.next != nullptr) head.next->prev = &e;
        head.next = &e;
    }

    // Harmless for an entry that has already left (in a forked child).
    static void leave(Entry& e) {
        std::unique_lock<std::mutex> held = hold();
        leave(held, e);
    }
    static void leave(const std::unique_lock<std::mutex>&, Entry& e) { unlink(e); }

private:
    struct State {
        std::mutex mutex;
        Entry head;  // a sentinel: head.next is the first object
    };

    // Never destroyed: an object may leave after static destructors ran.
    static State& instance() {
        static State* const s = new State;
        return *s;
    }
    // The handlers use `instance` alone: they run while the C library holds
    // its fork lock, which the installing thread may be waiting for.
    static State& state() {
        State& s = instance();
        static const bool installed = [] {
            ROTALINK_ASSERT(pthread_atfork(&prepare, &parent, &child) == 0, "fork handlers cannot be installed");
            return true;
        }();
        (void)installed;
        return s;
    }

    static void unlink(Entry& e) {
        if (e.prev == nullptr) return;
        e.prev->next = e.next;
        if (e.next != nullptr) e.next->prev = e.prev;
        e.prev = e.next = nullptr;
        e.obj = nullptr;
    }

    static void prepare() { instance().mutex.lock(); }
    static void parent() { instance().mutex.unlock(); }
    static void child() {
        State& s = instance();
        for (Entry* e = s.head.next; e != nullptr;) {
            Entry* next = e->next;
            if (!e->obj->mend_after_fork()) unlink(*e);
            e = next;
        }
        s.mutex.unlock();
    }
};

}  // namespace rotalink::support
