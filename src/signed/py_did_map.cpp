// Python entry points of the DID map. Each map has its own mutex: root(), update(), discard()
// and the construction of a large map hash or move many entries without the interpreter lock,
// and another thread may call into the same map meanwhile. A thread that finds the mutex held
// waits for it with the interpreter lock given up, so the holder can always take that back.
#include "signed/py_did_map.hpp"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "binding/call.hpp"
#include "tlog/did_map.hpp"

namespace vek::tlog {

struct GuardedMap {
    explicit GuardedMap(DidMap initial) : map(std::move(initial)) {}
    std::mutex mutex;
    DidMap map;
};

// Arguments, each read whole under the interpreter lock before anything changes.
struct KeyArgument {
    Hash key;
};
struct PairsArgument {
    std::vector<MapPair> pairs;
};
struct KeysArgument {
    std::vector<Hash> keys;
};

}  // namespace vek::tlog

namespace vek::binding {
namespace {

constexpr const char* kPairsOf32 = "map keys and values are 32 bytes";
constexpr const char* kKeysOf32 = "map keys are 32 bytes";

bool copy_hash(PyObject* object, tlog::Hash& out, const char* wrong_length) {
    if (!PyBytes_Check(object)) {
        PyErr_Format(PyExc_TypeError, "map keys and values are bytes, not %s", Py_TYPE(object)->tp_name);
        return false;
    }
    if (PyBytes_GET_SIZE(object) != static_cast<Py_ssize_t>(out.size())) {
        PyErr_SetString(PyExc_ValueError, wrong_length);
        return false;
    }
    std::memcpy(out.data(), PyBytes_AS_STRING(object), out.size());
    return true;
}

bool copy_pair(PyObject* item, tlog::MapPair& pair) {
    const PyRef fields = PyRef::steal(PySequence_Fast(item, "map pairs are (key, value)"));
    if (!fields) return false;
    if (PySequence_Fast_GET_SIZE(fields.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "map pairs are (key, value)");
        return false;
    }
    return copy_hash(PySequence_Fast_GET_ITEM(fields.get(), 0), pair.key, kPairsOf32) &&
           copy_hash(PySequence_Fast_GET_ITEM(fields.get(), 1), pair.value, kPairsOf32);
}

// Calls `read` on each item of an iterable; false with the error set.
template <class Read>
bool for_each_item(PyObject* iterable, Read&& read) {
    const PyRef iterator = PyRef::steal(PyObject_GetIter(iterable));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!read(item.get())) return false;
    }
    return PyErr_Occurred() == nullptr;
}

}  // namespace

template <>
std::optional<tlog::KeyArgument> from_python(PyObject* object) {
    tlog::KeyArgument argument;
    if (!copy_hash(object, argument.key, kKeysOf32)) return std::nullopt;
    return argument;
}

template <>
std::optional<tlog::PairsArgument> from_python(PyObject* object) {
    tlog::PairsArgument argument;
    if (const Py_ssize_t hint = PyObject_LengthHint(object, 0); hint > 0) {
        argument.pairs.reserve(static_cast<std::size_t>(hint));
    }
    PyErr_Clear();
    const bool read = for_each_item(object, [&](PyObject* item) { return copy_pair(item, argument.pairs.emplace_back()); });
    if (!read) return std::nullopt;
    return argument;
}

template <>
std::optional<tlog::KeysArgument> from_python(PyObject* object) {
    tlog::KeysArgument argument;
    const bool read =
        for_each_item(object, [&](PyObject* item) { return copy_hash(item, argument.keys.emplace_back(), kKeysOf32); });
    if (!read) return std::nullopt;
    return argument;
}

}  // namespace vek::binding

namespace vek::tlog {
namespace {

using binding::ClaimKind;
using binding::describe;
using binding::detail::LockReleased;
using State = std::unique_ptr<GuardedMap>;

struct DidMapClass {
    using State = tlog::State;
    static constexpr const char* name = "DidMap";
    static PyTypeObject* type();
};

constexpr const char* kClass = DidMapClass::name;
// Below this many pairs or keys the work is shorter than giving the interpreter lock up.
constexpr std::size_t kReleaseFrom = 256;

// Takes the map's mutex under the interpreter lock; while another thread holds the mutex,
// waits for it with the interpreter lock given up.
std::unique_lock<std::mutex> hold(GuardedMap& guarded) {
    std::unique_lock lock(guarded.mutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        LockReleased released;
        lock.lock();
    }
    return lock;
}

PyObject* bytes_of(const Hash& hash) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(hash.data()), static_cast<Py_ssize_t>(hash.size()));
}

struct Count {
    std::size_t value;
};
struct RootHash {
    Hash hash;
};
struct MaybeValue {
    std::optional<Hash> value;
};
struct Path {
    MapPath path;
};

PyObject* to_python(Count&& count) { return PyLong_FromSize_t(count.value); }
PyObject* to_python(RootHash&& root) { return bytes_of(root.hash); }
PyObject* to_python(MaybeValue&& found) { return found.value ? bytes_of(*found.value) : Py_NewRef(Py_None); }

// ((sibling, ...), (key, value) or None)
PyObject* to_python(Path&& result) {
    const MapPath& path = result.path;
    binding::PyRef siblings = binding::PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(path.siblings.size())));
    if (!siblings) return nullptr;
    for (std::size_t i = 0; i < path.siblings.size(); ++i) {
        PyObject* sibling = bytes_of(path.siblings[i]);
        if (sibling == nullptr) return nullptr;
        PyTuple_SET_ITEM(siblings.get(), static_cast<Py_ssize_t>(i), sibling);
    }
    binding::PyRef leaf = binding::PyRef::borrow(Py_None);
    if (path.leaf) {
        binding::PyRef key = binding::PyRef::steal(bytes_of(path.leaf->key));
        binding::PyRef value = binding::PyRef::steal(bytes_of(path.leaf->value));
        if (!key || !value) return nullptr;
        leaf = binding::PyRef::steal(PyTuple_Pack(2, key.get(), value.get()));
        if (!leaf) return nullptr;
    }
    return PyTuple_Pack(2, siblings.get(), leaf.get());
}

struct Construct {
    static constexpr auto signature = describe(kClass, "__new__", "pairs");
    static State run(PairsArgument pairs) {
        if (pairs.pairs.size() < kReleaseFrom) return std::make_unique<GuardedMap>(DidMap(std::move(pairs.pairs)));
        LockReleased released;
        return std::make_unique<GuardedMap>(DidMap(std::move(pairs.pairs)));
    }
};

struct Size {
    static constexpr auto signature = describe(kClass, "size");
    static constexpr auto claim = ClaimKind::Shared;
    static Count run(const State& guarded) {
        const auto lock = hold(*guarded);
        return {guarded->map.size()};
    }
};

struct Get {
    static constexpr auto signature = describe(kClass, "get", "key");
    static constexpr auto claim = ClaimKind::Shared;
    static MaybeValue run(const State& guarded, KeyArgument key) {
        const auto lock = hold(*guarded);
        return {guarded->map.get(key.key)};
    }
};

struct Update {
    static constexpr auto signature = describe(kClass, "update", "pairs");
    static constexpr bool releases_lock = true;
    static constexpr auto claim = ClaimKind::Shared;
    static void run(const State& guarded, PairsArgument pairs) {
        const std::lock_guard lock(guarded->mutex);
        guarded->map.update(std::move(pairs.pairs));
    }
};

struct Discard {
    static constexpr auto signature = describe(kClass, "discard", "keys");
    static constexpr bool releases_lock = true;
    static constexpr auto claim = ClaimKind::Shared;
    static void run(const State& guarded, KeysArgument keys) {
        const std::lock_guard lock(guarded->mutex);
        guarded->map.discard(keys.keys);
    }
};

struct Root {
    static constexpr auto signature = describe(kClass, "root");
    static constexpr bool releases_lock = true;
    static constexpr auto claim = ClaimKind::Shared;
    static RootHash run(const State& guarded) {
        const std::lock_guard lock(guarded->mutex);
        return {guarded->map.root()};
    }
};

struct Prove {
    static constexpr auto signature = describe(kClass, "prove", "key");
    static constexpr auto claim = ClaimKind::Shared;
    // After a change, a proof may hash large subtrees afresh; once settled, only a few small ones.
    static Path run(const State& guarded, KeyArgument key) {
        const auto lock = hold(*guarded);
        DidMap& map = guarded->map;
        if (map.settled() || map.size() < kReleaseFrom) return {map.prove(key.key)};
        LockReleased released;
        return {map.prove(key.key)};
    }
};

PyTypeObject* create_did_map_class() {
    static PyMethodDef methods[] = {
        binding::method<DidMapClass, Get>(),     binding::method<DidMapClass, Update>(),
        binding::method<DidMapClass, Discard>(), binding::method<DidMapClass, Root>(),
        binding::method<DidMapClass, Prove>(),   {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef properties[] = {
        binding::property<DidMapClass, Size>(),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return binding::create_class({
        .name = kClass,
        .constructor_signature = "(pairs)",
        .basic_size = sizeof(binding::Instance<State>),
        .construct = binding::constructor_entry<DidMapClass, Construct>,
        .dealloc = binding::dealloc_instance<State>,
        .methods = methods,
        .properties = properties,
    });
}

PyTypeObject* DidMapClass::type() {
    static PyTypeObject* cell = nullptr;
    if (cell == nullptr) cell = create_did_map_class();
    return cell;
}

}  // namespace

bool add_did_map(PyObject* module) {
    PyTypeObject* type = DidMapClass::type();
    return type != nullptr && PyModule_AddObjectRef(module, DidMapClass::name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace vek::tlog
