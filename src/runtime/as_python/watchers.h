// runtime/as_python/: the machinery whose only job is to make the native
// code pass for the Python it stands for.
//
// Dict watchers over the namespaces a Context reads its globals from.
//
// A native method reads a module global on every use, as LOAD_GLOBAL does;
// the Context answers repeated reads from a cache (load_global in
// runtime/context.h) only while neither the module namespace nor the
// builtins have changed, which these watchers tell it.  They exist so that
// the cache can never give what the Python code would not see.
#pragma once

#include <atomic>

#include "runtime/context.h"

namespace norvix {

// Bumped whenever a watched namespace changes.  A plain counter: it only
// tells cached lookups that they may be stale.
extern std::atomic<unsigned long long> g_namespace_epoch;

inline unsigned long long namespace_epoch() noexcept {
    return g_namespace_epoch.load(std::memory_order_relaxed);
}

// Watches the Context's globals and builtins, setting c->watcher; without a
// watcher (none left in the interpreter, or builtins that are not a dict)
// c->watcher stays null and lookups simply go to the dicts every time.
void start_watching(Context* c) noexcept;

// Stops watching for the Context, giving the interpreter's watcher back when
// it was the last to use it; a pending exception is kept.
void stop_watching(Context* c) noexcept;

// Whether looking a name up in `dict` can run no Python code: only keys
// that are exact str compare without it.
bool str_keys_only(PyObject* dict) noexcept;

}  // namespace norvix
