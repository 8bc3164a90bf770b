#pragma once

#include <glib-object.h>

#include <utility>

namespace korvid {

// Owns one reference to a GObject: released on every path, never twice.
template <class T> class GObjectRef {
public:
    GObjectRef() = default;
    // Takes over a reference the caller already owns (a floating one is sunk).
    static GObjectRef adopt(T* object)
    {
        GObjectRef ref;
        if (object && g_object_is_floating(object))
            g_object_ref_sink(object);
        ref.object_ = object;
        return ref;
    }
    // Adds a reference of its own.
    static GObjectRef retain(T* object)
    {
        GObjectRef ref;
        ref.object_ = object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr;
        return ref;
    }

    GObjectRef(const GObjectRef& other)
        : object_(other.object_ ? static_cast<T*>(g_object_ref(other.object_)) : nullptr)
    {
    }
    GObjectRef(GObjectRef&& other) noexcept
        : object_(std::exchange(other.object_, nullptr))
    {
    }
    GObjectRef& operator=(GObjectRef other) noexcept
    {
        std::swap(object_, other.object_);
        return *this;
    }
    ~GObjectRef()
    {
        if (object_)
            g_object_unref(object_);
    }

    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    T* object_ = nullptr;
};

}
