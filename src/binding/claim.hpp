// The per-instance claim counter: 0 free, n > 0 shared claims, -1 one exclusive claim.
#pragma once

#include "binding/py_ref.hpp"

#include <atomic>
#include <cstdint>
#include <optional>

namespace vek::binding {

enum class ClaimKind { Shared, Exclusive };

using ClaimCounter = std::atomic<std::intptr_t>;

// Holds a claim and a reference to its instance; releases both when it goes out of scope.
class Claim {
public:
    // Takes the claim, or sets RuntimeError and returns nothing when it conflicts.
    static std::optional<Claim> take(PyObject* instance, ClaimCounter& counter, ClaimKind kind) {
        if (kind == ClaimKind::Exclusive) {
            std::intptr_t expected = 0;
            if (!counter.compare_exchange_strong(expected, -1)) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return std::nullopt;
            }
        } else {
            std::intptr_t current = counter.load();
            do {
                if (current == -1) {
                    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                    return std::nullopt;
                }
            } while (!counter.compare_exchange_weak(current, current + 1));
        }
        return Claim(instance, counter, kind);
    }

    Claim(Claim&& other) noexcept
        : instance_(std::move(other.instance_)), counter_(std::exchange(other.counter_, nullptr)), kind_(other.kind_) {}
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    Claim& operator=(Claim&&) = delete;

    ~Claim() {
        if (counter_ == nullptr) return;
        if (kind_ == ClaimKind::Exclusive) {
            counter_->store(0);
        } else {
            counter_->fetch_sub(1);
        }
    }

private:
    Claim(PyObject* instance, ClaimCounter& counter, ClaimKind kind)
        : instance_(PyRef::borrow(instance)), counter_(&counter), kind_(kind) {}

    PyRef instance_;  // released after the counter, in reverse order of declaration
    ClaimCounter* counter_;
    ClaimKind kind_;
};

}  // namespace vek::binding
