// vzSmartPtr holds one reference to a library object and can create any of
// them from its class id.
//
// The objects behind the class ids live in the libraries above this one
// (transport, the protocol layers, TLS), so the table that maps an id to a
// constructor is installed from above: the service installs it before its
// worker starts (and a test program before its first test). Until then
// every CreateInstance fails.
#pragma once

#include <cstdint>
#include <utility>

#include "service/base/vz_unknown.h"

// Class ids understood by vzSmartPtr::CreateInstance. Ids below 0x2000 name
// platform primitives, ids from 0x2000 network objects; the layer ids are
// also the ids a protocol stack uses to push or find a layer.
enum vzClassId : std::uint32_t {
    kClassSocket = 4101,
    kClassTimer = 4102,
    kClassMutex = 4104,
    kClassQoSContext = 4106,
    kClassAgentLayer = 8195,
    kClassStreamDispatcher = 8198,
    kClassHttpClientExLayer = 8207,
    kClassCdnLocalClientLayer = 8213,
    kClassSecureSocketClientLayer = 8215,
    kClassProxyTunnelLayer = 8216,
};

// Creates the object a class id names with count 0, or null for an id it
// does not know.
using vzClassFactory = vzIUnknown* (*)(std::uint32_t classId);
// Installs the factory CreateInstance uses; any thread, before objects are
// created. Installing the same factory again changes nothing.
void vzSetClassFactory(vzClassFactory factory);

class vzSmartPtr {
public:
    vzSmartPtr() = default;
    explicit vzSmartPtr(vzIUnknown* p) { *this = p; }
    vzSmartPtr(const vzSmartPtr& other) { *this = other.p_; }
    vzSmartPtr(vzSmartPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~vzSmartPtr() { Reset(); }

    vzSmartPtr& operator=(const vzSmartPtr& other) { return *this = other.p_; }
    vzSmartPtr& operator=(vzSmartPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    // Holds `p` (adding a reference) after releasing the old object; holding
    // the same pointer again changes nothing.
    vzSmartPtr& operator=(vzIUnknown* p) {
        if (p == p_) return *this;
        vzIUnknown* old = p_;
        p_ = p;
        if (p_) (void)p_->AddRef();     // counting cannot fail
        if (old) (void)old->Release();  // a release cannot fail
        return *this;
    }

    // Releases what is held, then creates the object the class id names and
    // holds its first reference. False (and empty) for an unknown id or
    // when no factory is installed.
    [[nodiscard]] bool CreateInstance(std::uint32_t classId);

    void Reset() {
        if (vzIUnknown* old = std::exchange(p_, nullptr))
            (void)old->Release();  // a release cannot fail
    }
    vzIUnknown* Get() const { return p_; }
    template <class T>
    T* As() const {
        return static_cast<T*>(p_);
    }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator==(const vzSmartPtr& other) const { return p_ == other.p_; }

private:
    vzIUnknown* p_ = nullptr;
};
