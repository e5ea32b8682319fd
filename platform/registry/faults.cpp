// Test hooks of the store: injected failures by operation, key and value name,
// and an observer told of every key open.

#include <atomic>
#include <mutex>

#include "platform/registry/key_names.h"
#include "platform/registry/registry.h"

namespace varolan::reg {

namespace {

struct Fault {
    Op op;
    std::string key;    // folded, normalised; empty = any
    std::string value;  // folded; empty = any
    LONG status;
    unsigned count;  // 0 = every call
};

// Never destroyed: detached session threads may still call the store while the
// process exits.
std::mutex& faults_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::vector<Fault>& faults() {
    static std::vector<Fault>* f = new std::vector<Fault>;
    return *f;
}

std::atomic<bool> g_observing{false};
std::mutex& observer_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
OpenObserver& observer() {
    static OpenObserver* o = new OpenObserver;
    return *o;
}

}  // namespace

LONG injected(Op op, std::string_view key_path, std::string_view value_name) {
    std::lock_guard lock(faults_mutex());
    auto& list = faults();
    if (list.empty()) {
        return ERROR_SUCCESS;
    }
    std::string key = fold(join_path(split_path(key_path)));
    std::string value = fold(value_name);
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->op != op || (!it->key.empty() && it->key != key) ||
            (!it->value.empty() && it->value != value)) {
            continue;
        }
        LONG status = it->status;
        if (it->count > 0 && --it->count == 0) {
            list.erase(it);
        }
        return status;
    }
    return ERROR_SUCCESS;
}

void observe_open(Op op, const std::string& path, DWORD access) {
    if (!g_observing.load(std::memory_order_acquire)) {
        return;
    }
    OpenObserver copy;
    {
        std::lock_guard lock(observer_mutex());
        copy = observer();
    }
    // Called without the lock, so the observer may use the store itself.
    if (copy) {
        copy(op, path, access);
    }
}

void inject_fault(Op op, std::string_view key_path, std::string_view value_name, LONG status,
                  unsigned count) {
    std::lock_guard lock(faults_mutex());
    faults().push_back(
        Fault{op, fold(join_path(split_path(key_path))), fold(value_name), status, count});
}

void clear_faults() {
    std::lock_guard lock(faults_mutex());
    faults().clear();
}

void set_open_observer(OpenObserver o) {
    std::lock_guard lock(observer_mutex());
    g_observing.store(static_cast<bool>(o), std::memory_order_release);
    observer() = std::move(o);
}

}  // namespace varolan::reg
