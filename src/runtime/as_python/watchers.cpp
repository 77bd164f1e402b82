#include "runtime/as_python/watchers.h"

namespace norvix {

std::atomic<unsigned long long> g_namespace_epoch{1};

namespace {

int namespace_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    g_namespace_epoch.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// Dict watcher ids are few and shared by every extension of an interpreter,
// so all imports of the module share one: it lives in a capsule in the
// interpreter's dict, held by every Context that uses it, and is given back
// when the last of them goes.
constexpr const char kWatcherKey[] = "norvix_datafeed._dict_watcher";

struct Watcher {
    PyDict_WatchCallback callback;  // tells a copy of this module from another build
    int id;
    int users;
    // The dicts watched and how many Contexts watch each; every Context
    // holds its dicts, so a counted pointer stays valid.
    struct Watched {
        PyObject* dict;
        Py_ssize_t users;
    } * dicts;
    Py_ssize_t ndicts;
};

Watcher* watcher_of(PyObject* capsule) noexcept {
    return static_cast<Watcher*>(PyCapsule_GetPointer(capsule, kWatcherKey));
}

void free_watcher(PyObject* capsule) noexcept {
    Watcher* w = watcher_of(capsule);
    if (!w) {
        PyErr_Clear();
        return;
    }
    PyMem_Free(w->dicts);
    PyMem_Free(w);
}

// The interpreter's watcher, created on first use; nullptr (no exception)
// when there is none to be had.
Ref shared_watcher() noexcept {
    PyObject* interp = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!interp) return {};
    Ref capsule;
    if (PyDict_GetItemStringRef(interp, kWatcherKey, capsule.out()) < 0) {
        PyErr_Clear();
        return {};
    }
    if (capsule) {
        Watcher* w =
            PyCapsule_IsValid(capsule.get(), kWatcherKey) ? watcher_of(capsule.get()) : nullptr;
        if (!w || w->callback != namespace_changed) return {};
        return capsule;
    }
    auto* w = static_cast<Watcher*>(PyMem_Calloc(1, sizeof(Watcher)));
    if (!w) {
        PyErr_Clear();
        return {};
    }
    w->callback = namespace_changed;
    w->id = PyDict_AddWatcher(namespace_changed);
    if (w->id < 0) {
        PyErr_Clear();
        PyMem_Free(w);
        return {};
    }
    capsule = Ref::steal(PyCapsule_New(w, kWatcherKey, free_watcher));
    if (!capsule || PyDict_SetItemString(interp, kWatcherKey, capsule.get()) < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(w->id);
        PyErr_Clear();
        if (!capsule) PyMem_Free(w);
        return {};
    }
    return capsule;
}

// Watches `dict` for one more Context.
int watch(Watcher* w, PyObject* dict) noexcept {
    for (Py_ssize_t i = 0; i < w->ndicts; ++i)
        if (w->dicts[i].dict == dict) {
            ++w->dicts[i].users;
            return 0;
        }
    auto* grown = static_cast<Watcher::Watched*>(
        PyMem_Realloc(w->dicts, sizeof(Watcher::Watched) * (w->ndicts + 1)));
    if (!grown) return -1;
    w->dicts = grown;
    if (PyDict_Watch(w->id, dict) < 0) {
        PyErr_Clear();
        return -1;
    }
    w->dicts[w->ndicts++] = {dict, 1};
    return 0;
}

void unwatch(Watcher* w, PyObject* dict) noexcept {
    for (Py_ssize_t i = 0; i < w->ndicts; ++i) {
        if (w->dicts[i].dict != dict) continue;
        if (--w->dicts[i].users == 0) {
            PyDict_Unwatch(w->id, dict);
            PyErr_Clear();
            w->dicts[i] = w->dicts[--w->ndicts];
        }
        return;
    }
}

}  // namespace

void stop_watching(Context* c) noexcept {
    if (!c->watcher) return;
    PyObject* pending = PyErr_GetRaisedException();
    Watcher* w = watcher_of(c->watcher);
    if (w) {
        unwatch(w, c->globals);
        unwatch(w, c->builtins);
        if (--w->users == 0) {
            PyDict_ClearWatcher(w->id);
            PyErr_Clear();
            w->id = -1;
            // Forget it, so that a later import takes a fresh id.
            if (PyObject* interp = PyInterpreterState_GetDict(PyInterpreterState_Get())) {
                PyObject* current = nullptr;
                if (PyDict_GetItemStringRef(interp, kWatcherKey, &current) > 0 &&
                    current == c->watcher)
                    PyDict_DelItemString(interp, kWatcherKey);
                Py_XDECREF(current);
            }
        }
    }
    PyErr_Clear();
    Py_CLEAR(c->watcher);
    PyErr_SetRaisedException(pending);
}

void start_watching(Context* c) noexcept {
    if (!PyDict_CheckExact(c->builtins)) return;
    Ref capsule = shared_watcher();
    if (!capsule) return;
    Watcher* w = watcher_of(capsule.get());
    if (watch(w, c->globals) < 0) return;
    if (watch(w, c->builtins) < 0) {
        unwatch(w, c->globals);
        return;
    }
    ++w->users;
    c->watcher = capsule.release();
    c->cache_epoch = 0;  // never current: the first lookup starts an epoch
}

bool str_keys_only(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

}  // namespace norvix
