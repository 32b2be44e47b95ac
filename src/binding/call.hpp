// The one mechanism every callable goes through: guard, bind, claim, convert, run,
// convert back, release. An operation is a struct with a `signature` (its parameter
// description), a `run` function over C++ values and, for instance methods, a `claim`.
#pragma once

#include "binding/claim.hpp"
#include "binding/conversion.hpp"
#include "binding/errors.hpp"
#include "binding/heap_type.hpp"
#include "binding/signature.hpp"

#include <tuple>
#include <type_traits>

namespace vek::binding {

// A result that becomes a new instance of `Class` (e.g. an engine from a secret).
template <class Class>
struct NewObject {
    typename Class::State state;
    PyTypeObject* type = nullptr;  // the class requested of a constructor; else Class::type()
};

namespace detail {

// A value or a failure: a domain error, or any error type that has a `raise` of its own.
template <class T>
struct is_result : std::false_type {};
template <class T, class E>
struct is_result<std::expected<T, E>> : std::true_type {};

template <class Class>
PyObject* to_python_value(NewObject<Class>&& object) {
    PyTypeObject* type = object.type != nullptr ? object.type : Class::type();
    if (type == nullptr) return nullptr;
    return new_instance(type, std::move(object.state));
}
template <class T>
PyObject* to_python_value(T&& value) {
    return to_python(std::forward<T>(value));
}

// Gives the interpreter lock up for its lifetime, so that other Python threads run while
// this one does cryptographic work. Taken back on every path out, exceptions included,
// before anything touches a Python object again.
class LockReleased {
public:
    LockReleased() : thread_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { PyEval_RestoreThread(thread_); }

private:
    PyThreadState* thread_;
};

// Calls `run`, without the interpreter lock when `Unlocked`: such operations take and
// return C++ values only, and the texts they read belong to argument objects that the
// caller keeps alive for the whole call.
template <bool Unlocked, class Run>
decltype(auto) invoke(Run&& run) {
    if constexpr (Unlocked) {
        LockReleased released;
        return run();
    } else {
        return run();
    }
}

// Runs the operation and converts what it returns: nothing becomes None, a domain error
// is raised, any other value is converted.
template <bool Unlocked = false, class Run>
PyObject* run_operation(Run&& run) {
    using R = std::invoke_result_t<Run>;
    if constexpr (std::is_void_v<R>) {
        invoke<Unlocked>(run);
        Py_RETURN_NONE;
    } else if constexpr (is_result<R>::value) {
        R result = invoke<Unlocked>(run);
        if (!result) return raise(result.error());
        if constexpr (std::is_void_v<typename R::value_type>) {
            Py_RETURN_NONE;
        } else {
            return to_python_value(std::move(*result));
        }
    } else {
        return to_python_value(invoke<Unlocked>(run));
    }
}

// An operation that declares `static constexpr bool releases_lock = true` runs without
// the interpreter lock. Only the engine's cryptographic operations do: they are long and
// read nothing shared. The builder keeps the lock: its operations are short and mutate.
template <class Op>
constexpr bool releases_lock = requires { requires Op::releases_lock; };

// The parameter types of an operation's `run`, optionally without the leading state.
template <class F>
struct run_traits;
template <class R, class... A>
struct run_traits<R (*)(A...)> {
    using params = std::tuple<std::remove_cvref_t<A>...>;
};
template <class Tuple>
struct drop_first;
template <class First, class... Rest>
struct drop_first<std::tuple<First, Rest...>> {
    using type = std::tuple<Rest...>;
};

template <class T>
bool convert_one(const Signature& signature, std::size_t index, PyObject* object, std::optional<T>& out) {
    // Constructed in place: a value that holds a claim can be moved but not assigned.
    auto value = from_python<T>(object);
    if (!value) {
        name_the_argument(signature.params[index]);
        return false;
    }
    out.emplace(std::move(*value));
    return true;
}

// Converts the bound slots in declaration order (the first failure stops), then calls
// `call` with the converted values.
template <bool Unlocked, class... Args, std::size_t... I, class Call>
PyObject* convert_and_call(const Signature& signature, PyObject** slots, std::tuple<Args...>*,
                           std::index_sequence<I...>, Call&& call) {
    std::tuple<std::optional<Args>...> converted;
    if (!(convert_one(signature, I, slots[I], std::get<I>(converted)) && ...)) return nullptr;
    return run_operation<Unlocked>([&] { return call(std::move(*std::get<I>(converted))...); });
}

template <class Op, class Params, class Call>
PyObject* convert_and_call(PyObject** slots, Call&& call) {
    return convert_and_call<releases_lock<Op>>(Op::signature, slots, static_cast<Params*>(nullptr),
                                               std::make_index_sequence<std::tuple_size_v<Params>>{},
                                               std::forward<Call>(call));
}

// The receiver check and the claim of an instance method or property.
template <class Class>
std::optional<Claim> claim_receiver(PyObject* self, ClaimKind kind) {
    PyTypeObject* type = Class::type();
    if (type == nullptr) return std::nullopt;
    if (!PyObject_TypeCheck(self, type)) {
        raise_conversion_error(self, Class::name);
        return std::nullopt;
    }
    return Claim::take(self, instance_of<typename Class::State>(self)->claim, kind);
}

template <class Class>
typename Class::State& state_of(PyObject* self) {
    return instance_of<typename Class::State>(self)->state;
}

}  // namespace detail

// Entry points, one per calling convention.

template <class Class, class Op>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[kMaxParams] = {};
        if (!bind_fastcall(Op::signature, args, nargsf, kwnames, slots)) return nullptr;
        auto claim = detail::claim_receiver<Class>(self, Op::claim);
        if (!claim) return nullptr;
        auto& state = detail::state_of<Class>(self);
        using Params = typename detail::drop_first<typename detail::run_traits<decltype(&Op::run)>::params>::type;
        return detail::convert_and_call<Op, Params>(slots, [&](auto&&... values) { return Op::run(state, values...); });
    });
}

template <class Class, class Op>
PyObject* noargs_entry(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto claim = detail::claim_receiver<Class>(self, Op::claim);
        if (!claim) return nullptr;
        return detail::run_operation<detail::releases_lock<Op>>([&] { return Op::run(detail::state_of<Class>(self)); });
    });
}

template <class Class, class Op>
PyObject* getter_entry(PyObject* self, void*) {
    return noargs_entry<Class, Op>(self, nullptr);
}

// Module functions and static methods: no receiver, no claim.
template <class Op>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[kMaxParams] = {};
        if (!bind_fastcall(Op::signature, args, nargsf, kwnames, slots)) return nullptr;
        using Params = typename detail::run_traits<decltype(&Op::run)>::params;
        return detail::convert_and_call<Op, Params>(slots, [](auto&&... values) { return Op::run(values...); });
    });
}

// The constructor slot: the state is computed first, so a failure allocates nothing.
template <class Class, class Op>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[kMaxParams] = {};
        if (!bind_tuple(Op::signature, args, kwargs, slots)) return nullptr;
        using Params = typename detail::run_traits<decltype(&Op::run)>::params;
        return detail::convert_and_call<Op, Params>(slots, [&](auto&&... values) {
            auto state = Op::run(values...);
            using R = decltype(state);
            if constexpr (detail::is_result<R>::value) {
                // A domain error or a refusal, whichever the operation reports.
                using Made = std::expected<NewObject<Class>, typename R::error_type>;
                return state ? Made(NewObject<Class>{std::move(*state), type}) : Made(std::unexpected(state.error()));
            } else {
                return NewObject<Class>{std::move(state), type};
            }
        });
    });
}

// Method-table rows.

template <class Class, class Op>
PyMethodDef method() {
    constexpr bool no_args = Op::signature.count == 0;
    if constexpr (no_args) {
        return {Op::signature.name, noargs_entry<Class, Op>, METH_NOARGS,
                documentation(Op::signature, true)};
    } else {
        return {Op::signature.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method_entry<Class, Op>)),
                METH_FASTCALL | METH_KEYWORDS, documentation(Op::signature, true)};
    }
}

template <class Op>
PyMethodDef static_method() {
    return {Op::signature.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_entry<Op>)),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, documentation(Op::signature, false)};
}

template <class Op>
PyMethodDef function() {
    return {Op::signature.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_entry<Op>)),
            METH_FASTCALL | METH_KEYWORDS, documentation(Op::signature, false)};
}

template <class Class, class Op>
PyGetSetDef property() {
    return {Op::signature.name, getter_entry<Class, Op>, nullptr, "", nullptr};
}

}  // namespace vek::binding
