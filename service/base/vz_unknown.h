// The reference-counted object model.
//
// Every library object derives from vzIUnknown. A freshly constructed object
// has count 0; its creator calls AddRef once, so a created object starts
// with count 1 owned by the creator, and Release of the last reference
// deletes it. Counts are plain integers: every user runs under the service
// lock (the connection context is the exception and counts atomically).
#pragma once

#include <atomic>
#include <cstdint>

#include "service/base/status_codes.h"

class vzIUnknown {
public:
    virtual vzStatus AddRef() = 0;
    virtual vzStatus Release() = 0;
    virtual vzStatus QueryInterface(std::uint32_t interfaceId, void** out) = 0;
    virtual ~vzIUnknown() = default;
};

// The shared implementation with a plain count.
template <class Interface>
class vzCRefCounted : public Interface {
public:
    vzStatus AddRef() override {
        ++refCount_;
        return kVzOk;
    }
    vzStatus Release() override {
        if (refCount_-- <= 1) delete this;
        return kVzOk;
    }
    vzStatus QueryInterface(std::uint32_t, void** out) override {
        if (out) *out = nullptr;
        return kNoInterface;
    }
    int RefCount() const { return refCount_; }

protected:
    vzCRefCounted() = default;

private:
    int refCount_ = 0;
};

// The same with interlocked counting, for objects touched by more than one
// thread without the service lock.
template <class Interface>
class vzCAtomicRefCounted : public Interface {
public:
    vzStatus AddRef() override {
        refCount_.fetch_add(1);
        return kVzOk;
    }
    vzStatus Release() override {
        if (refCount_.fetch_sub(1) <= 1) delete this;
        return kVzOk;
    }
    vzStatus QueryInterface(std::uint32_t, void** out) override {
        if (out) *out = nullptr;
        return kNoInterface;
    }
    int RefCount() const { return refCount_.load(); }

protected:
    vzCAtomicRefCounted() = default;

private:
    std::atomic<int> refCount_{0};
};
